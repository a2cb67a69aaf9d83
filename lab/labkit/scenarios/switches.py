"""Scenarios of the command-line switches: an unattended run (/silent, with /restart), a look
that changes nothing (/scan), the run's record (/log), and refused command lines."""

import re
from pathlib import Path

from ..helpers import Holder
from ..machine import start_server
from ..messages import (BANNER, CONTINUE, EXITING, FOUND, LINKS_REMOVED, MUST_RESTART,
                        NOT_FOUND, REBOOT_1, REBOOT_2, REMOVING, USAGE, WORM_REMOVED)
from ..planting import plant
from ..snapshots import link_mask, read_bytes
from ..steps import expect_idle, expect_planted, expect_repaired, plant_held_worm
from ..wine import (host_path, process_running, wait_until, wine, wine_env,
                    winpath)
from ..worm import (ALL_LINKS, L_CLASSES_EXE, L_DL, L_MACHINE_EXE, L_RUN, L_RUNSERVICES,
                    L_SYSTEMINI, L_WININI, RUN, WORM_FILE_BYTES, WORM_PATH, WORM_RUN,
                    WORM_RUNSERVICES)
from .wow64 import machine_up, plant_64bit_view

# What an unattended run on a full infection shows: the interactive run's lines, no wait.
SILENT_REMOVED = [BANNER, FOUND, CONTINUE, REMOVING, LINKS_REMOVED, WORM_REMOVED]
SILENT_NOT_FOUND = [BANNER, NOT_FOUND, EXITING]
# The file in use: the interactive run's lines without the R prompt (with /restart the same
# reboot message comes after the restart was asked for).
SILENT_RESTART = SILENT_REMOVED[:5] + [MUST_RESTART, REBOOT_1, REBOOT_2]

# What /scan names for each planted link (letter case aside: paths are Windows' own).
RUN_KEY_TEXT = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion"
SCAN_LINES = {
    L_MACHINE_EXE: r"HKEY_LOCAL_MACHINE\Software\CLASSES\exefile\shell\open\command (default)",
    L_RUNSERVICES: r'%s\RunServices value "%s"' % (RUN_KEY_TEXT, WORM_RUNSERVICES[0]),
    L_RUN: r'%s\Run value "%s"' % (RUN_KEY_TEXT, WORM_RUN[0]),
    L_DL: r"HKEY_CLASSES_ROOT\.dl",
    L_CLASSES_EXE: r"HKEY_CLASSES_ROOT\exefile\shell\open\command (default)",
    L_WININI: r"C:\WINDOWS\WIN.INI [windows] run=",
    L_SYSTEMINI: r"C:\WINDOWS\SYSTEM.INI [boot] shell=",
}
SCAN_WORM_FILE = "worm file " + WORM_PATH
ALL_FOUND = {t.lower() for t in list(SCAN_LINES.values()) + [SCAN_WORM_FILE]}

# The record's link names, each of which a run that removes the worm must name.
LOG_LINKS = ("exefile command", "RunServices", "Run", ".dl", "classes exefile command",
             "WIN.INI run", "SYSTEM.INI shell")

# Everything the tool reads, exported by regedit to be compared byte for byte.
EXPORTED_KEYS = (
    r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run",
    r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\RunServices",
    r"HKEY_LOCAL_MACHINE\Software\Classes\exefile",
    r"HKEY_LOCAL_MACHINE\Software\Classes\.dl",
    r"HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\Windows",
    r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager",
)
INI_FILES = (r"C:\windows\win.ini", r"C:\windows\system.ini")


def tool_run(sc, label, switches, mode="no-terminal", timeout=90, env=None):
    """The tool with switches, to its end; no key is ever sent. Returns it and its exit code."""
    prog = sc.program(label, mode=mode, switches=switches, env=env)
    return prog, prog.wait(timeout)


