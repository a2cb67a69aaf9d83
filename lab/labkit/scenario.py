"""One scenario's run: its checks, its transcripts and snapshots in build/lab/runs/NAME."""

import shutil
import time
from pathlib import Path

from .messages import BANNER
from .snapshots import snapshot
from .terminal import Program
from .wine import RUNS, TOOL_EXE


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

    def program(self, label, mode="console", argv=None, watch_file=None, switches=(), env=None,
                cwd=None):
        """The tool (with switches on its command line), or argv; env: more environment."""
        argv = argv or ["wine", str(self.tool)] + list(switches)
        return Program(argv, self.run_dir, label, mode=mode, watch_file=watch_file, env=env,
                       cwd=cwd)

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
