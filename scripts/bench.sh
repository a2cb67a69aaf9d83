#!/usr/bin/env bash
# Runs the benchmarks and prints each figure as a ratio against its peer measured in the
# same run (the README's Benchmarks section tells how). Installs and builds what they need
# first, as the test command does.
# Usage: scripts/bench.sh [--runs N] [probe|start|key_tree|wininit ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh all >/dev/null
cmake --build build/win32 --target bench >/dev/null
cmake --build build/host --target bench_probe_calls >/dev/null
exec python3 bench/bench.py "$@"
