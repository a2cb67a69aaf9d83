#!/usr/bin/env bash
# Installs what is missing, builds both programs, and runs every test: the host tests on
# the simulated Windows and the lab scenarios on Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh all
ctest --test-dir build/host --output-on-failure --timeout 1800 "$@"
