#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, when missing:
# host compilers and GoogleTest, the mingw-w64 i686 cross compiler, and Wine with 32-bit support.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have g++ || need+=(g++)
have i686-w64-mingw32-g++-posix || have i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
have python3 || need+=(python3)
if ! have wine || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need+=(wine wine32:i386)
fi

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${need[*]}); run as root to install them" >&2
    exit 1
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Wine's loader is a 32-bit Linux program; where the kernel does not run those, qemu does.
# Without it only the lab cannot run, and the lab says so itself.
bash "$(dirname "$0")/../lab/i386_emulation.sh" install ||
  echo "setup: 32-bit programs do not run here; the lab scenarios will be skipped" >&2
