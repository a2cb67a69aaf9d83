"""Scenarios of the log's open on the NT family: a run with an administrator's rights appends
its record only to a plain file of its own. A link to another file, a folder or a device at
the log's path gets no byte, costs one line on standard error, and the run cleans and ends as
without the log; a plain log on a mapped drive or a UNC name is still written, its record on
a line of its own."""

import os

from ..machine import start_server
from ..messages import EXITING, NOT_FOUND
from ..planting import plant
from ..snapshots import read_bytes
from ..wine import MACHINE, host_path
from .switches import (SILENT_REMOVED, check_record, found_lines, log_records, plant_all,
                       removed_by, tool_run)

TEMP = r"C:\windows\temp"
LOG = TEMP + r"\moss.log"
OTHER = TEMP + r"\other.ini"
# Another program's file, which a link at the log's path leads to.
OTHER_BYTES = b"[boot]\r\nshell=Explorer.exe\r\n; no line end here"


def refused(sc, prog, log_arg, what):
    """The one line, naming the log as given, and nothing else on standard error."""
    sc.equal(prog.lines("stderr"), ["Cannot write the log: " + log_arg], what + ": standard error")


def silent_beside(sc, log_arg, what):
    """/silent on the full infection with the log at log_arg: the run without a log's words,
    exit code and cleaning, and the one line."""
    before = plant_all(sc)
    prog, rc = tool_run(sc, what, ["/silent", "/log=" + log_arg])
    sc.equal(rc, 0, what + ": exit code")
    sc.transcript(prog, SILENT_REMOVED, what, source="stdout")
    refused(sc, prog, log_arg, what)
    removed_by(sc, before, what + "-after")


def link_at_log(sc, make_link, what):
    other = host_path(OTHER)
    other.write_bytes(OTHER_BYTES)
    log = host_path(TEMP) / "moss.log"
    if log.exists() or log.is_symlink():
        log.unlink()
    make_link(other, log)
    try:
        silent_beside(sc, LOG, what)
        sc.equal(read_bytes(OTHER), OTHER_BYTES, what + ": the other file keeps every byte")
    finally:
        log.unlink()
        other.unlink()


def scenario_log_hard_link(sc):
    """The log's path a hard link to another file (Wine reports its two links)."""
    link_at_log(sc, lambda other, log: os.link(other, log), "hard-link")


def scenario_log_symbolic_link(sc):
    """The log's path a host symbolic link to another file: Wine shows it as a plain file of one
    link; only its final path names the other file."""
    link_at_log(sc, lambda other, log: log.symlink_to(other.name), "symbolic-link")


def scenario_log_folder_or_device(sc):
    """The log a folder (C:\\windows\\temp itself) and a device (NUL, COM1): the cleaning and the
    look as without a log."""
    silent_beside(sc, TEMP, "folder")
    sc.check(host_path(TEMP).is_dir(), "the folder still a folder")
    for device in ("NUL", TEMP + r"\COM1.log"):
        prog, rc = tool_run(sc, "scan-" + device[-4:], ["/scan", "/log=" + device])
        sc.equal(rc, 0, device + ": /scan of the cleaned machine, exit code")
        found_lines(sc, prog, [], [NOT_FOUND, EXITING], device)
        refused(sc, prog, device, device)
    sc.equal(host_path(TEMP + r"\COM1.log", must_exist=True), None, "no file made for COM1")


def scenario_log_share(sc):
    """A plain log through a mapped drive letter and through a UNC name (Wine maps both with
    dosdevices links): written, a later record appended, and a record after a log cut off
    mid-line on a line of its own."""
    share = sc.run_dir / "share"
    share.mkdir()
    dosdevices = MACHINE.prefix / "dosdevices"
    drive = dosdevices / "m:"
    unc = dosdevices / "unc" / "labserver"
    unc.mkdir(parents=True, exist_ok=True)
    made = [drive, unc / "logs"]
    for link in made:
        if link.is_symlink():
            link.unlink()
        link.symlink_to(share)
    try:
        start_server()
        plant(sc.run_dir, links=0, worm=None)
        (share / "cut.log").write_bytes(b"run: Tavrel_Moss remover 0.09\r\ndate: 2026-")
        for i, log_arg in enumerate((r"M:\moss.log", r"\\labserver\logs\moss.log", r"M:\cut.log")):
            for turn in (1, 2):
                what = "%s run %d" % (log_arg, turn)
                prog, rc = tool_run(sc, "share-%d-%d" % (i, turn), ["/scan", "/log=" + log_arg])
                sc.equal(rc, 0, what + ": exit code")
                sc.equal(prog.lines("stderr"), [], what + ": standard error")
        host_log = share / "moss.log"
        records = log_records(host_log)
        sc.equal(len(records), 4, "records through M: and the UNC name in one file")
        for i, record in enumerate(records):
            arg = r"M:\moss.log" if i < 2 else r"\\labserver\logs\moss.log"
            check_record(sc, record, "record %d" % i, ["/scan", "/log=" + arg], [],
                         {"answer": None, "link": None, "exit": "0"})
        cut = (share / "cut.log").read_bytes()
        sc.check(cut.startswith(b"run: Tavrel_Moss remover 0.09\r\ndate: 2026-\r\nrun: "),
                 "the record after a cut one on a line of its own: %r" % cut[:80])
        sc.equal(cut.split(b"\r\n").count(b"run: Tavrel_Moss remover 0.09"), 3,
                 "lines that start a record: the cut one's and two whole ones'")
    finally:
        for link in made:
            if link.is_symlink():
                link.unlink()
