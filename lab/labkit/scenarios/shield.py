"""Scenarios of the substitute shield (NT mode): what reaches the driver in each kind of
run, and that the run shows and ends the same as without it."""

from ..machine import reset_machine, start_server
from ..messages import (BANNER, CONTINUE, FOUND, LOGON_ADMIN, NO_RIGHTS, PARTS_FOUND,
                        REMOVING)
from ..planting import plant
from ..shield import (NO_STATE, STATUS_ACCESS_DENIED, Shield, give_back, query,
                      without_options)
from ..steps import plant_held_worm, restart_with_r, run_clean_check, tool_to_restart_prompt
from ..wine import DENY_EXE, wine
from ..worm import ALL_LINKS, RUN

STATE = 0x01020304


def clean_machine(sc):
    start_server()


def infected(sc):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")


def run_key_denied(sc):
    """The links without the file; the Run key refuses changes, so one link stays."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS)
    rc, out, err = wine([str(sc.exe_dir / DENY_EXE), RUN.split("\\", 1)[1]])
    sc.check(out.startswith("DENIED"), "Run key denied: %r" % (out + err))


def answer_n(sc, label):
    prog = sc.program(label)
    prog.expect(FOUND)
    prog.expect(CONTINUE)
    prog.send("n")
    sc.equal(prog.wait(30), 1, label + " exit code")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE], label)
    return prog


def answer_y_without_rights(sc, label):
    prog = sc.program(label)
    prog.expect(PARTS_FOUND)
    prog.expect(CONTINUE)
    prog.send("y")
    prog.expect(REMOVING, timeout=30)
    prog.expect(LOGON_ADMIN, timeout=60)
    sc.equal(prog.wait(30), 2, label + " exit code")
    sc.transcript(prog, [BANNER, PARTS_FOUND, CONTINUE, REMOVING, NO_RIGHTS, LOGON_ADMIN], label)
    return prog


def same_run_with_shield(sc, prepare, run, want_log, state=STATE, refuse=False):
    """The run on a prepared machine without the shield, then on the same machine made
    afresh with the shield answering `state` (or refusing): the same lines, the same exit
    code, and the driver's log exactly `want_log`."""
    prepare(sc)
    plain = run(sc, "without-shield")
    reset_machine()
    prepare(sc)
    shield = Shield(sc.exe_dir, sc.run_dir, state, refuse)
    shielded = run(sc, "with-shield")
    sc.equal(shielded.lines(), plain.lines(), "lines shown with the shield as without")
    sc.equal(shielded.rc, plain.rc, "exit code with the shield as without")
    _, entries = shield.log("run")
    sc.equal(without_options(entries), want_log, "the shield's log of the run")
    shield.stop()


def scenario_shield_clean_machine(sc):
    same_run_with_shield(sc, clean_machine, run_clean_check,
                         query(1, STATE) + give_back(2, STATE))


def scenario_shield_answer_no(sc):
    same_run_with_shield(sc, infected, answer_n, query(1, STATE) + give_back(2, STATE))


def scenario_shield_rights_failure(sc):
    same_run_with_shield(sc, run_key_denied, answer_y_without_rights,
                         query(1, STATE) + give_back(2, STATE))


def scenario_shield_refuses(sc):
    same_run_with_shield(sc, clean_machine, run_clean_check,
                         query(1, None, STATUS_ACCESS_DENIED), refuse=True)


def scenario_shield_no_state(sc):
    """A state of 0xFFFFFFFF looks like none: nothing is given back."""
    same_run_with_shield(sc, clean_machine, run_clean_check, query(1, NO_STATE), state=NO_STATE)


def scenario_shield_restart(sc):
    """The worm file in use and R pressed: the run never ends, so nothing is given back."""
    _, holder = plant_held_worm(sc, None)
    shield = Shield(sc.exe_dir, sc.run_dir, STATE)
    prog = tool_to_restart_prompt(sc)
    _, entries = shield.log("to-restart-prompt")
    sc.equal(without_options(entries), query(1, STATE), "the shield's log up to the restart prompt")
    restart_with_r(sc, prog, [holder])
    _, entries = shield.log("after-restart")
    sc.equal(without_options(entries), [], "the shield's log after R")
    shield.stop()
