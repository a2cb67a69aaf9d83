#!/usr/bin/env bash
# Installs what is missing, builds both programs, and runs every test: the host tests on
# the simulated Windows (also under valgrind) and the lab scenarios on Wine. The last lines
# count host tests and lab scenarios apart; a run in which the lab could not run fails.
# TAVREL_SKIP_LAB=1 leaves the lab out on purpose (the last lines say so); CI never sets it.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
bash scripts/build.sh all || { echo "test: the build failed" >&2; exit 1; }
exec bash scripts/run_tests.sh "$@"
