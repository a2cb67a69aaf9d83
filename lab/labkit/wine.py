"""Where the lab lives, and the processes it starts: the Wine environment of the lab machine,
running Wine programs, and ending everything that runs in the lab's prefix."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path


REPO = Path(__file__).resolve().parents[2]
LAB = REPO / "build" / "lab"
RUNS = LAB / "runs"                   # transcripts and generated files, per scenario
LAB_FORMAT = "lab-prefix-3"           # bump when the saved clean state changes shape
# Debian's `wine` always starts the 32-bit loader; a 64-bit machine's own programs (its
# reg, regedit and wineboot, not the syswow64 ones) need the 64-bit loader named.
WINE64 = "/usr/lib/wine/wine64"


class LabMachine:
    """The lab machine this process works on. Machine "1" is the 32-bit one in build/lab,
    "2" a copy of it beside, so that two scenarios can run at once; "wow64" is a 64-bit
    Windows, where the 32-bit tool runs under WoW64."""

    NAMES = ("1", "2", "wow64")

    def __init__(self):
        self.select("1")

    def select(self, name):
        assert name in self.NAMES, name
        self.name = name
        self.wow64 = name == "wow64"
        self.home = LAB if name == "1" else LAB / ("slot" + name if name.isdigit() else name)
        self.prefix = self.home / "prefix"
        self.clean = self.home / "clean"        # registry and ini files of the clean machine
        self.lock = self.home / "lab.lock"
        self.stamp = self.clean / "stamp"


MACHINE = LabMachine()

DEFAULT_EXE_DIR = REPO / "build" / "win32"
TOOL_EXE = "tavrel_moss_remover.exe"
HOLD_EXE = "hold_file.exe"
DENY_EXE = "deny_key.exe"
REG_LINK_EXE = "reg_link.exe"
REG_NAMES_EXE = "reg_names.exe"
SHIELD_CTL_EXE = "shield_ctl.exe"
SHUTDOWN_STAND_IN_EXE = "shutdown_stand_in.exe"
SHIELD_DRIVER = "orvfsh.sys"


class LabFailure(Exception):
    pass


class ScenarioTimeout(Exception):
    pass


class NoWine(Exception):
    """This machine cannot run Wine at all: the lab fails and says why."""


_children = []          # Popen objects of everything this process started


def track(proc):
    _children.append(proc)
    return proc


def kill_children():
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
    mine = ("WINEPREFIX=" + str(MACHINE.prefix)).encode()
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
    env.update(WINEPREFIX=str(MACHINE.prefix), WINEARCH="win64" if MACHINE.wow64 else "win32",
               WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.setdefault("TERM", "xterm")
    if extra:
        env.update(extra)
    return env


def winpath(path):
    """A host path as Wine's Z: drive shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def host_path(windows_path, must_exist=False, native=False):
    """The host path of a C: path as the 32-bit tool sees it, matching each part without regard
    to case as Wine does. On the 64-bit machine WoW64 shows such a program syswow64 where it
    names system32; native: the 64-bit programs' own system32 instead."""
    parts = windows_path.replace("/", "\\").split("\\")
    assert parts[0].upper() == "C:", windows_path
    if MACHINE.wow64 and not native and [p.lower() for p in parts[1:3]] == ["windows", "system32"]:
        parts[2] = "syswow64"
    here = MACHINE.prefix / "drive_c"
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
        proc = track(subprocess.Popen(argv, stdin=stdin, stdout=out_f, stderr=err_f,
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


def wine(args, timeout=60, check=True, native=False):
    """A Wine program; native: the 64-bit machine's own build of it, not the syswow64 one."""
    loader = WINE64 if native and MACHINE.wow64 else "wine"
    return run_cmd([loader] + list(args), timeout, check=check)


def stop_everything(timeout=30):
    """Ends the prefix's wineserver (which ends its programs) and then anything still left."""
    kill_children()
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


def check_i386():
    """Wine must run: it is installed, and its 32-bit loader runs (some kernels run no 32-bit
    programs; the set-up then registers qemu's emulator for them)."""
    if shutil.which("wine") is None:
        raise NoWine("Wine is not installed; run 'bash scripts/setup.sh' as root")
    if MACHINE.wow64 and not Path(WINE64).exists():
        raise NoWine("Wine's 64-bit loader (package wine64) is not installed; "
                     "run 'bash scripts/setup.sh' as root")
    try:
        r = subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True, timeout=60)
        if r.returncode == 0:
            return
        why = (r.stderr.decode(errors="replace").strip().splitlines() or ["no output"])[-1]
    except OSError as e:
        why = str(e)
    raise NoWine("32-bit programs do not run here, so Wine cannot (%s); "
                 "run 'bash scripts/setup.sh' as root to set up qemu's emulator for them" % why)


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
