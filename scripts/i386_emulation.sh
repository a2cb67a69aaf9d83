#!/usr/bin/env bash
# Lets 32-bit Linux programs (Wine's 32-bit loader) run on a kernel whose IA-32 emulation is
# switched off, by handing them to qemu's user-mode emulator through binfmt_misc.
#   install   install qemu-user-static 8 or newer when missing (from bookworm-backports on
#             Debian 12: 7.2 ignores MAP_FIXED_NOREPLACE and Wine then spends a minute per
#             program start probing its address space), then register it
#   register  register the installed emulator only (lasts until the next boot)
#   check     only tell whether 32-bit programs run
# Does nothing where 32-bit programs already run. Needs root for the rest. Every failure
# says in one line what failed and what to do, and exits 1.
# No -e: a missing program is an answer to act on, not a reason to stop without a word.
set -uo pipefail
action=${1:-install}
here=$(cd "$(dirname "$0")" && pwd)
QEMU_MIN_MAJOR=8
BACKPORTS_FILE=/etc/apt/sources.list.d/tavrel-lab-backports.sources

fail() { echo "i386_emulation: $*" >&2; exit 1; }
runs_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# The installed emulator's major version, 0 when there is none.
qemu_major() {
  local line
  line=$(qemu-i386-static --version 2>/dev/null | head -n 1)
  [[ $line =~ ^qemu-i386\ version\ ([0-9]+) ]] && echo "${BASH_REMATCH[1]}" || echo 0
}

# Debian 12's own qemu is 7.2: the backports suite has a newer one. Its address is taken
# from the machine's own source for bookworm, so the machine's mirror or proxy serves it.
add_backports_source() {
  local stanza code
  stanza=$(python3 "$here/backports_source.py" bookworm)
  code=$?
  case $code in
    0) printf '%s\n' "$stanza" > "$BACKPORTS_FILE" ||
         fail "cannot write $BACKPORTS_FILE; check that /etc/apt is writable" ;;
    3) ;;  # configured already
    *) fail "no bookworm-backports source can be made; add one to /etc/apt, then run '$0 install'" ;;
  esac
}

install_qemu() {
  local codename release=()
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  export DEBIAN_FRONTEND=noninteractive
  if [ "$codename" = bookworm ]; then
    add_backports_source
    release=(-t bookworm-backports)
  fi
  apt-get update -q || fail "apt-get update failed; check the apt sources and the network, then run '$0 install'"
  apt-get install -y -q --no-install-recommends "${release[@]}" qemu-user-static ||
    fail "apt-get install qemu-user-static failed; see apt's message above"
  [ "$(qemu_major)" -ge "$QEMU_MIN_MAJOR" ] ||
    fail "qemu-user-static $(qemu_major) installed, $QEMU_MIN_MAJOR or newer is needed; install a newer one"
}

register_qemu() {
  local qemu entry=/proc/sys/fs/binfmt_misc/qemu-i386
  qemu=$(command -v qemu-i386-static) || fail "qemu-i386-static is not installed; run '$0 install'"
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
      fail "cannot mount binfmt_misc; the machine must allow it (a privileged container)"
  fi
  # An entry made with another emulator keeps using that one, so it is made anew. F: the
  # kernel keeps the emulator open, so it also works inside other mount namespaces.
  if [ -e "$entry" ]; then
    echo -1 > "$entry" || fail "cannot remove the old $entry"
  fi
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    > /proc/sys/fs/binfmt_misc/register || fail "binfmt_misc refused the qemu-i386 entry"
  runs_32bit || fail "32-bit programs still do not run with $qemu registered; is Wine's wine32:i386 installed?"
}

case $action in
  check)
    runs_32bit || fail "32-bit programs do not run here; run 'bash $0 install' as root"
    exit 0 ;;
  install|register) ;;
  *) fail "unknown action '$action'; use install, register or check" ;;
esac
runs_32bit && exit 0
[ "$(id -u)" -eq 0 ] || fail "32-bit programs do not run here; run '$0 $action' as root"
if [ "$action" = install ] && [ "$(qemu_major)" -lt "$QEMU_MIN_MAJOR" ]; then
  install_qemu
fi
register_qemu
