"""The lab's commands: set-up, one scenario under a time budget, teardown."""

import atexit
import signal
import sys
import time
import traceback
from pathlib import Path

from .machine import LabLock, ensure_prefix, reset_machine
from .scenario import Scenario
from .scenarios import SCENARIOS, machine_for
from .wine import (DENY_EXE, HOLD_EXE, MACHINE, LabFailure, NoWine, REG_LINK_EXE, REG_NAMES_EXE, ScenarioTimeout,
                   SHIELD_CTL_EXE, SHIELD_DRIVER, SHUTDOWN_STAND_IN_EXE, TOOL_EXE, check_i386, kill_children,
                   prefix_processes, stop_everything)


def _on_signal(signum, frame):
    raise ScenarioTimeout("stopped by signal %d" % signum)


def guarded(fn, budget):
    """Runs fn with a time budget; whatever happens, the prefix's processes end with it."""
    atexit.register(kill_children)
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
        MACHINE.select(getattr(args, "machine", None) or "1")
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
            print("prefix %s at %s" % ("created" if created else "ready", MACHINE.prefix))
        return 0
    return guarded(go, 1500)


def cmd_run(args):
    if args.name not in SCENARIOS:
        print("unknown scenario %s; known: %s" % (args.name, ", ".join(SCENARIOS)))
        return 2
    # A 64-bit scenario runs on the 64-bit machine; the others on either 32-bit one.
    wanted = machine_for(args.name, args.machine)
    if wanted is None:
        print("scenario %s cannot run on machine %s" % (args.name, args.machine))
        return 2
    args.machine = wanted
    return run_scenario(args)


@needs_wine
def run_scenario(args):
    exe_dir = Path(args.exe_dir)
    for exe in (TOOL_EXE, HOLD_EXE, DENY_EXE, REG_LINK_EXE, REG_NAMES_EXE, SHIELD_CTL_EXE, SHIELD_DRIVER,
                SHUTDOWN_STAND_IN_EXE):
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
    MACHINE.select(args.machine or "1")
    stop_everything()
    return 0
