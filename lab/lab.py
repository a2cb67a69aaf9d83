#!/usr/bin/env python3
"""End-to-end lab: the real Windows program, run under Wine in a throw-away 32-bit machine.

    lab.py setup                       create the Wine prefix once and save its clean state
    lab.py run NAME [--exe-dir DIR]    run one scenario on a freshly reset machine
    lab.py list                        name the scenarios
    lab.py demo [--clean]              plant the worm (or not), run the tool in your own terminal
    lab.py teardown                    end the lab's wineserver and anything left of it

Everything lives under build/lab; ~/.wine is never used. Standard library only.
"""
import argparse
import atexit
import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import traceback
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
LAB = REPO / "build" / "lab"
PREFIX = LAB / "prefix"
CLEAN = LAB / "clean"                 # registry and ini files of the clean machine
RUNS = LAB / "runs"                   # transcripts and generated files, per scenario
LOCK = LAB / "lab.lock"
STAMP = CLEAN / "stamp"
LAB_FORMAT = "lab-prefix-3"           # bump when the saved clean state changes shape

DEFAULT_EXE_DIR = REPO / "build" / "win32"
TOOL_EXE = "tavrel_moss_remover.exe"
HOLD_EXE = "hold_file.exe"
DENY_EXE = "deny_key.exe"
REG_LINK_EXE = "reg_link.exe"

# Wine keeps the system directory at system32 in every Windows version it imitates, win98
# included (GetSystemDirectoryA was checked in both modes).
SYSTEM_DIR = r"C:\windows\system32"
WORM_PATH = SYSTEM_DIR + r"\FILES32.VXD"
WININIT_PATH = r"C:\windows\WININIT.INI"
OLD_TMP_PATH = r"C:\windows\temp\old.tmp"

# Where the seven links live.
HKLM_EXEFILE = r"HKLM\Software\CLASSES\exefile\shell\open\command"
HKCR_EXEFILE = r"HKCR\exefile\shell\open\command"
RUNSERVICES = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunServices"
RUN = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
HKCR_DL = r"HKCR\.dl"
WININI_WINDOWS = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows"
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"

L_MACHINE_EXE, L_RUNSERVICES, L_RUN, L_DL, L_CLASSES_EXE, L_WININI, L_SYSTEMINI = (
    0x1, 0x2, 0x4, 0x8, 0x10, 0x100, 0x200)
ALL_LINKS = 0x31F
LINK_NAMES = {
    L_MACHINE_EXE: r"HKLM\...\exefile\shell\open\command",
    L_RUNSERVICES: r"HKLM\...\RunServices",
    L_RUN: r"HKLM\...\Run",
    L_DL: r"HKCR\.dl",
    L_CLASSES_EXE: r"HKCR\exefile\shell\open\command",
    L_WININI: r"WIN.INI [windows] run=",
    L_SYSTEMINI: r"SYSTEM.INI [boot] shell=",
}

# What the tool prints.
BANNER = "Tavrel_Moss remover, vers. 0.09"
NOT_FOUND = "Worm Tavrel_Moss not found on this computer."
EXITING = "Exiting..."
PARTS_FOUND = "Only parts of worm Tavrel_Moss found."
FOUND = "worm Tavrel_Moss found."
CONTINUE = "Continue with removing(Y/N)?"
REMOVING = "Removing..."
LINKS_REMOVED = "Registry/.ini links successfully removed."
WORM_REMOVED = "Worm Tavrel_Moss successfully removed."
WORM_PARTLY = "Worm Tavrel_Moss partialy removed."
MUST_RESTART = "YOU MUST RESTART WINDOWS NOW to finish clean process"
PRESS_R = "Press 'R' to restart Windows..."
NOT_SCHEDULED = "The worm file could not be set for deletion: run this tool again after the restart."
REBOOT_1 = "If system does not restart automatically,"
REBOOT_2 = "REBOOT COMPUTER TO FINISH CLEAN PROCESS!"
PRESS_ANY = "Press any key to exit . . ."
CLEAN_EXE_COMMAND = '"%1" %*'

# Keys as a terminal sends them.
KEY_UP = b"\x1b[A"
KEY_DOWN = b"\x1b[B"
KEY_ESCAPE = b"\x1b"
KEY_ENTER = b"\r"

# Wine under a pseudo-terminal may not read a key that arrives before the program asks for
# input: give it this long after a prompt shows before typing.
KEY_SETTLE = float(os.environ.get("LAB_KEY_SETTLE", "0.8"))


class LabFailure(Exception):
    pass


class ScenarioTimeout(Exception):
    pass


class NoWine(Exception):
    """This machine cannot run Wine at all: the lab fails and says why."""


# ---------------------------------------------------------------------------- processes

_children = []          # Popen objects of everything this process started


def _track(proc):
    _children.append(proc)
    return proc


def _kill_children():
    for proc in _children:
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass


