#!/usr/bin/env bash
# Builds the Windows program (build/win32), the host tests (build/host), and the same tests
# with sanitizers plus the fuzz targets (build/sanitize, clang).
# Usage: scripts/build.sh [win32|host|sanitize|all]
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=$(nproc 2>/dev/null || echo 2)

if [ "$what" = win32 ] || [ "$what" = all ]; then
  # The toolchain is fixed when the build directory is first made; CMake ignores it after.
  if [ -f build/win32/CMakeCache.txt ]; then
    cmake -S . -B build/win32 >/dev/null
  else
    cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
      -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  fi
  cmake --build build/win32 -j "$jobs"
fi
if [ "$what" = host ] || [ "$what" = all ]; then
  cmake -S . -B build/host >/dev/null
  cmake --build build/host -j "$jobs"
fi
if [ "$what" = sanitize ] || [ "$what" = all ]; then
  CC=clang CXX=clang++ cmake -S . -B build/sanitize -DTAVREL_SANITIZE=ON >/dev/null
  cmake --build build/sanitize -j "$jobs"
fi
