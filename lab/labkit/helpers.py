"""The lab's own Windows helpers, run beside the tool."""

import select
import subprocess

from .wine import HOLD_EXE, LabFailure, REG_LINK_EXE, REG_NAMES_EXE, track, wine, wine_env


class Holder:
    """hold_file.exe keeping a file open without sharing, until release(); with
    until_pending, until PendingFileRenameOperations names the file (see released())."""

    def __init__(self, exe_dir, windows_path, run_dir, until_pending=False):
        self.proc = track(subprocess.Popen(
            ["wine", str(exe_dir / HOLD_EXE), windows_path] + ["until-pending"] * until_pending,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
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
        self.released()

    def released(self, timeout=30):
        """Waits for the holder to have let go (of itself, with until_pending)."""
        line = self._line(timeout)
        rc = self.proc.wait(timeout=30)
        if line != "RELEASED" or rc != 0:
            raise LabFailure("hold_file did not let go: %r, exit %s" % (line, rc))


def reg_link(sc, *args):
    rc, out, err = wine([str(sc.exe_dir / REG_LINK_EXE)] + list(args), timeout=60, check=False)
    return out.strip()


def reg_names(sc, *args):
    """reg_names.exe: values named beyond what the ANSI calls can spell; its output lines."""
    rc, out, err = wine([str(sc.exe_dir / REG_NAMES_EXE)] + list(args), timeout=60, check=False)
    return out.splitlines()
