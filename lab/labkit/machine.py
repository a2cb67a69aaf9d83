"""The lab machine: its Wine prefix, made once and saved clean, reset before each scenario,
its persistent wineserver, and the lock that lets one lab run at a time."""

import fcntl
import shutil
import subprocess
import time
from pathlib import Path

from .wine import (CLEAN, LAB, LAB_FORMAT, LOCK, PREFIX, STAMP, check_i386, run_cmd,
                   stop_everything, wine_env)


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
