"""The demo: the tool in the user's own terminal on a lab machine, and what changed."""

import os
import shutil
import subprocess
from pathlib import Path

from .machine import LabLock, ensure_prefix, reset_machine, start_server
from .planting import plant
from .runner import guarded, needs_wine
from .snapshots import link_mask, snapshot
from .wine import RUNS, TOOL_EXE, wine_env
from .worm import ALL_LINKS, LINK_NAMES, WORM_PATH


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