def prefix_processes():
    """Pids of processes that run in the lab's prefix (found by WINEPREFIX in their environment)."""
    mine = ("WINEPREFIX=" + str(PREFIX)).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if mine in f.read().split(b"\0"):
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def wine_env(extra=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER")}
    env.update(WINEPREFIX=str(PREFIX), WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.setdefault("TERM", "xterm")
    if extra:
        env.update(extra)
    return env


def winpath(path):
    """A host path as Wine's Z: drive shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def host_path(windows_path, must_exist=False):
    """The host path of a C: path, matching each part without regard to case as Wine does."""
    parts = windows_path.replace("/", "\\").split("\\")
    assert parts[0].upper() == "C:", windows_path
    here = PREFIX / "drive_c"
    for part in parts[1:]:
        match = None
        if here.is_dir():
            for name in os.listdir(here):
                if name.lower() == part.lower():
                    match = name
                    break
        if match is None:
            if must_exist:
                return None
            match = part
        here = here / match
    return here


def run_cmd(argv, timeout, env=None, check=True, stdin=subprocess.DEVNULL):
    # Output goes to files, not pipes: programs that Wine starts in the background (services,
    # the desktop) inherit them and would keep a pipe open long after this command ended.
    with tempfile.TemporaryFile() as out_f, tempfile.TemporaryFile() as err_f:
        proc = _track(subprocess.Popen(argv, stdin=stdin, stdout=out_f, stderr=err_f,
                                       env=env or wine_env(), start_new_session=True))
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            raise LabFailure("timed out after %ss: %s" % (timeout, " ".join(map(str, argv))))
        out_f.seek(0)
        err_f.seek(0)
        out = out_f.read().decode("latin-1")
        err = err_f.read().decode("latin-1")
    if check and proc.returncode != 0:
        raise LabFailure("%s exited %s: %s %s" % (" ".join(map(str, argv)), proc.returncode,
                                                 out.strip(), err.strip()))
    return proc.returncode, out, err


def wine(args, timeout=60, check=True):
    return run_cmd(["wine"] + list(args), timeout, check=check)


def stop_everything(timeout=30):
    """Ends the prefix's wineserver (which ends its programs) and then anything still left."""
    _kill_children()
    if prefix_processes():
        subprocess.run(["wineserver", "-k"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
    deadline = time.time() + timeout
    while time.time() < deadline:
        left = prefix_processes()
        if not left:
            return
        if time.time() > deadline - timeout / 2:
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        time.sleep(0.1)
    left = prefix_processes()
    if left:
        raise LabFailure("processes of the lab prefix survived: %s" % left)


# ---------------------------------------------------------------------------- 32-bit support

def check_i386():
    """Wine must run: it is installed, and its 32-bit loader runs (some kernels run no 32-bit
    programs; the set-up then registers qemu's emulator for them)."""
    if shutil.which("wine") is None:
        raise NoWine("Wine is not installed; run 'bash scripts/setup.sh' as root")
    try:
        r = subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True, timeout=60)
        if r.returncode == 0:
            return
        why = (r.stderr.decode(errors="replace").strip().splitlines() or ["no output"])[-1]
    except OSError as e:
        why = str(e)
    raise NoWine("32-bit programs do not run here, so Wine cannot (%s); "
                 "run 'bash scripts/setup.sh' as root to set up qemu's emulator for them" % why)


# ---------------------------------------------------------------------------- the prefix

def ensure_prefix(force=False):
    check_i386()
    if not force and STAMP.exists() and STAMP.read_text() == stamp_text() \
            and (PREFIX / "system.reg").exists():
        return False
    stop_everything()
    shutil.rmtree(PREFIX, ignore_errors=True)
    shutil.rmtree(CLEAN, ignore_errors=True)
    LAB.mkdir(parents=True, exist_ok=True)
    started = time.time()
    run_cmd(["wine", "wineboot", "-i"], timeout=900)
    # Let the boot's own programs finish so the registry on disk is complete.
    run_cmd(["wineserver", "-w"], timeout=600, check=False)
    stop_everything()
    save_clean_state()
    print("prefix created in %.0f s" % (time.time() - started))
    return True


def stamp_text():
    r = subprocess.run(["wine", "--version"], capture_output=True, env=wine_env(), timeout=60)
    return "%s %s" % (LAB_FORMAT, r.stdout.decode().strip())


# What a reset puts back, relative to the prefix; saved under CLEAN by file name.
SAVED_STATE = ("system.reg", "user.reg", "userdef.reg",
               "drive_c/windows/system.ini", "drive_c/windows/win.ini")


def saved_state_files():
    """(live file, saved copy) pairs of the machine's saved state."""
    return [(PREFIX / rel, CLEAN / Path(rel).name) for rel in SAVED_STATE]


def save_clean_state():
    CLEAN.mkdir(parents=True)
    for live, saved in saved_state_files():
        if live.exists():
            shutil.copy2(live, saved)
    listing = sorted(str(p.relative_to(PREFIX)) for p in (PREFIX / "drive_c").rglob("*"))
    (CLEAN / "listing.txt").write_text("\n".join(listing) + "\n")
    STAMP.write_text(stamp_text())


def reset_machine():
    """Back to the clean state: no server runs while the registry files are copied back."""
    stop_everything()
    for live, saved in saved_state_files():
        if saved.exists():
            shutil.copy2(saved, live)
    keep = set((CLEAN / "listing.txt").read_text().split("\n"))
    # Deepest first, so a new directory is emptied before it goes.
    for path in sorted((PREFIX / "drive_c").rglob("*"), key=lambda p: len(p.parts), reverse=True):
        if str(path.relative_to(PREFIX)) in keep:
            continue
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path, ignore_errors=True)
        else:
            path.unlink()


def start_server():
    # One persistent server for the whole scenario: every fresh server start would carry
    # out pending boot-time deletions, as a reboot does. The server stays in the background
    # with whatever output it was given: no pipes, or reading them would never end.
    subprocess.run(["wineserver", "-p"], env=wine_env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)


class LabLock:
    def __enter__(self):
        LAB.mkdir(parents=True, exist_ok=True)
        self.f = open(LOCK, "w")
        fcntl.flock(self.f, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


# ---------------------------------------------------------------------------- registry reading

def reg_query(key, recurse=False):
    """Values of a key (name -> (type, data)) and its subkey lines, or None when the key is missing."""
    args = ["reg", "query", key] + (["/s"] if recurse else [])
    rc, out, err = wine(args, timeout=60, check=False)
    if rc != 0:
        if "unable to find" in (out + err).lower():
            return None
        raise LabFailure("reg query %s exited %s: %s" % (key, rc, (out + err).strip()))
    values, subkeys = {}, []
    for line in out.splitlines():
        if line.startswith("    "):
            parts = line[4:].split("    ", 2)
            name = parts[0]
            kind = parts[1] if len(parts) > 1 else ""
            data = parts[2] if len(parts) > 2 else ""
            values[name] = (kind, data)
        elif line.startswith("HKEY_"):
            subkeys.append(line.strip())
    return {"values": values, "subkeys": subkeys}


def value_data(query, name):
    if query is None:
        return None
    for key_name, (kind, data) in query["values"].items():
        if key_name.lower() == name.lower():
            return data
    return None


def default_value(query):
    if query is None:
        return None
    for name in ("(Default)", "(default)"):
        if name in query["values"]:
            return query["values"][name][1]
    return None


def read_bytes(windows_path):
    p = host_path(windows_path, must_exist=True)
    if p is None:
        return None
    if p.is_dir():
        return "<directory>"
    return p.read_bytes()


def parse_ini(data):
    """(section, key, value) in file order, without case in names; None for a missing file."""
    if data is None:
        return None
    entries, section = [], ""
    for raw in data.decode("latin-1").splitlines():
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            section = line[1:line.index("]")].strip().lower() if "]" in line else line[1:].lower()
            continue
        key, sep, value = line.partition("=")
        entries.append((section, key.strip().lower(), value.strip() if sep else None))
    return entries


def ini_value(entries, section, key):
    found = None
    for s, k, v in entries or []:
        if s == section.lower() and k == key.lower():
            found = v
    return found


def snapshot():
    """Everything the tool may read or change, read through Wine as a program would."""
    return {
        "machine exe command": default_value(reg_query(HKLM_EXEFILE)),
        "classes exe command": default_value(reg_query(HKCR_EXEFILE)),
        "RunServices": (reg_query(RUNSERVICES) or {}).get("values"),
        "Run": (reg_query(RUN) or {}).get("values"),
        ".dl class": reg_query(HKCR_DL, recurse=True),
        "WIN.INI run": value_data(reg_query(WININI_WINDOWS), "run"),
        "PendingFileRenameOperations": value_data(reg_query(SESSION_MANAGER),
                                                  "PendingFileRenameOperations"),
        "SYSTEM.INI": read_bytes(r"C:\windows\system.ini"),
        "worm file": read_bytes(WORM_PATH),
        "WININIT.INI": read_bytes(WININIT_PATH),
        "WININIT.NEW": read_bytes(r"C:\windows\WININIT.NEW"),
        "WININIT.OLD": read_bytes(r"C:\windows\WININIT.OLD"),
    }


def link_mask(snap):
    """The links that the tool looks for, judged by the same rules from a snapshot."""
    mask = 0
    if "FILES32.VXD" in (snap["machine exe command"] or "").upper():
        mask |= L_MACHINE_EXE
    if any("TAVREL" in d.upper() for _, d in (snap["RunServices"] or {}).values()):
        mask |= L_RUNSERVICES
    if any("TAVREL" in d.upper() for _, d in (snap["Run"] or {}).values()):
        mask |= L_RUN
    if snap[".dl class"] is not None:
        mask |= L_DL
    if "FILES32.VXD" in (snap["classes exe command"] or "").upper():
        mask |= L_CLASSES_EXE
    if "TAVREL" in (snap["WIN.INI run"] or "").upper():
        mask |= L_WININI
    if "TAVREL" in (ini_value(parse_ini(snap["SYSTEM.INI"]), "boot", "shell") or "").upper():
        mask |= L_SYSTEMINI
    return mask


# ---------------------------------------------------------------------------- planting

def reg_string(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


# Values that belong to other programs: a repair must leave them alone. Their names sort
# before and after the worm's, since values enumerate in alphabetical order.
DECOY_RUN = {"AAA Updater": r"C:\Program Files\Updater\upd.exe", "Zeta Tray": r"C:\zeta\tray.exe"}
WORM_RUNSERVICES = ("SystemLoader", r"c:\windows\system32\TaVrEl.exe /service")
WORM_RUN = ("Moss", r"C:\WINDOWS\SYSTEM32\tavrel.exe")
WORM_EXE_COMMAND = r'c:\windows\system32\files32.vxd "%1" %*'
WORM_WININI_RUN = r"C:\WINDOWS\SYSTEM32\TAVREL.EXE"
WORM_SHELL = r"Explorer.exe C:\WINDOWS\SYSTEM32\Tavrel.exe"
WORM_FILE_BYTES = b"MZ" + b"\x90" * 510 + b"lab worm stand-in"


def plant(run_dir, links=0, worm=None, attrs="", version=None, wininit=None):
    """Makes the machine look infected. worm: None, 'file' or 'dir'; attrs: e.g. '+r +h +s'."""
    lines = ["REGEDIT4", ""]

    def key(k, *values):
        lines.append("[%s]" % k)
        lines.extend(values)
        lines.append("")

    if version:
        key(r"HKEY_CURRENT_USER\Software\Wine", '"Version"=%s' % reg_string(version))
    if links & (L_MACHINE_EXE | L_CLASSES_EXE):
        key(r"HKEY_LOCAL_MACHINE\Software\Classes\exefile\shell\open\command",
            "@=%s" % reg_string(WORM_EXE_COMMAND))
    if links & (L_RUNSERVICES | L_RUN):
        decoys = ["%s=%s" % (reg_string(n), reg_string(d)) for n, d in DECOY_RUN.items()]
        if links & L_RUNSERVICES:
            key(r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\RunServices",
                "%s=%s" % (reg_string(WORM_RUNSERVICES[0]), reg_string(WORM_RUNSERVICES[1])),
                *decoys)
        if links & L_RUN:
            key(r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run",
                "%s=%s" % (reg_string(WORM_RUN[0]), reg_string(WORM_RUN[1])), *decoys)
    if links & L_DL:
        key(r"HKEY_CLASSES_ROOT\.dl", "@=%s" % reg_string("dlfile"))
        key(r"HKEY_CLASSES_ROOT\.dl\shell\open\command",
            "@=%s" % reg_string(r"c:\windows\system32\files32.vxd %1"))
    if links & L_WININI:
        key(r"HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\Windows",
            '"run"=%s' % reg_string(WORM_WININI_RUN), '"load"=%s' % reg_string(r"C:\keep\load.exe"))
    if len(lines) > 2:
        reg_file = run_dir / "plant.reg"
        reg_file.write_bytes("\r\n".join(lines).encode("latin-1") + b"\r\n")
        wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    if links & L_SYSTEMINI:
        ini = host_path(r"C:\windows\system.ini")
        text = ini.read_bytes() if ini.exists() else b""
        if text and not text.endswith(b"\r\n"):
            text += b"\r\n"
        ini.write_bytes(text + b"[boot]\r\nshell=" + WORM_SHELL.encode() +
                        b"\r\noemfonts.fon=vgaoem.fon\r\n")
    if worm == "file":
        host_path(WORM_PATH).write_bytes(WORM_FILE_BYTES)
        # Wine's attrib takes one change per call: with several, only the last holds.
        for change in attrs.split():
            wine(["attrib", change, WORM_PATH], timeout=60)
    elif worm == "dir":
        host_path(WORM_PATH).mkdir()
    if wininit is not None:
        host_path(WININIT_PATH).write_bytes(wininit.replace("\n", "\r\n").encode("latin-1"))
        host_path(OLD_TMP_PATH).write_bytes(b"left behind by another setup program\r\n")


def file_attributes(windows_path):
    """Attribute letters as Wine's attrib shows them, e.g. 'RHS'."""
    rc, out, _ = wine(["attrib", windows_path], timeout=60, check=False)
    for line in out.splitlines():
        if line.rstrip().upper().endswith(windows_path.upper()):
            flags = line[: len(line.rstrip()) - len(windows_path)]
            return "".join(sorted(set(c for c in flags.upper() if c in "RHSA")))
    raise LabFailure("attrib gave no line for %s: %r" % (windows_path, out))


# ---------------------------------------------------------------------------- the driver

_ESC_BLANK = re.compile(rb"\x1b\[K\x1b\[(\d*)C")
_ESC_FORWARD = re.compile(rb"\x1b\[(\d*)C")
_ESC_CSI = re.compile(rb"\x1b\[[0-9;?]*[@-~]")
_ESC_OSC = re.compile(rb"\x1b\][^\x07\x1b]*(\x07|\x1b\\)")
_ESC_TAIL = re.compile(rb"\x1b(\[[0-9;?]*|\][^\x07]*)?$")


def terminal_text(raw):
    """What Wine's console drew, as plain text: escape sequences out, blanks back in."""
    s = _ESC_TAIL.sub(b"", raw)
    s = _ESC_BLANK.sub(lambda m: b" " * int(m.group(1) or 1), s)
    s = _ESC_FORWARD.sub(lambda m: b" " * int(m.group(1) or 1), s)
    s = _ESC_OSC.sub(b"", s)
    s = _ESC_CSI.sub(b"", s)
    s = s.replace(b"\r\n", b"\n").replace(b"\r", b"")
    return s.decode("latin-1")


def stream_text(raw):
    return raw.decode("latin-1").replace("\r\n", "\n").replace("\r", "")


def shown_lines(text):
    return [line.rstrip() for line in text.split("\n") if line.strip()]


class Program:
    """One run of a Windows program, with a pseudo-terminal as its console (or none).

    mode 'console':   standard input, output and error are the terminal;
    mode 'pipe-out':  standard output is a pipe read here, the console stays the terminal;
    mode 'no-terminal': standard input /dev/null, output and error to files, no console at all.
    watch_file: a host file that the program's output is redirected to (read as 'file').
    """

    def __init__(self, argv, run_dir, label, mode="console", watch_file=None):
        self.label = label
        self.run_dir = run_dir
        self.mode = mode
        self.watch_file = watch_file
        self.raw = {"console": b"", "stdout": b"", "stderr": b""}
        self.marks = {}
        self.master = None
        self.rc = None
        env = wine_env({"TERM": "xterm"})
        if mode == "no-terminal":
            self.out_path = run_dir / (label + ".stdout")
            self.err_path = run_dir / (label + ".stderr")
            self.proc = _track(subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=open(self.out_path, "wb"),
                stderr=open(self.err_path, "wb"), env=env, start_new_session=True))
            return
        self.master, slave = os.openpty()
        # Wide enough that no message wraps.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
        stdout = subprocess.PIPE if mode == "pipe-out" else slave
        self.proc = _track(subprocess.Popen(argv, stdin=slave, stdout=stdout, stderr=slave,
                                            env=env, start_new_session=True))
        os.close(slave)
        self.start = time.time()

    # -- reading
    def pump(self, seconds=0.0):
        end = time.time() + seconds
        while True:
            fds = []
            if self.master is not None:
                fds.append(self.master)
            if self.mode == "pipe-out" and self.proc.stdout and not self.proc.stdout.closed:
                fds.append(self.proc.stdout.fileno())
            left = max(0.0, end - time.time())
            if fds:
                ready, _, _ = select.select(fds, [], [], min(left, 0.05))
            else:
                time.sleep(min(left, 0.05))
                ready = []
            for fd in ready:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    data = b""
                if fd == self.master:
                    if data:
                        self.raw["console"] += data
                    else:
                        os.close(self.master)
                        self.master = None
                else:
                    if data:
                        self.raw["stdout"] += data
                    else:
                        self.proc.stdout.close()
            if time.time() >= end:
                return

    def text(self, source="console"):
        if source == "console":
            return terminal_text(self.raw["console"])
        if source == "stdout":
            if self.mode == "no-terminal":
                return stream_text(self.out_path.read_bytes())
            return stream_text(self.raw["stdout"])
        if source == "stderr":
            return stream_text(self.err_path.read_bytes())
        if source == "file":
            return stream_text(self.watch_file.read_bytes()) if self.watch_file.exists() else ""
        raise ValueError(source)

    def lines(self, source="console"):
        self.pump()
        return shown_lines(self.text(source))

    def alive(self):
        return self.proc.poll() is None

    def expect(self, needle, source="console", timeout=60):
        """Waits until needle shows (after the last one found) and returns the time it took."""
        start = time.time()
        ended = False
        while True:
            self.pump(0.05)
            text = self.text(source)
            at = text.find(needle, self.marks.get(source, 0))
            if at >= 0:
                self.marks[source] = at + len(needle)
                return time.time() - start
            if not self.alive() and not ended:
                ended = True          # read what the program left, then look once more
                self.pump(0.3)
                continue
            if time.time() - start > timeout or ended:
                self.save()
                raise LabFailure("%s: %r did not show on %s within %ss (still running: %s); "
                                 "so far:\n%s" % (self.label, needle, source, timeout,
                                                  self.alive(), text[-2000:]))

    def send(self, key, settle=KEY_SETTLE):
        if isinstance(key, str):
            key = key.encode()
        self.pump(settle)
        os.write(self.master, key)

    def quiet(self, seconds, source="console"):
        """Output after `seconds` of waiting: '' when the program showed nothing new."""
        before = self.text(source).strip()
        self.pump(seconds)
        after = self.text(source).strip()
        return after[len(before):] if after.startswith(before) else after

    def wait(self, timeout=30):
        deadline = time.time() + timeout
        while self.alive() and time.time() < deadline:
            self.pump(0.05)
        if self.alive():
            self.save()
            raise LabFailure("%s: still running after %ss" % (self.label, timeout))
        self.pump(0.3)
        self.rc = self.proc.returncode
        self.save()
        return self.rc

    def kill(self):
        if self.alive():
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        self.pump(0.1)
        self.save()

    def save(self):
        (self.run_dir / (self.label + ".console.raw")).write_bytes(self.raw["console"])
        (self.run_dir / (self.label + ".console.txt")).write_text(terminal_text(self.raw["console"]))
        if self.mode == "pipe-out":
            (self.run_dir / (self.label + ".stdout.txt")).write_bytes(self.raw["stdout"])


def wait_until(condition, timeout, step=0.5):
    deadline = time.time() + timeout
    while not condition():
        if time.time() > deadline:
            return False
        time.sleep(step)
    return True


def process_running(exe_name):
    """Pid of the lab machine's process that runs exe_name, or None."""
    for pid in prefix_processes():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if exe_name.encode() in f.read():
                    return pid
        except OSError:
            pass
    return None


def cpu_seconds(pid):
    """Processor time (user and system) a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Holder:
    """hold_file.exe keeping a file open without sharing, until release()."""

    def __init__(self, exe_dir, windows_path, run_dir):
        self.proc = _track(subprocess.Popen(
            ["wine", str(exe_dir / HOLD_EXE), windows_path], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=open(run_dir / ("hold_file-%s.stderr" % windows_path.split("\\")[-1]), "wb"),
            env=wine_env(), start_new_session=True))
        line = self._line(60)
        if not line.startswith("HOLDING"):
            raise LabFailure("hold_file did not hold %s: %r" % (windows_path, line))

    def _line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline().decode("latin-1").strip() if ready else ""

    def release(self):
        self.proc.stdin.close()
        line = self._line(30)
        rc = self.proc.wait(timeout=30)
        if line != "RELEASED" or rc != 0:
            raise LabFailure("hold_file did not let go: %r, exit %s" % (line, rc))


# ---------------------------------------------------------------------------- scenarios

class Scenario:
    def __init__(self, name, exe_dir):
        self.name = name
        self.exe_dir = Path(exe_dir).resolve()
        self.tool = self.exe_dir / TOOL_EXE
        self.run_dir = RUNS / name
        shutil.rmtree(self.run_dir, ignore_errors=True)
        self.run_dir.mkdir(parents=True)
        self.failures = []
        self.count = 0
        self.started = time.time()

    def log(self, msg):
        print("[%6.1fs] %s" % (time.time() - self.started, msg), flush=True)

    def check(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)
            self.log("FAIL: " + what)
        return ok

    def equal(self, got, want, what):
        return self.check(got == want, "%s: got %r, want %r" % (what, got, want))

    def program(self, label, mode="console", argv=None, watch_file=None):
        argv = argv or ["wine", str(self.tool)]
        return Program(argv, self.run_dir, label, mode=mode, watch_file=watch_file)

    def snapshot(self, label):
        snap = snapshot()
        with open(self.run_dir / ("snapshot-" + label + ".txt"), "w") as f:
            for k, v in snap.items():
                f.write("%s: %r\n" % (k, v))
        return snap

    def unchanged(self, before, after, what, skip=()):
        for k in before:
            if k in skip:
                continue
            self.check(before[k] == after[k], "%s: %s changed from %r to %r"
                       % (what, k, before[k], after[k]))

    def transcript(self, prog, want, what, source="console"):
        """Shown lines must be exactly `want`; the first may carry more after the banner text."""
        got = prog.lines(source)
        ok = len(got) == len(want) and all(
            (g.startswith(w) if i == 0 and w == BANNER else g == w)
            for i, (g, w) in enumerate(zip(got, want)))
        self.check(ok, "%s: lines shown\n  got  %r\n  want %r" % (what, got, want))


def expect_planted(sc, snap, links, worm):
    sc.equal(link_mask(snap), links, "links planted (mask)")
    if worm == "file":
        sc.equal(snap["worm file"], WORM_FILE_BYTES, "worm file planted")
    elif worm == "dir":
        sc.equal(snap["worm file"], "<directory>", "directory planted")
    else:
        sc.equal(snap["worm file"], None, "no worm file")


def expect_repaired(sc, before, after, links):
    """Each planted link repaired exactly as the tool promises; everything else as it was."""
    if links & (L_MACHINE_EXE | L_CLASSES_EXE):
        sc.equal(after["machine exe command"], CLEAN_EXE_COMMAND, "exefile command (HKLM)")
        sc.equal(after["classes exe command"], CLEAN_EXE_COMMAND, "exefile command (HKCR)")
    for link, key, worm_value in ((L_RUNSERVICES, "RunServices", WORM_RUNSERVICES),
                                  (L_RUN, "Run", WORM_RUN)):
        if links & link:
            want = {n: v for n, v in before[key].items() if n != worm_value[0]}
            sc.equal(after[key], want, key + " values (only the worm's gone)")
    if links & L_DL:
        sc.equal(after[".dl class"], None, r"HKCR\.dl and its subtree")
    if links & L_WININI:
        sc.equal(after["WIN.INI run"], "", "WIN.INI [windows] run=")
        sc.equal(value_data(reg_query(WININI_WINDOWS), "load"), r"C:\keep\load.exe",
                 "WIN.INI [windows] load= untouched")
    if links & L_SYSTEMINI:
        got = parse_ini(after["SYSTEM.INI"])
        want = [(s, k, "Explorer.exe" if (s, k) == ("boot", "shell") else v)
                for s, k, v in parse_ini(before["SYSTEM.INI"])]
        sc.equal(got, want, "SYSTEM.INI entries (shell=Explorer.exe, the rest kept)")
    sc.equal(link_mask(after), 0, "links left after repair")
    sc.unchanged(before, after, "outside the links",
                 skip={"machine exe command", "classes exe command", "RunServices", "Run",
                       ".dl class", "WIN.INI run", "SYSTEM.INI", "worm file"})


def answer_yes_and_finish(sc, prog, found_line, final_line, key="y"):
    """The common tail of a removal: found, Y, the pause, the repair and the closing prompt."""
    prog.expect(BANNER)
    prog.expect(found_line)
    prog.expect(CONTINUE)
    prog.send(key)
    prog.expect(REMOVING, timeout=30)
    pause = prog.expect(LINKS_REMOVED, timeout=60)
    sc.check(pause >= 9.0, "pause after 'Removing...' was only %.1f s" % pause)
    prog.expect(final_line, timeout=30)
    prog.expect(PRESS_ANY, timeout=30)
    prog.send(" ")
    sc.equal(prog.wait(30), 0, "exit code after the closing key")
    sc.transcript(prog, [BANNER, found_line, CONTINUE, REMOVING, LINKS_REMOVED, final_line,
                         PRESS_ANY], prog.label)


def run_clean_check(sc, label):
    """The tool on a machine without the worm: not found, any key, exit 0."""
    prog = sc.program(label)
    prog.expect(NOT_FOUND)
    prog.expect(PRESS_ANY)
    prog.send("k")
    sc.equal(prog.wait(30), 0, label + " exit code")
    sc.transcript(prog, [BANNER, NOT_FOUND, EXITING, PRESS_ANY], label)


def scenario_clean_machine(sc):
    start_server()
    before = sc.snapshot("before")
    sc.equal(link_mask(before), 0, "clean machine has no links")
    run_clean_check(sc, "tool")
    sc.unchanged(before, sc.snapshot("after"), "clean machine")


def full_infection(sc, version, key):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file", version=version)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED, key=key)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    expect_repaired(sc, before, after, ALL_LINKS)
    run_clean_check(sc, "second-run")
    sc.unchanged(after, sc.snapshot("after-second-run"), "second run")


def scenario_full_infection_nt(sc):
    full_infection(sc, None, "y")


def scenario_full_infection_9x(sc):
    full_infection(sc, "win98", "Y")


def scenario_answer_no(sc):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    junk = [("digit", b"7"), ("Enter", KEY_ENTER), ("Escape", KEY_ESCAPE), ("Up", KEY_UP),
            ("Down", KEY_DOWN), ("letter", b"x")]
    for label, no_key in (("tool-n", "n"), ("tool-N", "N")):
        prog = sc.program(label)
        prog.expect(FOUND)
        prog.expect(CONTINUE)
        for name, key in (junk if label == "tool-n" else []):
            prog.send(key)
            shown = prog.quiet(1.2)
            sc.check(shown == "" and prog.alive(),
                     "%s: key %s was not ignored silently (shown %r, running %s)"
                     % (label, name, shown, prog.alive()))
        prog.send(no_key)
        sc.equal(prog.wait(30), 1, label + " exit code")
        sc.transcript(prog, [BANNER, FOUND, CONTINUE], label)
    sc.unchanged(before, sc.snapshot("after"), "after N")


def scenario_links_only(sc):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, None)
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_PARTLY)
    after = sc.snapshot("after")
    expect_repaired(sc, before, after, ALL_LINKS)


def file_only(sc, attrs):
    start_server()
    plant(sc.run_dir, worm="file", attrs=attrs)
    if attrs:
        got = file_attributes(WORM_PATH)
        sc.check(set("HRS") <= set(got), "attributes planted: got %r, want H, R and S" % got)
    before = sc.snapshot("before")
    expect_planted(sc, before, 0, "file")
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    sc.unchanged(before, after, "outside the file", skip={"worm file"})


def scenario_file_only(sc):
    file_only(sc, "")


def scenario_file_attributes(sc):
    file_only(sc, "+r +h +s")


def plant_held_worm(sc, version, wininit=None):
    """All links and the worm file, which another program holds open; returns the
    snapshot before and the holder."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file", version=version, wininit=wininit)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    return before, Holder(sc.exe_dir, WORM_PATH, sc.run_dir)


def tool_to_restart_prompt(sc, told=()):
    """The tool, answered Y, up to the restart prompt; told: the lines it shows between
    the repair and the restart prompt."""
    prog = sc.program("tool")
    prog.expect(FOUND)
    prog.expect(CONTINUE)
    prog.send("y")
    prog.expect(REMOVING, timeout=30)
    prog.expect(LINKS_REMOVED, timeout=60)
    for line in told:
        prog.expect(line, timeout=30)
    prog.expect(MUST_RESTART, timeout=30)
    prog.expect(PRESS_R, timeout=30)
    return prog


def restart_with_r(sc, prog, holders, told=(), worm_gone=True):
    """Lets go of the held files (a real restart ends every program first; Wine's does
    not), presses R, waits for the restart's boot-time work and checks that the tool then
    idles. Without worm_gone, the other program's WININIT.INI entry being carried out
    shows that the restart happened. Returns the snapshot after the restart."""
    for holder in holders:
        holder.release()
    sc.check(read_bytes(WORM_PATH) == WORM_FILE_BYTES, "worm file still there until R")
    prog.send("r")
    prog.expect(REBOOT_1, timeout=60)
    prog.expect(REBOOT_2, timeout=30)
    if worm_gone:
        done = wait_until(lambda: read_bytes(WORM_PATH) is None, 60)
        sc.check(done, "worm file gone after the restart the tool asked for")
    else:
        done = wait_until(lambda: read_bytes(OLD_TMP_PATH) is None, 60)
        sc.check(done, "the restart the tool asked for carried out the other program's entry")
    tool_pid = process_running(TOOL_EXE)
    sc.check(tool_pid is not None, "the tool idles after the final message")
    if tool_pid is not None:
        used = cpu_seconds(tool_pid)
        shown = prog.quiet(3.0)
        used = cpu_seconds(tool_pid) - used
        sc.check(used < 0.3, "the idle tool used %.2f s of processor in 3 s" % used)
        sc.equal(shown, "", "nothing shown after the final message")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE, REMOVING, LINKS_REMOVED] + list(told) +
                  [MUST_RESTART, PRESS_R, REBOOT_1, REBOOT_2], "tool")
    prog.kill()
    after = sc.snapshot("after-restart")
    sc.check(not after["PendingFileRenameOperations"],
             "PendingFileRenameOperations done: %r" % after["PendingFileRenameOperations"])
    sc.equal(link_mask(after), 0, "links still repaired after the restart")
    sc.equal(after["WININIT.OLD"], None, "no WININIT.OLD left")
    return after


