"""Scenarios of the worm file held in use: deletion at boot, the restart, and a deletion
that cannot be arranged."""

from ..helpers import Holder
from ..machine import start_server
from ..messages import CONTINUE, FOUND, NOT_SCHEDULED
from ..planting import plant
from ..snapshots import link_mask, parse_ini, read_bytes
from ..steps import (plant_held_worm, restart_with_r, run_again_after_restart,
                     run_clean_check, tool_to_restart_prompt)
from ..terminal import KEY_ENTER
from ..wine import DENY_EXE, host_path, wine
from ..worm import (ALL_LINKS, OLD_TMP_PATH, SESSION_MANAGER, WININIT_PATH, WORM_FILE_BYTES,
                    WORM_PATH)


# Wine's names of the Windows 9x family; every other version is of the NT family.
NINE_X = ("win95", "win98", "winme")


def file_in_use(sc, version, winecfg=False):
    """version: Wine's name of the Windows imitated, None for the machine's own (NT)."""
    nine_x = version in NINE_X
    wininit = None
    if nine_x:
        # Another setup program's pending work, with its own comment: it must survive.
        wininit = "; left by another setup program\n[rename]\nNUL=%s\n" % OLD_TMP_PATH
    _, holder = plant_held_worm(sc, version, wininit, winecfg)
    prog = tool_to_restart_prompt(sc)
    for key in (b"y", b"1", KEY_ENTER):
        prog.send(key)
        shown = prog.quiet(1.2)
        sc.check(shown == "" and prog.alive(),
                 "key %r at the restart prompt was not ignored (shown %r)" % (key, shown))
    pending = sc.snapshot("before-restart")
    sc.check(pending["worm file"] == WORM_FILE_BYTES, "worm file still there before the restart")
    sc.equal(link_mask(pending), 0, "links repaired before the restart")
    worm_lower = WORM_PATH.lower()
    if not nine_x:
        ops = (pending["PendingFileRenameOperations"] or "").lower()
        sc.check(worm_lower in ops, "PendingFileRenameOperations names the worm file: %r" % ops)
        sc.equal(pending["WININIT.INI"], None, "no WININIT.INI in NT mode")
    else:
        sc.equal(pending["PendingFileRenameOperations"], None,
                 "no PendingFileRenameOperations in 9x mode")
        entries = parse_ini(pending["WININIT.INI"]) or []
        renames = [(k, (v or "").lower()) for s, k, v in entries if s == "rename"]
        sc.check(("nul", worm_lower) in renames,
                 "WININIT.INI [rename] deletes the worm file: %r" % renames)
        sc.check(("nul", OLD_TMP_PATH.lower()) in renames,
                 "WININIT.INI keeps the other program's entry: %r" % renames)
        sc.equal(pending["WININIT.NEW"], None, "no WININIT.NEW left over")
    after = restart_with_r(sc, prog, [holder])
    if nine_x:
        sc.equal(read_bytes(OLD_TMP_PATH), None, "the other program's WININIT.INI entry done")
        sc.equal(after["WININIT.INI"], None, "WININIT.INI carried out")


def scenario_file_in_use_nt(sc):
    file_in_use(sc, None)


def scenario_file_in_use_9x(sc):
    file_in_use(sc, "win98")


def scenario_rename_in_text_9x(sc):
    """A line that mentions [rename] is text: the entry goes under the real header."""
    wininit = "[setup]\nnote=entries go to [rename] below\n[rename]\nNUL=%s\n" % OLD_TMP_PATH
    _, holder = plant_held_worm(sc, "win98", wininit)
    prog = tool_to_restart_prompt(sc)
    pending = sc.snapshot("before-restart")
    original = wininit.replace("\n", "\r\n").encode("latin-1")
    entry = ("NUL=%s\r\n" % WORM_PATH).encode("latin-1")
    want = original.replace(b"[rename]\r\n", b"[rename]\r\n" + entry)
    sc.equal((pending["WININIT.INI"] or b"").lower(), want.lower(),
             "WININIT.INI: the entry first under the [rename] header, every other byte kept")
    restart_with_r(sc, prog, [holder])
    sc.equal(read_bytes(OLD_TMP_PATH), None, "the other program's WININIT.INI entry done")


def unscheduled(sc, version):
    """The deletion at boot cannot be arranged: the user is told before the restart
    prompt, the restart still comes, and a second run finishes the job."""
    # Another program's entry, carried out by the restart: it shows the restart happened.
    wininit = "[rename]\nNUL=%s\n" % OLD_TMP_PATH
    before, worm_holder = plant_held_worm(sc, version, wininit)
    holders = [worm_holder]
    if version:
        # Another program holds WININIT.INI: no entry can be written.
        holders.append(Holder(sc.exe_dir, WININIT_PATH, sc.run_dir))
    else:
        # The Session Manager key refuses changes: no pending move can be noted. The
        # denial lasts as long as this scenario's wineserver.
        rc, out, err = wine([str(sc.exe_dir / DENY_EXE), SESSION_MANAGER.split("\\", 1)[1]])
        sc.check(out.startswith("DENIED"), "Session Manager key denied: %r" % (out + err))
    prog = tool_to_restart_prompt(sc, told=[NOT_SCHEDULED])
    pending = sc.snapshot("before-restart")
    sc.equal(pending["PendingFileRenameOperations"], None, "no pending move noted")
    sc.equal(pending["WININIT.INI"], before["WININIT.INI"], "WININIT.INI as it was")
    sc.equal(pending["WININIT.NEW"], None, "no WININIT.NEW left")
    sc.equal(pending["WININIT.OLD"], None, "no WININIT.OLD left")
    after = restart_with_r(sc, prog, holders, told=[NOT_SCHEDULED], worm_gone=False)
    sc.equal(after["worm file"], WORM_FILE_BYTES, "worm file still there after the restart")
    run_again_after_restart(sc)


