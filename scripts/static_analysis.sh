#!/usr/bin/env bash
# clang-tidy (.clang-tidy) and cppcheck over the tool's own code; either finding anything
# fails. Needs the host build's compile_commands.json (scripts/build.sh host).
# Usage: scripts/static_analysis.sh [clang-tidy|cppcheck]
set -uo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
sources=(frontend/*.cpp detect/*.cpp clean/*.cpp machine/*.cpp shield/*.cpp)
status=0
if [ "$which" = clang-tidy ] || [ "$which" = all ]; then
  [ -f build/host/compile_commands.json ] ||
    { echo "static_analysis: build/host/compile_commands.json missing; run scripts/build.sh host" >&2; exit 1; }
  # Its count of warnings in headers outside the filter is noise.
  clang-tidy -p build/host --quiet "${sources[@]}" 2> >(grep -v "warnings generated" >&2) || status=1
fi
if [ "$which" = cppcheck ] || [ "$which" = all ]; then
  # cstyleCast: the code is plain procedural C++ over a C API, cast the C way.
  cppcheck --enable=warning,style,performance,portability --std=c++17 --quiet \
    --error-exitcode=1 --inline-suppr -I . --suppress=missingIncludeSystem \
    --suppress=cstyleCast frontend detect clean machine shield || status=1
fi
exit $status