def file_in_use(sc, version):
    wininit = None
    if version:
        # Another setup program's pending work, with its own comment: it must survive.
        wininit = "; left by another setup program\n[rename]\nNUL=%s\n" % OLD_TMP_PATH
    _, holder = plant_held_worm(sc, version, wininit)
    prog = tool_to_restart_prompt(sc)
    for key in (b"y", b"1", KEY_ENTER):
        prog.send(key)
        shown = prog.quiet(1.2)
        sc.check(shown == "" and prog.alive(),
                 "key %r at the restart prompt was not ignored (shown %r)" % (key, shown))
    pending = sc.snapshot("before-restart")
    sc.check(pending["worm file"] == WORM_FILE_BYTES, "worm file still there before the restart")
    sc.equal(link_mask(pending), 0, "links repaired before the restart")
    worm_lower = WORM_PATH.lower()
    if version is None:
        ops = (pending["PendingFileRenameOperations"] or "").lower()
        sc.check(worm_lower in ops, "PendingFileRenameOperations names the worm file: %r" % ops)
        sc.equal(pending["WININIT.INI"], None, "no WININIT.INI in NT mode")
    else:
        sc.equal(pending["PendingFileRenameOperations"], None,
                 "no PendingFileRenameOperations in 9x mode")
        entries = parse_ini(pending["WININIT.INI"]) or []
        renames = [(k, (v or "").lower()) for s, k, v in entries if s == "rename"]
        sc.check(("nul", worm_lower) in renames,
                 "WININIT.INI [rename] deletes the worm file: %r" % renames)
        sc.check(("nul", OLD_TMP_PATH.lower()) in renames,
                 "WININIT.INI keeps the other program's entry: %r" % renames)
        sc.equal(pending["WININIT.NEW"], None, "no WININIT.NEW left over")
    after = restart_with_r(sc, prog, [holder])
    if version:
        sc.equal(read_bytes(OLD_TMP_PATH), None, "the other program's WININIT.INI entry done")
        sc.equal(after["WININIT.INI"], None, "WININIT.INI carried out")


