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
from .wine import (HOLD_EXE, MACHINE, RUNS, SHIELD_CTL_EXE, SHIELD_DRIVER, TOOL_EXE, NoWine,
                   check_i386, stop_everything, wine, wine_env, winpath)
from .worm import ALL_LINKS, LINK_NAMES, WORM_PATH


@needs_wine
def cmd_demo(args):
    exe_dir = Path(args.exe_dir).resolve()
    exe = exe_dir / TOOL_EXE
    for needed in (TOOL_EXE, SHIELD_DRIVER, SHIELD_CTL_EXE, HOLD_EXE):
        if not (exe_dir / needed).exists():
            print("%s missing: build it first (scripts/build.sh win32)" % (exe_dir / needed))
            return 1
    if args.fleet:
        return guarded(lambda: fleet(exe), 3600)

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


# The fleet: three lab machines, each infected afresh and cleaned by one unattended command,
# as a start-up script or a remote shell would run it. (lab machine, what it imitates, the
# Windows version set, its log's name)
FLEET = (("1", "NT family (Windows 7)", None, "nt.log"),
         ("2", "9x family (Windows 98)", "win98", "9x.log"),
         ("wow64", "64-bit Windows 10 (the tool under WoW64)", "win10", "wow64.log"))


def fleet(exe):
    share = RUNS / "fleet"
    shutil.rmtree(share, ignore_errors=True)
    share.mkdir(parents=True)
    print("The share the logs go to: %s (%s)\n" % (share, winpath(share)), flush=True)
    worst = 0
    for name, what, version, log_name in FLEET:
        MACHINE.select(name)
        try:
            check_i386()
        except NoWine as e:
            print("machine %s (%s): cannot run: %s" % (name, what, e))
            return 1
        log = share / log_name
        with LabLock():
            ensure_prefix()
            reset_machine()
            start_server()
            if version:
                wine(["winecfg", "-v", version], timeout=120)
            work = RUNS / "fleet-planting" / name
            shutil.rmtree(work, ignore_errors=True)
            work.mkdir(parents=True)
            plant(work, links=ALL_LINKS, worm="file")
            before = snapshot()
            argv = [str(exe), "/silent", "/log=" + winpath(log)]
            print("== machine %s: %s, infected: %d of 7 links, worm file %s" % (
                name, what, bin(link_mask(before)).count("1"),
                "present" if before["worm file"] is not None else "absent"))
            print("   wine %s" % " ".join([TOOL_EXE] + argv[1:]), flush=True)
            with open(work / "tool.out", "wb") as out:
                rc = subprocess.call(["wine"] + argv, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT, env=wine_env())
            after = snapshot()
            stop_everything()
        worst = max(worst, rc)
        print("   exit code %d; afterwards: %d links, worm file %s" % (
            rc, bin(link_mask(after)).count("1"),
            "present" if after["worm file"] is not None else "gone"))
        print("   %s:" % log_name)
        text = log.read_text(errors="replace") if log.exists() else "(no log)\n"
        print("".join("     " + line for line in text.splitlines(True) if line.strip()),
              flush=True)
    MACHINE.select("1")
    return 0 if worst == 0 else 1
