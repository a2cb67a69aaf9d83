"""The demo: the tool in the user's own terminal on a lab machine, and what changed."""

import os
import shutil
import subprocess
from pathlib import Path

from .machine import LabLock, ensure_prefix, reset_machine, start_server
from .planting import plant
from .runner import guarded, needs_wine
from .shield import Shield
from .snapshots import link_mask, snapshot
from .wine import HOLD_EXE, RUNS, SHIELD_CTL_EXE, SHIELD_DRIVER, TOOL_EXE, wine_env
from .worm import ALL_LINKS, LINK_NAMES, WORM_PATH


@needs_wine
def cmd_demo(args):
    exe_dir = Path(args.exe_dir).resolve()
    exe = exe_dir / TOOL_EXE
    for needed in (TOOL_EXE, SHIELD_DRIVER, SHIELD_CTL_EXE, HOLD_EXE):
        if not (exe_dir / needed).exists():
            print("%s missing: build it first (scripts/build.sh win32)" % (exe_dir / needed))
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
            # The resident shield beside the tool, as on a user's machine: the lab's stand-in.
            shield = Shield(exe_dir, run_dir, DEMO_SHIELD_STATE)
            before = snapshot()
            before["shield"], _ = shield.log("before")
            print("Lab machine ready (%s; the shield answers 0x%08X). The tool runs now in this "
                  "terminal.\n" % ("clean" if args.clean else "all seven links and the worm file",
                                   DEMO_SHIELD_STATE), flush=True)
            env = wine_env({"TERM": os.environ.get("TERM", "xterm")})
            rc = subprocess.call(["wine", str(exe)], env=env)
            after = snapshot()
            after["shield"], _ = shield.log("after")
            requests = shield.last_output.splitlines()[1:-1]
            shield.stop()
            print("\nThe tool exited with code %s.\n" % rc)
            print_table(before, after)
            print("\nWhat reached the shield (\\\\.\\OrvFsh) during the run:")
            print("\n".join("  " + line for line in requests) or "  nothing")
        return 0
    return guarded(go, 3600)


DEMO_SHIELD_STATE = 0x01020304


def print_table(before, after):
    def state(snap, bit):
        return "present" if link_mask(snap) & bit else "-"

    def worm(snap):
        return "present" if snap["worm file"] is not None else "-"

    rows = [(LINK_NAMES[b], state(before, b), state(after, b)) for b in sorted(LINK_NAMES)]
    rows.append((WORM_PATH, worm(before), worm(after)))
    rows.append(("shield state (not part of the worm)", "0x%08X" % before["shield"],
                 "0x%08X" % after["shield"]))
    width = max(len(r[0]) for r in rows)
    print("%-*s  %-10s  %-10s" % (width, "worm part", "before", "after"))
    for name, b, a in rows:
        print("%-*s  %-10s  %-10s" % (width, name, b, a))