def scenario_file_in_use_nt(sc):
    file_in_use(sc, None)


def scenario_file_in_use_9x(sc):
    file_in_use(sc, "win98")


def scenario_rename_in_text_9x(sc):
    """A line that mentions [rename] is text: the entry goes under the real header."""
    wininit = "[setup]\nnote=entries go to [rename] below\n[rename]\nNUL=%s\n" % OLD_TMP_PATH
    _, holder = plant_held_worm(sc, "win98", wininit)
    prog = tool_to_restart_prompt(sc)
    pending = sc.snapshot("before-restart")
    original = wininit.replace("\n", "\r\n").encode("latin-1")
    entry = ("NUL=%s\r\n" % WORM_PATH).encode("latin-1")
    want = original.replace(b"[rename]\r\n", b"[rename]\r\n" + entry)
    sc.equal((pending["WININIT.INI"] or b"").lower(), want.lower(),
             "WININIT.INI: the entry first under the [rename] header, every other byte kept")
    restart_with_r(sc, prog, [holder])
    sc.equal(read_bytes(OLD_TMP_PATH), None, "the other program's WININIT.INI entry done")


def run_again_after_restart(sc):
    """What the tool told the user to do: run it again, now that nothing holds the file."""
    answer_yes_and_finish(sc, sc.program("run-again"), PARTS_FOUND, WORM_REMOVED)
    sc.equal(read_bytes(WORM_PATH), None, "worm file deleted by the second run")


