#!/usr/bin/env bash
# The tool's main job: builds the Windows program, makes a fresh infected 32-bit Windows
# machine (Wine), and runs the tool on it in this terminal. With --clean the machine has no worm.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh win32
exec python3 lab/lab.py demo "$@"
