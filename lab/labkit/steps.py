"""Steps and checks that several scenarios share."""

from .helpers import Holder
from .machine import start_server
from .messages import (BANNER, CONTINUE, EXITING, FOUND, LINKS_REMOVED, MUST_RESTART, NOT_FOUND,
                       PARTS_FOUND, PRESS_ANY, PRESS_R, REBOOT_1, REBOOT_2, REMOVING, WORM_REMOVED)
from .planting import plant
from .snapshots import link_mask, parse_ini, read_bytes, reg_query, value_data
from .wine import TOOL_EXE, cpu_seconds, process_running, wait_until, wine
from .worm import (ALL_LINKS, CLEAN_EXE_COMMAND, L_CLASSES_EXE, L_DL, L_MACHINE_EXE, L_RUN,
                   L_RUNSERVICES, L_SYSTEMINI, L_WININI, OLD_TMP_PATH, WININI_WINDOWS,
                   WORM_FILE_BYTES, WORM_PATH, WORM_RUN, WORM_RUNSERVICES)


def expect_planted(sc, snap, links, worm):
    sc.equal(link_mask(snap), links, "links planted (mask)")
    if worm == "file":
        sc.equal(snap["worm file"], WORM_FILE_BYTES, "worm file planted")
    elif worm == "dir":
        sc.equal(snap["worm file"], "<directory>", "directory planted")
    else:
        sc.equal(snap["worm file"], None, "no worm file")


def expect_repaired(sc, before, after, links, skip=()):
    """Each planted link repaired exactly as the tool promises; everything else (but skip)
    as it was."""
    if links & (L_MACHINE_EXE | L_CLASSES_EXE):
        sc.equal(after["machine exe command"], CLEAN_EXE_COMMAND, "exefile command (HKLM)")
        sc.equal(after["classes exe command"], CLEAN_EXE_COMMAND, "exefile command (HKCR)")
    for link, key, worm_value in ((L_RUNSERVICES, "RunServices", WORM_RUNSERVICES),
                                  (L_RUN, "Run", WORM_RUN)):
        if links & link:
            want = {n: v for n, v in before[key].items() if n != worm_value[0]}
            sc.equal(after[key], want, key + " values (only the worm's gone)")
    if links & L_DL:
        sc.equal(after[".dl class"], None, r"HKCR\.dl and its subtree")
    if links & L_WININI:
        kept = [item for item in before["WIN.INI run"].split() if "TAVREL" not in item.upper()]
        sc.equal(after["WIN.INI run"], " ".join(kept),
                 "WIN.INI [windows] run= (only the worm's items gone, the others in order)")
        sc.equal(value_data(reg_query(WININI_WINDOWS), "load"), r"C:\keep\load.exe",
                 "WIN.INI [windows] load= untouched")
    if links & L_SYSTEMINI:
        got = parse_ini(after["SYSTEM.INI"])
        want = [(s, k, "Explorer.exe" if (s, k) == ("boot", "shell") else v)
                for s, k, v in parse_ini(before["SYSTEM.INI"])]
        sc.equal(got, want, "SYSTEM.INI entries (shell=Explorer.exe, the rest kept)")
    sc.equal(link_mask(after), 0, "links left after repair")
    sc.unchanged(before, after, "outside the links",
                 skip={"machine exe command", "classes exe command", "RunServices", "Run",
                       ".dl class", "WIN.INI run", "SYSTEM.INI", "worm file"} | set(skip))


def answer_yes_and_finish(sc, prog, found_line, final_line, key="y"):
    """The common tail of a removal: found, Y, the pause, the repair and the closing prompt."""
    prog.expect(BANNER)
    prog.expect(found_line)
    prog.expect(CONTINUE)
    prog.send(key)
    prog.expect(REMOVING, timeout=30)
    pause = prog.expect(LINKS_REMOVED, timeout=60)
    sc.check(pause >= 9.0, "pause after 'Removing...' was only %.1f s" % pause)
    prog.expect(final_line, timeout=30)
    prog.expect(PRESS_ANY, timeout=30)
    prog.send(" ")
    sc.equal(prog.wait(30), 0, "exit code after the closing key")
    sc.transcript(prog, [BANNER, found_line, CONTINUE, REMOVING, LINKS_REMOVED, final_line,
                         PRESS_ANY], prog.label)