def unscheduled(sc, version):
    """The deletion at boot cannot be arranged: the user is told before the restart
    prompt, the restart still comes, and a second run finishes the job."""
    # Another program's entry, carried out by the restart: it shows the restart happened.
    wininit = "[rename]\nNUL=%s\n" % OLD_TMP_PATH
    before, worm_holder = plant_held_worm(sc, version, wininit)
    holders = [worm_holder]
    if version:
        # Another program holds WININIT.INI: no entry can be written.
        holders.append(Holder(sc.exe_dir, WININIT_PATH, sc.run_dir))
    else:
        # The Session Manager key refuses changes: no pending move can be noted. The
        # denial lasts as long as this scenario's wineserver.
        rc, out, err = wine([str(sc.exe_dir / DENY_EXE), SESSION_MANAGER.split("\\", 1)[1]])
        sc.check(out.startswith("DENIED"), "Session Manager key denied: %r" % (out + err))
    prog = tool_to_restart_prompt(sc, told=[NOT_SCHEDULED])
    pending = sc.snapshot("before-restart")
    sc.equal(pending["PendingFileRenameOperations"], None, "no pending move noted")
    sc.equal(pending["WININIT.INI"], before["WININIT.INI"], "WININIT.INI as it was")
    sc.equal(pending["WININIT.NEW"], None, "no WININIT.NEW left")
    sc.equal(pending["WININIT.OLD"], None, "no WININIT.OLD left")
    after = restart_with_r(sc, prog, holders, told=[NOT_SCHEDULED], worm_gone=False)
    sc.equal(after["worm file"], WORM_FILE_BYTES, "worm file still there after the restart")
    run_again_after_restart(sc)


