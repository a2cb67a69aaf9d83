"""Every scenario by name: each module's functions named scenario_NAME, in the modules' order."""

from . import console, removal, restart, shield

PREFIX = "scenario_"


def _scenarios(module):
    return {name[len(PREFIX):]: fn for name, fn in vars(module).items()
            if name.startswith(PREFIX) and callable(fn)}


SCENARIOS = {}
for _module in (removal, restart, console, shield):
    SCENARIOS.update(_scenarios(_module))