def machine_bytes(sc, label):
    """The registry keys the tool reads, as regedit exports them, and the ini files' bytes."""
    got = {}
    for i, key in enumerate(EXPORTED_KEYS):
        out = sc.run_dir / ("export-%s-%d.reg" % (label, i))
        rc, _, _ = wine(["regedit", "/E", winpath(out), key], timeout=120, check=False)
        got[key] = out.read_bytes() if rc == 0 and out.exists() else None
    for path in INI_FILES:
        got[path] = read_bytes(path)
    return got


def found_lines(sc, prog, want_found, summary, what):
    """The /scan transcript: the banner, one Found line per finding (any order), the summary."""
    lines = prog.lines("stdout")
    sc.check(bool(lines) and lines[0].startswith(BANNER), "%s: banner first: %r" % (what, lines))
    found = [line[len("Found: "):].lower() for line in lines if line.startswith("Found: ")]
    sc.equal(sorted(found), sorted(want_found), what + ": the Found lines")
    sc.equal(lines[1 + len(found):], summary, what + ": the lines after the findings")


def one_error_line(sc, prog, what):
    lines = prog.lines("stderr")
    sc.check(len(lines) == 1, "%s: exactly one line on standard error: %r" % (what, lines))


def log_records(path):
    """The records of a log file: each a list of (key, value) in file order."""
    records, current = [], []
    for line in path.read_bytes().decode("latin-1").replace("\r\n", "\n").split("\n"):
        if line:
            key, _, value = line.partition(": ")
            current.append((key, value))
        elif current:
            records.append(current)
            current = []
    if current:
        records.append(current)
    return records


def expect_cleaning_record(sc, log, switches, worm_file, exit_code, restart, found=ALL_FOUND,
                           **where):
    """The log holds one record, of a run answered yes that found every link and the file."""
    records = log_records(log)
    sc.equal(len(records), 1, "records in the log")
    if records:
        check_record(sc, records[0], "record", switches, found,
                     {"answer": "yes", "link": True, "worm file": worm_file, "restart": restart,
                      "exit": exit_code}, **where)


def check_record(sc, record, what, switches, found, want, family="NT", wow64="no"):
    """One run's record: who ran where, the findings, and `want`: the values of the later
    keys (answer, worm file, restart, exit; None: the key must be absent), and link: a
    value every link must have (removed or repaired: any but left), a dict of each link's
    value, or None for no link lines.
    The record ends with the exit code, also when Windows is restarted and the tool never ends."""
    keys = [k for k, _ in record]
    values = dict(record)
    sc.equal(keys[:6], ["run", "date", "computer", "windows", "wow64", "switches"],
             what + ": the record's first keys")
    sc.equal(values.get("run"), "Tavrel_Moss remover 0.09", what + ": run")
    sc.check(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", values.get("date", "")) is not None,
             "%s: date %r" % (what, values.get("date")))
    sc.check(values.get("computer", "") != "", what + ": computer named")
    sc.check(re.fullmatch(r"\d+\.\d+\.\d+ " + family, values.get("windows", "")) is not None,
             "%s: windows %r, want major.minor.build %s" % (what, values.get("windows"), family))
    sc.equal(values.get("wow64"), wow64, what + ": wow64")
    sc.equal(values.get("switches"), " ".join(switches), what + ": switches as given")
    sc.equal(sorted(v.lower() for k, v in record if k == "found"), sorted(found),
             what + ": the found lines")
    links = {v.rsplit(" ", 1)[0]: v.rsplit(" ", 1)[-1] for k, v in record if k == "link"}
    if isinstance(want.get("link"), dict):
        sc.equal(links, want["link"], what + ": the link lines")
    elif want.get("link"):
        sc.equal(sorted(links), sorted(LOG_LINKS), what + ": a line for every link")
        sc.check(all(v in ("removed", "repaired") for v in links.values()),
                 "%s: every link removed or repaired: %r" % (what, links))
    else:
        sc.equal(links, {}, what + ": no link lines")
    for key in ("answer", "worm file", "restart", "exit"):
        if key in want:
            sc.equal(values.get(key), want[key], "%s: %s" % (what, key))
    sc.equal(keys[-1], "exit", what + ": the record's last key")


def plant_all(sc):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    return before


