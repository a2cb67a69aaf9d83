"""Every scenario by name."""

from .console import (scenario_no_terminal_clean, scenario_no_terminal_infected,
                      scenario_redirected_output)
from .removal import (scenario_answer_no, scenario_clean_machine, scenario_dl_class_link,
                      scenario_file_attributes, scenario_file_only, scenario_full_infection_9x,
                      scenario_full_infection_nt, scenario_links_only, scenario_long_values)
from .restart import (scenario_file_in_use_9x, scenario_file_in_use_nt, scenario_rename_in_text_9x,
                      scenario_unscheduled_9x, scenario_unscheduled_nt)
from .versions import VERSION_SCENARIOS
from .wow64 import (scenario_wow64_clean_machine, scenario_wow64_full_infection,
                    scenario_wow64_in_use, scenario_wow64_run64_alone, scenario_wow64_run64_value)
from .shield import (scenario_shield_answer_no, scenario_shield_clean_machine,
                     scenario_shield_no_state, scenario_shield_refuses, scenario_shield_restart,
                     scenario_shield_rights_failure)


SCENARIOS = {
    "clean_machine": scenario_clean_machine,
    "full_infection_nt": scenario_full_infection_nt,
    "full_infection_9x": scenario_full_infection_9x,
    "answer_no": scenario_answer_no,
    "links_only": scenario_links_only,
    "file_only": scenario_file_only,
    "file_attributes": scenario_file_attributes,
    "file_in_use_nt": scenario_file_in_use_nt,
    "file_in_use_9x": scenario_file_in_use_9x,
    "rename_in_text_9x": scenario_rename_in_text_9x,
    "unscheduled_9x": scenario_unscheduled_9x,
    "unscheduled_nt": scenario_unscheduled_nt,
    "redirected_output": scenario_redirected_output,
    "no_terminal_clean": scenario_no_terminal_clean,
    "no_terminal_infected": scenario_no_terminal_infected,
    "dl_class_link": scenario_dl_class_link,
    "long_values": scenario_long_values,
    "shield_clean_machine": scenario_shield_clean_machine,
    "shield_answer_no": scenario_shield_answer_no,
    "shield_rights_failure": scenario_shield_rights_failure,
    "shield_refuses": scenario_shield_refuses,
    "shield_no_state": scenario_shield_no_state,
    "shield_restart": scenario_shield_restart,
    "wow64.clean_machine": scenario_wow64_clean_machine,
    "wow64.full_infection": scenario_wow64_full_infection,
    "wow64.in_use": scenario_wow64_in_use,
    "wow64.run64_value": scenario_wow64_run64_value,
    "wow64.run64_alone": scenario_wow64_run64_alone,
}
SCENARIOS.update(VERSION_SCENARIOS)


def machine_for(name, asked):
    """The machine a scenario runs on: the 64-bit one for wow64.*, else the 32-bit one asked
    for (the first by default); None when the one asked for cannot run it."""
    if name.startswith("wow64."):
        return "wow64" if asked in (None, "wow64") else None
    if asked == "wow64":
        return None
    return asked or "1"
