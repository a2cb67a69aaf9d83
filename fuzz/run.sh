#!/usr/bin/env bash
# Runs one fuzz target: first every input of its seed corpus (fuzz/corpus/TARGET), then new
# inputs for SECONDS. New inputs that widen the coverage go to BUILD/corpus/TARGET, never
# into the repository; a failing input is saved in BUILD/crashes/.
# Usage: fuzz/run.sh TARGET [SECONDS] [BUILD]     e.g. fuzz/run.sh wininit 3600
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
target=${1:?usage: fuzz/run.sh TARGET [SECONDS] [BUILD]}
seconds=${2:-30}
build=${3:-$here/../build/sanitize}
exe=$build/${target}_fuzz
[ -x "$exe" ] || { echo "fuzz: $exe is missing; run 'bash scripts/build.sh sanitize'" >&2; exit 1; }
mkdir -p "$build/corpus/$target" "$build/crashes"
exec "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
  -artifact_prefix="$build/crashes/${target}-" "$build/corpus/$target" "$here/corpus/$target"