def scenario_unscheduled_9x(sc):
    unscheduled(sc, "win98")


def scenario_unscheduled_nt(sc):
    unscheduled(sc, None)


def scenario_redirected_output(sc):
    start_server()
    yes_file = sc.run_dir / "yes.txt"
    yes_file.write_bytes(b"y\r\n")
    tool = winpath(sc.tool)

    # Clean machine, output to a file through cmd: the closing prompt must be in the file
    # before the tool waits, and the "y" on standard input is no key press.
    out1 = sc.run_dir / "clean-out.txt"
    prog = sc.program("clean-to-file", argv=["wine", "cmd", "/c", "%s < %s > %s" % (
        tool, winpath(yes_file), winpath(out1))], watch_file=out1)
    prog.expect(PRESS_ANY, source="file", timeout=60)
    prog.pump(1.5)
    sc.check(prog.alive(), "the tool waits for a key although standard input holds 'y'")
    prog.send("k")
    sc.equal(prog.wait(30), 0, "clean-to-file exit code")
    sc.transcript(prog, [BANNER, NOT_FOUND, EXITING, PRESS_ANY], "clean-to-file", source="file")
    sc.equal(prog.lines("console"), [], "nothing of the tool on the console")

    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")

    # Output into a pipe, console on the terminal.
    prog = sc.program("infected-to-pipe", mode="pipe-out")
    prog.expect(CONTINUE, source="stdout", timeout=60)
    prog.send("n")
    sc.equal(prog.wait(30), 1, "infected-to-pipe exit code")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE], "infected-to-pipe", source="stdout")

    # Output to a file and "y" on standard input: the question still waits for a key.
    out2 = sc.run_dir / "infected-out.txt"
    prog = sc.program("infected-to-file", argv=["wine", "cmd", "/c", "%s < %s > %s" % (
        tool, winpath(yes_file), winpath(out2))], watch_file=out2)
    prog.expect(CONTINUE, source="file", timeout=60)
    prog.pump(2.0)
    sc.check(prog.alive() and REMOVING not in prog.text("file"),
             "standard input's 'y' answered the question: %r" % prog.text("file"))
    prog.send("n")
    sc.equal(prog.wait(30), 1, "infected-to-file exit code")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE], "infected-to-file", source="file")
    sc.unchanged(before, sc.snapshot("after"), "after N with redirected output")