def removed_by(sc, before, label):
    after = sc.snapshot(label)
    sc.equal(after["worm file"], None, label + ": worm file deleted")
    expect_repaired(sc, before, after, ALL_LINKS)
    return after


def scenario_silent_scan_log(sc):
    """/scan on the infected machine, /silent with /log and no terminal at all, /scan again
    on the cleaned machine with the same log, and /silent on a console with no key sent."""
    before = plant_all(sc)
    bytes_before = machine_bytes(sc, "before")
    log = sc.run_dir / "fleet.log"
    log_arg = "/log=" + winpath(log)

    prog, rc = tool_run(sc, "scan-infected", ["/scan"])
    sc.equal(rc, 4, "/scan exit code on an infected machine")
    found_lines(sc, prog, ALL_FOUND, [FOUND], "/scan on the infected machine")
    sc.equal(prog.lines("stderr"), [], "/scan: standard error")
    sc.unchanged(before, sc.snapshot("after-scan"), "after /scan")
    after_bytes = machine_bytes(sc, "after-scan")
    for key in bytes_before:
        sc.check(after_bytes[key] == bytes_before[key], "after /scan: %s not as before" % key)

    prog, rc = tool_run(sc, "silent", ["/silent", log_arg])
    sc.equal(rc, 0, "/silent exit code on the infected machine without a terminal")
    sc.transcript(prog, SILENT_REMOVED, "/silent", source="stdout")
    sc.equal(prog.lines("stderr"), [], "/silent: standard error")
    removed_by(sc, before, "after-silent")
    records = log_records(log)
    sc.equal(len(records), 1, "records after the first run")
    first = log.read_bytes()
    if records:
        check_record(sc, records[0], "first record", ["/silent", log_arg], ALL_FOUND,
                     {"answer": "yes", "link": True, "worm file": "deleted",
                      "restart": "not requested", "exit": "0"})

    # The other spelling of /log, and a run that finds nothing: a record appended.
    prog, rc = tool_run(sc, "scan-clean", ["/scan", "/log", winpath(log)])
    sc.equal(rc, 0, "/scan exit code on the cleaned machine")
    found_lines(sc, prog, [], [NOT_FOUND, EXITING], "/scan on the cleaned machine")
    records = log_records(log)
    sc.equal(len(records), 2, "records after the second run")
    sc.check(log.read_bytes().startswith(first), "the first record intact at the log's start")
    if len(records) == 2:
        check_record(sc, records[1], "second record", ["/scan", "/log", winpath(log)], [],
                     {"answer": None, "link": None, "exit": "0"})

    # On a console, where a key read would wait for ever: the run ends by itself.
    prog, rc = tool_run(sc, "silent-console", ["/silent"], mode="console", timeout=60)
    sc.equal(rc, 0, "/silent on a console: exit code with no key sent")
    sc.transcript(prog, SILENT_NOT_FOUND, "/silent on a console")


# Command lines the tool refuses before it looks at anything.
REFUSED = (
    ("unknown switch", ["/quiet"]),
    ("/scan with /silent", ["-SCAN", "/silent"]),
    ("/restart without /silent", ["/restart"]),
    ("/log without a path", ["/silent", "/log"]),
    ("/log twice", ["/scan", "/log=C:\\a.log", "/log=C:\\b.log"]),
)


