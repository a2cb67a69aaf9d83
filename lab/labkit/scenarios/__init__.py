"""Every scenario by name: each module's functions named scenario_NAME, in the modules' order."""

from . import console, log_open, removal, restart, shield, switches, wow64
from .versions import VERSION_SCENARIOS

PREFIX = "scenario_"


def _scenarios(module):
    return {name[len(PREFIX):].replace("wow64_", "wow64.", 1): fn for name, fn in vars(module).items()
            if name.startswith(PREFIX) and callable(fn)}


SCENARIOS = {}
for _module in (removal, restart, console, shield, wow64, switches, log_open):
    SCENARIOS.update(_scenarios(_module))
SCENARIOS.update(VERSION_SCENARIOS)


def machine_for(name, asked):
    """The machine a scenario runs on: the 64-bit one for wow64.*, else the 32-bit one asked
    for (the first by default); None when the one asked for cannot run it."""
    if name.startswith("wow64."):
        return "wow64" if asked in (None, "wow64") else None
    if asked == "wow64":
        return None
    return asked or "1"
