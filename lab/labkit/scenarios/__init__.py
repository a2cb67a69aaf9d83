"""Every scenario by name."""

from .console import (scenario_no_terminal_clean, scenario_no_terminal_infected,
                      scenario_redirected_output)
from .removal import (scenario_answer_no, scenario_clean_machine, scenario_dl_class_link,
                      scenario_dl_fake_link, scenario_exact_key_names,
                      scenario_exact_value_names,
                      scenario_file_attributes, scenario_file_only, scenario_full_infection_9x,
                      scenario_full_infection_nt, scenario_links_only, scenario_long_values)
from .restart import (scenario_file_in_use_9x, scenario_file_in_use_nt, scenario_rename_in_text_9x,
                      scenario_unscheduled_9x, scenario_unscheduled_nt)
from .shield import (scenario_shield_answer_no, scenario_shield_clean_machine,
                     scenario_shield_no_state, scenario_shield_refuses, scenario_shield_restart,
                     scenario_shield_rights_failure)


SCENARIOS = {
    "clean_machine": scenario_clean_machine,
    "dl_fake_link": scenario_dl_fake_link,
    "exact_value_names": scenario_exact_value_names,
    "exact_key_names": scenario_exact_key_names,
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
}