def scenario_switch_errors(sc):
    """Refused command lines and /? on an infected machine change nothing; a log that
    cannot be written costs one line on standard error and nothing else."""
    before = plant_all(sc)
    for i, (what, switches) in enumerate(REFUSED):
        prog, rc = tool_run(sc, "refused-%d" % i, switches)
        sc.equal(rc, 1, what + ": exit code")
        err = prog.lines("stderr")
        sc.check(bool(err) and err[0] == USAGE, "%s: usage on standard error: %r" % (what, err))
        out = prog.lines("stdout")
        sc.check(not any(line in (FOUND, CONTINUE, NOT_FOUND) or line.startswith("Found: ")
                         for line in out), "%s: looked at the machine: %r" % (what, out))
    prog, rc = tool_run(sc, "help", ["/?"])
    sc.equal(rc, 0, "/? exit code")
    out = prog.lines("stdout")
    sc.check(bool(out) and out[0] == USAGE, "/?: usage on standard output: %r" % out)
    sc.equal(host_path(r"C:\a.log").exists() or host_path(r"C:\b.log").exists(), False,
             "no log written by a refused command line")
    sc.unchanged(before, sc.snapshot("after-refused"), "after the refused command lines")

    # A log held open by another program: the look and its exit code as without /log.
    held = r"C:\windows\temp\held.log"
    host_path(held).write_bytes(b"another program's log\r\n")
    holder = Holder(sc.exe_dir, held, sc.run_dir)
    prog, rc = tool_run(sc, "scan-held-log", ["/scan", "/log=" + held])
    holder.release()
    sc.equal(rc, 4, "/scan with a log held open: exit code")
    one_error_line(sc, prog, "/scan with a log held open")
    found_lines(sc, prog, ALL_FOUND, [FOUND], "/scan with a log held open")
    sc.equal(read_bytes(held), b"another program's log\r\n", "the held log as it was")

    # A log in a directory that does not exist: the cleaning as without /log.
    missing = r"C:\nosuchdir\tool.log"
    prog, rc = tool_run(sc, "silent-missing-dir", ["/silent", "/log=" + missing])
    sc.equal(rc, 0, "/silent with a log that cannot be made: exit code")
    one_error_line(sc, prog, "/silent with a log that cannot be made")
    sc.transcript(prog, SILENT_REMOVED, "/silent with a log that cannot be made", source="stdout")
    sc.equal(host_path(r"C:\nosuchdir").exists(), False, "no directory made for the log")
    removed_by(sc, before, "after-silent")


def held_in_use(sc, until_pending):
    before, holder = plant_held_worm(sc, None, until_pending=until_pending)
    return before, holder, sc.run_dir / "tool.log"


def ends_without_restart(sc, label, switches, restart, env=None):
    """The worm file held in use, the tool with switches and a log: its deletion at boot
    arranged, exit 3, no restart; the record's restart line says `restart`."""
    before, holder, log = held_in_use(sc, False)
    switches = switches + ["/log=" + winpath(log)]
    prog, rc = tool_run(sc, label, switches, env=env)
    sc.equal(rc, 3, label + ": exit code with the file in use")
    sc.transcript(prog, SILENT_RESTART, label, source="stdout")
    sc.equal(prog.lines("stderr"), [], label + ": standard error")
    # A restart would carry the deletion out and end the tool's idle wait: neither happens.
    sc.check(wait_until(lambda: process_running("wineboot") is not None, 5) is False,
             "no restart started")
    pending = sc.snapshot("after-" + label)
    sc.equal(pending["worm file"], WORM_FILE_BYTES, "worm file still there: no restart")
    ops = (pending["PendingFileRenameOperations"] or "").lower()
    sc.check(WORM_PATH.lower() in ops, "PendingFileRenameOperations names the worm file: %r" % ops)
    sc.equal(link_mask(pending), 0, "links repaired")
    holder.release()
    expect_cleaning_record(sc, log, switches, "set for deletion at boot", "3", restart)


def scenario_silent_in_use(sc):
    """/silent, the worm file held in use: its deletion at boot arranged, exit 3, no restart."""
    ends_without_restart(sc, "silent", ["/silent"], "not requested")


def scenario_silent_restart(sc):
    """/silent /restart, the worm file held in use until its deletion at boot is arranged:
    Windows restarts at once and the file goes; the tool then idles."""
    before, holder, log = held_in_use(sc, True)
    switches = ["/silent", "/restart", "/log=" + winpath(log)]
    prog = sc.program("silent-restart", mode="no-terminal", switches=switches)
    prog.expect(REBOOT_2, source="stdout", timeout=90)
    holder.released(60)
    gone = wait_until(lambda: read_bytes(WORM_PATH) is None, 60)
    sc.check(gone, "worm file gone after the restart the tool started")
    expect_idle(sc, prog.pump)
    sc.transcript(prog, SILENT_RESTART, "/silent /restart", source="stdout")
    prog.kill()
    after = sc.snapshot("after-restart")
    sc.check(not after["PendingFileRenameOperations"],
             "PendingFileRenameOperations done: %r" % after["PendingFileRenameOperations"])
    expect_repaired(sc, before, after, ALL_LINKS)
    expect_cleaning_record(sc, log, switches, "set for deletion at boot", "3", "requested")