def run_clean_check(sc, label):
    """The tool on a machine without the worm: not found, any key, exit 0."""
    prog = sc.program(label)
    prog.expect(NOT_FOUND)
    prog.expect(PRESS_ANY)
    prog.send("k")
    sc.equal(prog.wait(30), 0, label + " exit code")
    sc.transcript(prog, [BANNER, NOT_FOUND, EXITING, PRESS_ANY], label)
    return prog


def set_version(sc, version):
    """The Windows version Wine imitates, set as winecfg sets it (the reset puts it back);
    needs the scenario's server up."""
    wine(["winecfg", "-v", version], timeout=120)
    rc, out, _ = wine(["winecfg", "-v"], timeout=120)
    sc.equal(out.strip(), version, "Windows version the machine imitates")


def plant_held_worm(sc, version, wininit=None, winecfg=False, until_pending=False):
    """All links and the worm file, which another program holds open; returns the
    snapshot before and the holder. winecfg: the version set through winecfg;
    until_pending: the holder lets go once the file's deletion at boot is arranged."""
    start_server()
    if winecfg:
        set_version(sc, version)
    plant(sc.run_dir, links=ALL_LINKS, worm="file", version=None if winecfg else version,
          wininit=wininit)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    return before, Holder(sc.exe_dir, WORM_PATH, sc.run_dir, until_pending)


def tool_to_restart_prompt(sc, told=()):
    """The tool, answered Y, up to the restart prompt; told: the lines it shows between
    the repair and the restart prompt."""
    prog = sc.program("tool")
    prog.expect(FOUND)
    prog.expect(CONTINUE)
    prog.send("y")
    prog.expect(REMOVING, timeout=30)
    prog.expect(LINKS_REMOVED, timeout=60)
    for line in told:
        prog.expect(line, timeout=30)
    prog.expect(MUST_RESTART, timeout=30)
    prog.expect(PRESS_R, timeout=30)
    return prog


def restart_with_r(sc, prog, holders, told=(), worm_gone=True):
    """Lets go of the held files (a real restart ends every program first; Wine's does
    not), presses R, waits for the restart's boot-time work and checks that the tool then
    idles. Without worm_gone, the other program's WININIT.INI entry being carried out
    shows that the restart happened. Returns the snapshot after the restart."""
    for holder in holders:
        holder.release()
    sc.check(read_bytes(WORM_PATH) == WORM_FILE_BYTES, "worm file still there until R")
    prog.send("r")
    prog.expect(REBOOT_1, timeout=60)
    prog.expect(REBOOT_2, timeout=30)
    if worm_gone:
        done = wait_until(lambda: read_bytes(WORM_PATH) is None, 60)
        sc.check(done, "worm file gone after the restart the tool asked for")
    else:
        done = wait_until(lambda: read_bytes(OLD_TMP_PATH) is None, 60)
        sc.check(done, "the restart the tool asked for carried out the other program's entry")
    shown = expect_idle(sc, prog.quiet)
    if shown is not None:
        sc.equal(shown, "", "nothing shown after the final message")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE, REMOVING, LINKS_REMOVED] + list(told) +
                  [MUST_RESTART, PRESS_R, REBOOT_1, REBOOT_2], "tool")
    prog.kill()
    after = sc.snapshot("after-restart")
    sc.check(not after["PendingFileRenameOperations"],
             "PendingFileRenameOperations done: %r" % after["PendingFileRenameOperations"])
    sc.equal(link_mask(after), 0, "links still repaired after the restart")
    sc.equal(after["WININIT.OLD"], None, "no WININIT.OLD left")
    return after


def run_again_after_restart(sc):
    """What the tool told the user to do: run it again, now that nothing holds the file."""
    answer_yes_and_finish(sc, sc.program("run-again"), PARTS_FOUND, WORM_REMOVED)
    sc.equal(read_bytes(WORM_PATH), None, "worm file deleted by the second run")


def expect_idle(sc, settle):
    """The tool is still there after its final message and uses no processor while settle(3.0)
    waits; returns what settle returned, or None when the tool is gone."""
    tool_pid = process_running(TOOL_EXE)
    sc.check(tool_pid is not None, "the tool idles after the final message")
    if tool_pid is None:
        return None
    used = cpu_seconds(tool_pid)
    shown = settle(3.0)
    used = cpu_seconds(tool_pid) - used
    sc.check(used < 0.3, "the idle tool used %.2f s of processor in 3 s" % used)
    return shown
