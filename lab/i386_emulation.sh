#!/usr/bin/env bash
# Lets 32-bit Linux programs (Wine's 32-bit loader) run on a kernel whose IA-32 emulation is
# switched off, by handing them to qemu's user-mode emulator through binfmt_misc.
#   install   apt-get install qemu-user-static (8.0 or newer, from bookworm-backports on
#             Debian 12: 7.2 ignores MAP_FIXED_NOREPLACE and Wine then spends a minute per
#             program start probing its address space), then register
#   register  register the handler only (needs root; lasts until the next boot)
# Does nothing where 32-bit programs already run natively.
set -euo pipefail
action=${1:-install}

runs_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

if runs_32bit; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "i386_emulation: 32-bit programs do not run; run this as root" >&2
  exit 1
fi

qemu_major() {
  qemu-i386-static --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'
}

if [ "$action" = install ]; then
  major=$(qemu_major)
  if [ -z "$major" ] || [ "$major" -lt 8 ]; then
    export DEBIAN_FRONTEND=noninteractive
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ "$suite" = bookworm ]; then
      echo "deb http://deb.debian.org/debian bookworm-backports main" \
        > /etc/apt/sources.list.d/bookworm-backports.list
      apt-get update -q
      apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user-static
    else
      apt-get update -q
      apt-get install -y -q --no-install-recommends qemu-user-static
    fi
  fi
fi

qemu=$(command -v qemu-i386-static || true)
if [ -z "$qemu" ]; then
  echo "i386_emulation: qemu-i386-static missing; run '$0 install'" >&2
  exit 1
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
# F: the kernel keeps the emulator open, so it also works inside other mount namespaces; an
# entry made with an older emulator keeps using that one, so it is made anew.
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
fi
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
  > /proc/sys/fs/binfmt_misc/register
runs_32bit || { echo "i386_emulation: still no 32-bit programs after registering $qemu" >&2; exit 1; }
