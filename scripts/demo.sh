#!/usr/bin/env bash
# The tool's main job: builds the Windows program, makes a fresh infected 32-bit Windows
# machine (Wine), and runs the tool on it in this terminal. With --clean the machine has no worm.
# With --fleet three freshly infected machines (NT, 9x, 64-bit) are each cleaned by one
# unattended command, `tavrel_moss_remover.exe /silent /log=...`; their exit codes and logs shown.
# The build says one line; its whole output only when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! bash scripts/build.sh win32 >"$log" 2>&1; then
  cat "$log"
  echo "demo: the build failed (above)" >&2
  exit 1
fi
exe=build/win32/tavrel_moss_remover.exe
echo "built $exe ($(stat -c %s "$exe") bytes)"
exec python3 lab/lab.py demo "$@"