def scenario_silent_restart_refused(sc):
    """/silent /restart, the worm file held in use, on a Windows that refuses the restart:
    the run ends with 3 and its record says refused. Wine's ExitWindowsEx starts wineboot.exe
    and fails when it cannot; the tool's process is given wineboot disabled, which its
    children inherit."""
    refusing = {"WINEDLLOVERRIDES": wine_env()["WINEDLLOVERRIDES"] + ";wineboot.exe=d"}
    ends_without_restart(sc, "silent-restart-refused", ["/silent", "/restart"], "refused",
                         env=refusing)


def scenario_log_before_switch(sc):
    """-log followed by one of the switches (a script's empty %LOG%), and /log /scan: usage
    errors before anything is looked at; no log file made of the switch's name."""
    before = plant_all(sc)
    # Run in the scenario's directory, where a relative PATH would be made; "/scan" as a
    # path would be the root of the drive the directory is on.
    cases = ((["-silent", "-log", "-restart"], sc.run_dir / "-restart"),
             (["/log", "/scan"], Path(sc.run_dir.anchor) / "scan"))
    for i, (switches, made) in enumerate(cases):
        what = " ".join(switches)
        # A record left there by a faulty exe of a run before would fail every run after it.
        if made.is_file() and made.read_bytes().startswith(b"run: Tavrel_Moss remover"):
            made.unlink()
        prog = sc.program("log-switch-%d" % i, mode="no-terminal", switches=switches,
                          cwd=sc.run_dir)
        sc.equal(prog.wait(60), 1, what + ": exit code")
        err = prog.lines("stderr")
        sc.check(bool(err) and err[0] == USAGE, "%s: usage on standard error: %r" % (what, err))
        sc.equal(prog.lines("stdout"), [], what + ": standard output")
        sc.equal(made.exists(), False, "%s: %s made" % (what, made))
    sc.unchanged(before, sc.snapshot("after"), "after -log followed by a switch")


def scenario_silent_9x(sc):
    """/silent in 9x mode, on a console: no key sent, none awaited."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file", version="win98")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    log = sc.run_dir / "tool.log"
    switches = ["/SILENT", "-log=" + winpath(log)]
    prog, rc = tool_run(sc, "silent", switches, mode="console")
    sc.equal(rc, 0, "/silent exit code in 9x mode")
    sc.transcript(prog, SILENT_REMOVED, "/silent in 9x mode")
    removed_by(sc, before, "after")
    expect_cleaning_record(sc, log, switches, "deleted", "0", "not requested", family="9x")


def scenario_wow64_silent(sc):
    """/silent under WoW64 without a terminal; the 64-bit view's harmless values stay."""
    machine_up(sc)
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    plant_64bit_view(RUN, ("Other64", r"C:\other\tray64.exe"))
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    log = sc.run_dir / "tool.log"
    switches = ["/silent", "/log=" + winpath(log)]
    prog, rc = tool_run(sc, "silent", switches)
    sc.equal(rc, 0, "/silent exit code under WoW64")
    sc.transcript(prog, SILENT_REMOVED, "/silent under WoW64", source="stdout")
    removed_by(sc, before, "after")
    # The worm file is named where 64-bit Windows keeps it, not where the 32-bit tool sees it.
    found = ALL_FOUND - {SCAN_WORM_FILE.lower()} | {r"worm file c:\windows\syswow64\files32.vxd"}
    expect_cleaning_record(sc, log, switches, "deleted", "0", "not requested", found,
                           wow64="yes")