def no_terminal(sc, infected):
    start_server()
    if infected:
        plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    prog = sc.program("tool", mode="no-terminal")
    rc = prog.wait(60)
    if infected:
        sc.equal(rc, 1, "exit code without console input")
        sc.transcript(prog, [BANNER, FOUND, CONTINUE], "tool", source="stdout")
    else:
        sc.equal(rc, 0, "exit code on a clean machine without console input")
        sc.transcript(prog, [BANNER, NOT_FOUND, EXITING, PRESS_ANY], "tool", source="stdout")
    sc.equal(prog.lines("stderr"), [], "standard error without a terminal")
    sc.unchanged(before, sc.snapshot("after"), "without a terminal")


def scenario_no_terminal_clean(sc):
    no_terminal(sc, False)


def scenario_no_terminal_infected(sc):
    no_terminal(sc, True)


# Another program's class that a link at .dl names: it must come through the run untouched.
OTHER_CLASS = r"HKEY_LOCAL_MACHINE\Software\Classes\LabOtherClass"
OTHER_CLASS_TARGET = r"\Registry\Machine\Software\Classes\LabOtherClass"
DL_UNDER_HKLM = r"Software\Classes\.dl"


def reg_link(sc, *args):
    rc, out, err = wine([str(sc.exe_dir / REG_LINK_EXE)] + list(args), timeout=60, check=False)
    return out.strip()


def scenario_dl_class_link(sc):
    """.dl is a registry link to another program's class with its own subkeys (NT mode)."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS & ~L_DL, worm="file")
    reg_file = sc.run_dir / "other-class.reg"
    reg_file.write_bytes("\r\n".join([
        "REGEDIT4", "",
        "[%s]" % OTHER_CLASS, "@=%s" % reg_string("Other program's document"), "",
        "[%s\\DefaultIcon]" % OTHER_CLASS, "@=%s" % reg_string(r"C:\other\viewer.exe,1"), "",
        "[%s\\shell\\open\\command]" % OTHER_CLASS,
        "@=%s" % reg_string(r'C:\other\viewer.exe "%1"'), ""]).encode("latin-1"))
    wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    sc.equal(reg_link(sc, "create", DL_UNDER_HKLM, OTHER_CLASS_TARGET), "LINKED", "link made")
    other_before = reg_query(OTHER_CLASS, recurse=True)
    sc.check(other_before is not None and len(other_before["subkeys"]) >= 3,
             "the other class planted with its subkeys: %r" % (other_before,))
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(reg_link(sc, "show", DL_UNDER_HKLM), "ABSENT", r"the link HKCR\.dl itself")
    sc.equal(reg_query(OTHER_CLASS, recurse=True), other_before, "the class the link named")
    sc.equal(after["worm file"], None, "worm file deleted")
    expect_repaired(sc, before, after, ALL_LINKS)
    run_clean_check(sc, "second-run")


# Values longer than 512 bytes, before and around the worm's: each is looked at whole.
LONG_DATA_RUN = ("AAA Long Data", "C:\\Program Files\\Long\\app.exe /opt ".ljust(600, "x"))
LONG_NAME_RUN = ("AAA Long Name ".ljust(600, "N"), r"C:\Program Files\Named\app.exe")
LONG_RUNSERVICES = (WORM_RUNSERVICES[0], (WORM_RUNSERVICES[1] + " ").ljust(700, "x"))
LONG_EXE_COMMAND = (WORM_EXE_COMMAND + " ").ljust(600, "p")
LONG_WININI_RUN = ("C:\\APPS\\" + "a" * 552 + "TAVREL.EXE ").ljust(600, "b")


def scenario_long_values(sc):
    start_server()
    plant(sc.run_dir, links=L_RUN)
    lines = ["REGEDIT4", ""]
    for key, values in (
            (r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run",
             [LONG_DATA_RUN, LONG_NAME_RUN]),
            (r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\RunServices",
             [LONG_RUNSERVICES] + list(DECOY_RUN.items())),
            (r"HKEY_LOCAL_MACHINE\Software\Classes\exefile\shell\open\command",
             [(None, LONG_EXE_COMMAND)]),
            (WININI_WINDOWS.replace("HKCU", "HKEY_CURRENT_USER"), [("run", LONG_WININI_RUN), ("load", r"C:\keep\load.exe")])):
        lines.append("[%s]" % key)
        lines.extend("%s=%s" % ("@" if n is None else reg_string(n), reg_string(d))
                     for n, d in values)
        lines.append("")
    reg_file = sc.run_dir / "long-values.reg"
    reg_file.write_bytes("\r\n".join(lines).encode("latin-1") + b"\r\n")
    wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    before = sc.snapshot("before")
    sc.equal(len(LONG_DATA_RUN[1]), 600, "length of the long Run data")
    sc.equal(len(LONG_NAME_RUN[0]), 600, "length of the long Run name")
    sc.equal(len(LONG_RUNSERVICES[1]), 700, "length of the long RunServices data")
    sc.equal(len(LONG_EXE_COMMAND), 600, "length of the long command")
    sc.equal((len(LONG_WININI_RUN), LONG_WININI_RUN.upper().find("TAVREL")), (600, 560),
             "length of run= and where its marker is")
    sc.equal(before["WIN.INI run"], LONG_WININI_RUN, "run= planted whole")
    links = L_MACHINE_EXE | L_CLASSES_EXE | L_RUNSERVICES | L_RUN | L_WININI
    expect_planted(sc, before, links, None)
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_PARTLY)
    after = sc.snapshot("after")
    sc.equal(after["RunServices"], {n: v for n, v in before["RunServices"].items()
                                    if n != LONG_RUNSERVICES[0]}, "RunServices: the worm's gone")
    sc.equal(after["Run"], {n: v for n, v in before["Run"].items() if n != WORM_RUN[0]},
             "Run: the worm's gone, the long ones kept")
    expect_repaired(sc, before, after, links)
    run_clean_check(sc, "second-run")


SCENARIOS = {
    "clean_machine": scenario_clean_machine,
    "full_infection_nt": scenario_full_infection_nt,
    "full_infection_9x": scenario_full_infection_9x,
    "answer_no": scenario_answer_no,
    "links_only": scenario_links_only,
    "file_only": scenario_file_only,
    "file_attributes": scenario_file_attributes,
    "file_in_use_nt": scenario_file_in_use_nt,
    "file_in_use_9x": scenario_file_in_use_9x,
    "rename_in_text_9x": scenario_rename_in_text_9x,
    "unscheduled_9x": scenario_unscheduled_9x,
    "unscheduled_nt": scenario_unscheduled_nt,
    "redirected_output": scenario_redirected_output,
    "no_terminal_clean": scenario_no_terminal_clean,
    "no_terminal_infected": scenario_no_terminal_infected,
    "dl_class_link": scenario_dl_class_link,
    "long_values": scenario_long_values,
}


# ---------------------------------------------------------------------------- commands

def _on_signal(signum, frame):
    raise ScenarioTimeout("stopped by signal %d" % signum)


def guarded(fn, budget):
    """Runs fn with a time budget; whatever happens, the prefix's processes end with it."""
    atexit.register(_kill_children)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, _on_signal)
    signal.alarm(budget)
    try:
        return fn()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        try:
            stop_everything()
        except Exception as e:  # the original error matters more
            print("cleanup: %s" % e, file=sys.stderr)