def scenario_unscheduled_9x(sc):
    unscheduled(sc, "win98")


def scenario_unscheduled_nt(sc):
    unscheduled(sc, None)


def scenario_other_wininit_new_9x(sc):
    """Another program's WININIT.NEW is there: it stays as it was, WININIT.INI too, and the
    tool says that the deletion at boot could not be arranged."""
    wininit = "[rename]\nNUL=%s\n" % OLD_TMP_PATH
    before, holder = plant_held_worm(sc, "win98", wininit)
    others = b"[rename]\r\nNUL=C:\\windows\\other-setup.tmp\r\n"
    host_path(r"C:\windows\WININIT.NEW").write_bytes(others)
    prog = tool_to_restart_prompt(sc, told=[NOT_SCHEDULED])
    pending = sc.snapshot("before-restart")
    sc.equal(pending["WININIT.NEW"], others, "the other program's WININIT.NEW as it was")
    sc.equal(pending["WININIT.INI"], before["WININIT.INI"], "WININIT.INI as it was")
    sc.equal(pending["WININIT.OLD"], None, "no WININIT.OLD left")
    restart_with_r(sc, prog, [holder], told=[NOT_SCHEDULED], worm_gone=False)


def scenario_cut_between_renames_9x(sc):
    """A run before was cut off between its two renames: WININIT.INI set aside as
    WININIT.OLD beside the complete copy WININIT.NEW. The next run first puts the user's
    file back, then adds its entry."""
    wininit = "; another setup program's\n[rename]\nNUL=%s\n" % OLD_TMP_PATH
    _, holder = plant_held_worm(sc, "win98", wininit)
    ini = host_path(WININIT_PATH)
    users = ini.read_bytes()
    ini.rename(host_path(r"C:\windows\WININIT.OLD"))
    host_path(r"C:\windows\WININIT.NEW").write_bytes(users.replace(
        b"[rename]\r\n", b"[rename]\r\nNUL=%s\r\n" % WORM_PATH.encode("latin-1")))
    prog = tool_to_restart_prompt(sc)
    pending = sc.snapshot("before-restart")
    entry = ("NUL=%s\r\n" % WORM_PATH).encode("latin-1")
    sc.equal((pending["WININIT.INI"] or b"").lower(),
             users.replace(b"[rename]\r\n", b"[rename]\r\n" + entry).lower(),
             "the user's WININIT.INI back, with the entry")
    sc.equal(pending["WININIT.NEW"], None, "no WININIT.NEW left")
    sc.equal(pending["WININIT.OLD"], None, "no WININIT.OLD left")
    restart_with_r(sc, prog, [holder])
    sc.equal(read_bytes(OLD_TMP_PATH), None, "the other program's WININIT.INI entry done")


WININIT_NEW = r"C:\windows\WININIT.NEW"
WININIT_OLD = r"C:\windows\WININIT.OLD"


def wininit_files():
    return {name: read_bytes(path) for name, path in (
        ("WININIT.INI", WININIT_PATH), ("WININIT.NEW", WININIT_NEW), ("WININIT.OLD", WININIT_OLD))}


def scenario_others_wininit_pair_9x(sc):
    """Another program's WININIT.NEW (its own copy of WININIT.OLD with its own entry) beside
    an old WININIT.OLD, and no WININIT.INI: nothing proves them the tool's, so a clean run
    and a run answered N leave them byte for byte."""
    start_server()
    plant(sc.run_dir, version="win98")
    old = b"; an earlier setup's, carried out long ago\r\n[rename]\r\nNUL=C:\\windows\\done.tmp\r\n"
    new = old.replace(b"[rename]\r\n", b"[rename]\r\nNUL=C:\\windows\\other-setup.tmp\r\n")
    host_path(WININIT_OLD).write_bytes(old)
    host_path(WININIT_NEW).write_bytes(new)
    planted = {"WININIT.INI": None, "WININIT.NEW": new, "WININIT.OLD": old}
    sc.equal(wininit_files(), planted, "the other program's pair planted")
    run_clean_check(sc, "clean-run")
    sc.equal(wininit_files(), planted, "after a clean run, the pair as it was")
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    prog = sc.program("tool-n")
    prog.expect(FOUND)
    prog.expect(CONTINUE)
    prog.send("n")
    sc.equal(prog.wait(30), 1, "exit code after N")
    sc.equal(wininit_files(), planted, "after N, the pair as it was")


def scenario_cut_before_first_rename_9x(sc):
    """A run before was cut off while it wrote WININIT.NEW: a front part of its copy beside
    the user's WININIT.INI. The content proves it the tool's own: it goes, and the entry is
    arranged."""
    wininit = "; another setup program's\n[rename]\nNUL=%s\n" % OLD_TMP_PATH
    _, holder = plant_held_worm(sc, "win98", wininit)
    users = host_path(WININIT_PATH).read_bytes()
    entry = ("NUL=%s\r\n" % WORM_PATH).encode("latin-1")
    copy = users.replace(b"[rename]\r\n", b"[rename]\r\n" + entry)
    host_path(WININIT_NEW).write_bytes(copy[:len(copy) - 7])
    prog = tool_to_restart_prompt(sc)
    pending = sc.snapshot("before-restart")
    sc.equal((pending["WININIT.INI"] or b"").lower(), copy.lower(), "the user's WININIT.INI with the entry")
    sc.equal(pending["WININIT.NEW"], None, "the cut copy gone")
    sc.equal(pending["WININIT.OLD"], None, "no WININIT.OLD")
    restart_with_r(sc, prog, [holder])
    sc.equal(read_bytes(OLD_TMP_PATH), None, "the other program's WININIT.INI entry done")
