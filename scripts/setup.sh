#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, when missing:
# host compilers, GoogleTest, valgrind, clang (sanitizers, libFuzzer), clang-tidy and
# cppcheck, the mingw-w64 i686 cross compiler, and Wine with
# 32-bit support, which on a kernel that runs no 32-bit programs needs qemu's emulator too,
# and with 64-bit support (wine64) for the lab's 64-bit Windows machine.
# A second run installs nothing and asks apt for nothing.
# With TAVREL_SKIP_LAB set, Wine and the emulator are left out (the lab will not run).
# No -e: each step checks its own result and says what failed.
set -uo pipefail
cd "$(dirname "$0")/.."

fail() { echo "setup: $*" >&2; exit 1; }
have() { command -v "$1" >/dev/null 2>&1; }
installed() { dpkg -s "$1" >/dev/null 2>&1; }

need=()
have cmake || need+=(cmake)
have g++ || need+=(g++)
have i686-w64-mingw32-g++-posix || have i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
have python3 || need+=(python3)
have valgrind || need+=(valgrind)
# The sanitizer build and the fuzz targets: clang with its runtimes (libFuzzer among them).
have clang++ || need+=(clang)
{ have clang++ && [ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; } ||
  need+=(libclang-rt-dev)
have clang-tidy || need+=(clang-tidy)
have cppcheck || need+=(cppcheck)
if [ -z "${TAVREL_SKIP_LAB:-}" ]; then
  have wine || need+=(wine)
  installed wine32:i386 || need+=(wine32:i386)
  installed wine64 || need+=(wine64)
fi

if [ ${#need[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || fail "missing packages (${need[*]}); run this as root to install them"
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || fail "apt-get update failed; check the apt sources and the network"
  apt-get install -y -q --no-install-recommends "${need[@]}" ||
    fail "apt-get install ${need[*]} failed; see apt's message above"
fi

[ -n "${TAVREL_SKIP_LAB:-}" ] && exit 0
# Wine's loader is a 32-bit Linux program; where the kernel does not run those, qemu does.
bash scripts/i386_emulation.sh install ||
  fail "the Wine lab cannot run here (see the line above); set TAVREL_SKIP_LAB=1 only to run the host tests without it"