def needs_wine(cmd):
    def checked(args):
        try:
            check_i386()
        except NoWine as e:
            print("FAILED: the lab cannot run: %s" % e)
            return 1
        return cmd(args)
    return checked


@needs_wine
def cmd_setup(args):
    def go():
        with LabLock():
            created = ensure_prefix(force=args.force)
            print("prefix %s at %s" % ("created" if created else "ready", PREFIX))
        return 0
    return guarded(go, 1500)


@needs_wine
def cmd_run(args):
    if args.name not in SCENARIOS:
        print("unknown scenario %s; known: %s" % (args.name, ", ".join(SCENARIOS)))
        return 2
    exe_dir = Path(args.exe_dir)
    for exe in (TOOL_EXE, HOLD_EXE, DENY_EXE, REG_LINK_EXE):
        if not (exe_dir / exe).exists():
            print("FAILED: %s missing in %s (run scripts/build.sh win32)" % (exe, exe_dir))
            return 1

    def go():
        with LabLock():
            ensure_prefix()
            sc = Scenario(args.name, exe_dir)
            try:
                reset_machine()
                sc.log("machine reset")
                SCENARIOS[args.name](sc)
            except (LabFailure, ScenarioTimeout) as e:
                sc.failures.append(str(e))
                sc.log("FAIL: %s\n%s" % (e, "".join(traceback.format_tb(e.__traceback__)[-3:])))
            finally:
                stop_everything()
                left = prefix_processes()
                sc.check(not left, "processes left after the scenario: %s" % left)
            took = time.time() - sc.started
            if sc.failures:
                print("FAILED %s in %.1f s: %d of %d checks (transcripts in %s)"
                      % (args.name, took, len(sc.failures), sc.count, sc.run_dir))
                return 1
            print("PASSED %s in %.1f s: %d checks" % (args.name, took, sc.count))
            return 0
    return guarded(go, args.budget)


def cmd_teardown(args):
    stop_everything()
    return 0


@needs_wine
def cmd_demo(args):
    exe = Path(args.exe_dir).resolve() / TOOL_EXE
    if not exe.exists():
        print("%s missing: build it first (scripts/build.sh win32)" % exe)
        return 1

    def go():
        with LabLock():
            ensure_prefix()
            reset_machine()
            start_server()
            run_dir = RUNS / "demo"
            shutil.rmtree(run_dir, ignore_errors=True)
            run_dir.mkdir(parents=True)
            if not args.clean:
                plant(run_dir, links=ALL_LINKS, worm="file")
            before = snapshot()
            print("Lab machine ready (%s). The tool runs now in this terminal.\n"
                  % ("clean" if args.clean else "all seven links and the worm file"), flush=True)
            env = wine_env({"TERM": os.environ.get("TERM", "xterm")})
            rc = subprocess.call(["wine", str(exe)], env=env)
            after = snapshot()
            print("\nThe tool exited with code %s.\n" % rc)
            print_table(before, after)
        return 0
    return guarded(go, 3600)


def print_table(before, after):
    def state(snap, bit):
        return "present" if link_mask(snap) & bit else "-"

    def worm(snap):
        return "present" if snap["worm file"] is not None else "-"

    rows = [(LINK_NAMES[b], state(before, b), state(after, b)) for b in sorted(LINK_NAMES)]
    rows.append((WORM_PATH, worm(before), worm(after)))
    width = max(len(r[0]) for r in rows)
    print("%-*s  %-8s  %-8s" % (width, "worm part", "before", "after"))
    for name, b, a in rows:
        print("%-*s  %-8s  %-8s" % (width, name, b, a))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("setup")
    p.add_argument("--force", action="store_true", help="make a new prefix even if one is saved")
    p.set_defaults(fn=cmd_setup)
    p = sub.add_parser("run")
    p.add_argument("name")
    p.add_argument("--exe-dir", default=str(DEFAULT_EXE_DIR))
    p.add_argument("--budget", type=int, default=280, help="seconds before the run is stopped")
    p.set_defaults(fn=cmd_run)
    p = sub.add_parser("list")
    p.set_defaults(fn=lambda a: print("\n".join(SCENARIOS)) or 0)
    p = sub.add_parser("teardown")
    p.set_defaults(fn=cmd_teardown)
    p = sub.add_parser("demo")
    p.add_argument("--clean", action="store_true", help="run on a machine without the worm")
    p.add_argument("--exe-dir", default=str(DEFAULT_EXE_DIR))
    p.set_defaults(fn=cmd_demo)
    args = parser.parse_args()
    sys.exit(args.fn(args))


if __name__ == "__main__":
    main()
