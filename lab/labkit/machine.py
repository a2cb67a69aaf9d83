"""The lab machine: its Wine prefix, made once and saved clean, reset before each scenario,
its persistent wineserver, and the lock that lets one scenario at a time use it."""

import contextlib
import fcntl
import os
import shutil
import subprocess
import time
from pathlib import Path

from .wine import (LAB_FORMAT, MACHINE, WINE64, LabFailure, check_i386, run_cmd,
                   stop_everything, wine_env)


def ensure_prefix(force=False):
    check_i386()
    if not force and MACHINE.stamp.exists() and MACHINE.stamp.read_text() == stamp_text() \
            and (MACHINE.prefix / "system.reg").exists():
        return False
    stop_everything()
    shutil.rmtree(MACHINE.prefix, ignore_errors=True)
    shutil.rmtree(MACHINE.clean, ignore_errors=True)
    MACHINE.home.mkdir(parents=True, exist_ok=True)
    started = time.time()
    if MACHINE.name == "2":
        copy_first_machine()
    else:
        run_cmd([WINE64 if MACHINE.wow64 else "wine", "wineboot", "-i"], timeout=900)
        # Let the boot's own programs finish so the registry on disk is complete.
        run_cmd(["wineserver", "-w"], timeout=600, check=False)
        stop_everything()
        save_clean_state()
    print("prefix created in %.0f s" % (time.time() - started))
    return True


def copy_first_machine():
    """The second 32-bit machine is the first one's clean state, copied: quicker than a
    second Wine set-up. The first is made when missing, and is not in use meanwhile."""
    mine = MACHINE.name
    MACHINE.select("1")
    try:
        with LabLock():
            ensure_prefix()
            source_prefix, source_clean = MACHINE.prefix, MACHINE.clean
            MACHINE.select(mine)
            shutil.copytree(source_prefix, MACHINE.prefix, symlinks=True)
            shutil.copytree(source_clean, MACHINE.clean)
    finally:
        MACHINE.select(mine)
    # Whatever a scenario had left in the first machine goes with the reset.
    reset_machine()


def stamp_text():
    r = subprocess.run(["wine", "--version"], capture_output=True, env=wine_env(), timeout=60)
    return "%s %s" % (LAB_FORMAT, r.stdout.decode().strip())


# What a reset puts back, relative to the prefix; saved in the clean folder by file name.
SAVED_STATE = ("system.reg", "user.reg", "userdef.reg",
               "drive_c/windows/system.ini", "drive_c/windows/win.ini")


def saved_state_files():
    """(live file, saved copy) pairs of the machine's saved state."""
    return [(MACHINE.prefix / rel, MACHINE.clean / Path(rel).name) for rel in SAVED_STATE]


def save_clean_state():
    MACHINE.clean.mkdir(parents=True)
    for live, saved in saved_state_files():
        if live.exists():
            shutil.copy2(live, saved)
    prefix = MACHINE.prefix
    listing = sorted(str(p.relative_to(prefix)) for p in (prefix / "drive_c").rglob("*"))
    (MACHINE.clean / "listing.txt").write_text("\n".join(listing) + "\n")
    MACHINE.stamp.write_text(stamp_text())


def reset_machine():
    """Back to the clean state: no server runs while the registry files are copied back."""
    stop_everything()
    for live, saved in saved_state_files():
        if saved.exists():
            shutil.copy2(saved, live)
    keep = set((MACHINE.clean / "listing.txt").read_text().split("\n"))
    prefix = MACHINE.prefix
    # Deepest first, so a new directory is emptied before it goes.
    for path in sorted((prefix / "drive_c").rglob("*"), key=lambda p: len(p.parts), reverse=True):
        if str(path.relative_to(prefix)) in keep:
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
    """One scenario at a time on the selected machine."""

    def __enter__(self):
        MACHINE.home.mkdir(parents=True, exist_ok=True)
        self.f = open(MACHINE.lock, "w")
        fcntl.flock(self.f, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


@contextlib.contextmanager
def mapped(folder, *names):
    """A host folder mapped into the lab machine for a while, by links in the prefix's
    dosdevices: a drive ("m:"), or a UNC name ("unc/server/share", which Wine resolves as
    \\\\server\\share). A mapping left by a run that was killed is replaced; the mappings,
    and the folders made for UNC names once empty, go again on leaving."""
    dosdevices = MACHINE.prefix / "dosdevices"
    links = [dosdevices / name for name in names]
    try:
        for link in links:
            if link.is_symlink():
                link.unlink()
            elif os.path.lexists(link):
                raise LabFailure("%s is there and no mapping" % link)
            link.parent.mkdir(parents=True, exist_ok=True)
            link.symlink_to(folder)
        yield
    finally:
        for link in links:
            if link.is_symlink():
                link.unlink()
            parent = link.parent
            while parent != dosdevices and parent.is_dir() and not any(parent.iterdir()):
                parent.rmdir()
                parent = parent.parent
