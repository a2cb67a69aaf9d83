#!/usr/bin/env python3
"""End-to-end lab: the real Windows program, run under Wine in a throw-away 32-bit machine.

    lab.py setup                       create the Wine prefix once and save its clean state
    lab.py run NAME [--exe-dir DIR]    run one scenario on a freshly reset machine
    lab.py list                        name the scenarios
    lab.py demo [--clean]              plant the worm (or not), run the tool in your own terminal
    lab.py demo --fleet                three infected machines cleaned by /silent /log=..., logs shown
    lab.py teardown                    end the lab's wineserver and anything left of it

setup, run and teardown take --machine: 1 (the 32-bit machine, the default), 2 (a copy of it,
so that two scenarios can run at once) or wow64 (a 64-bit Windows; the wow64.* scenarios run
there whatever is given).

Everything lives under build/lab; ~/.wine is never used. Standard library only. The lab itself
is the package labkit beside this file; this is its command line.
"""

import argparse
import sys

from labkit.demo import cmd_demo
from labkit.runner import cmd_run, cmd_setup, cmd_teardown
from labkit.scenarios import SCENARIOS
from labkit.wine import DEFAULT_EXE_DIR

# What bench/bench.py drives the lab machine with.
from labkit.machine import LabLock, ensure_prefix, reset_machine, start_server  # noqa: F401
from labkit.messages import CONTINUE  # noqa: F401
from labkit.helpers import Holder  # noqa: F401
from labkit.planting import plant  # noqa: F401
from labkit.snapshots import reg_query  # noqa: F401
from labkit.terminal import Program  # noqa: F401
from labkit.wine import (REPO, RUNS, TOOL_EXE, LabFailure, check_i386, host_path,  # noqa: F401
                         stop_everything, wine, wine_env, winpath)
from labkit.wine import LabMachine
from labkit.worm import ALL_LINKS, WININIT_PATH, WORM_PATH  # noqa: F401


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("setup")
    p.add_argument("--force", action="store_true", help="make a new prefix even if one is saved")
    p.add_argument("--machine", choices=LabMachine.NAMES, default="1")
    p.set_defaults(fn=cmd_setup)
    p = sub.add_parser("run")
    p.add_argument("name")
    p.add_argument("--exe-dir", default=str(DEFAULT_EXE_DIR))
    p.add_argument("--budget", type=int, default=280, help="seconds before the run is stopped")
    p.add_argument("--machine", choices=LabMachine.NAMES)
    p.set_defaults(fn=cmd_run)
    p = sub.add_parser("list")
    p.set_defaults(fn=lambda a: print("\n".join(SCENARIOS)) or 0)
    p = sub.add_parser("teardown")
    p.add_argument("--machine", choices=LabMachine.NAMES, default="1")
    p.set_defaults(fn=cmd_teardown)
    p = sub.add_parser("demo")
    p.add_argument("--clean", action="store_true", help="run on a machine without the worm")
    p.add_argument("--fleet", action="store_true",
                   help="three infected machines (NT, 9x, 64-bit) cleaned unattended, with a log each")
    p.add_argument("--exe-dir", default=str(DEFAULT_EXE_DIR))
    p.set_defaults(fn=cmd_demo)
    args = parser.parse_args()
    sys.exit(args.fn(args))


if __name__ == "__main__":
    main()
