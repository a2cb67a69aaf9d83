"""Scenarios of a run to its end: nothing found, N, the links and the file removed."""

from ..helpers import reg_link, reg_names
from ..machine import start_server
from ..messages import BANNER, CONTINUE, FOUND, PARTS_FOUND, WORM_PARTLY, WORM_REMOVED
from ..planting import file_attributes, plant, reg_string
from ..snapshots import link_mask, reg_query
from ..steps import (answer_yes_and_finish, expect_planted, expect_repaired, run_clean_check,
                     set_version)
from ..terminal import KEY_DOWN, KEY_ENTER, KEY_ESCAPE, KEY_UP
from ..wine import host_path, wine, winpath
from ..worm import (ALL_LINKS, DECOY_RUN, L_CLASSES_EXE, L_DL, L_MACHINE_EXE, L_RUN, L_RUNSERVICES,
                    L_SYSTEMINI, L_WININI, WININI_WINDOWS, WORM_EXE_COMMAND, WORM_PATH, WORM_RUN,
                    WORM_RUNSERVICES, WORM_SHELL)


def scenario_clean_machine(sc):
    start_server()
    before = sc.snapshot("before")
    sc.equal(link_mask(before), 0, "clean machine has no links")
    run_clean_check(sc, "tool")
    sc.unchanged(before, sc.snapshot("after"), "clean machine")


def full_infection(sc, version, key, winecfg=False):
    """version: Wine's name of the Windows imitated; winecfg: set as winecfg sets it."""
    start_server()
    if winecfg:
        set_version(sc, version)
    plant(sc.run_dir, links=ALL_LINKS, worm="file", version=None if winecfg else version)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED, key=key)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    expect_repaired(sc, before, after, ALL_LINKS)
    run_clean_check(sc, "second-run")
    sc.unchanged(after, sc.snapshot("after-second-run"), "second run")


def scenario_full_infection_nt(sc):
    full_infection(sc, None, "y")


def scenario_full_infection_9x(sc):
    full_infection(sc, "win98", "Y")


def scenario_answer_no(sc):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    junk = [("digit", b"7"), ("Enter", KEY_ENTER), ("Escape", KEY_ESCAPE), ("Up", KEY_UP),
            ("Down", KEY_DOWN), ("letter", b"x")]
    for label, no_key in (("tool-n", "n"), ("tool-N", "N")):
        prog = sc.program(label)
        prog.expect(FOUND)
        prog.expect(CONTINUE)
        for name, key in (junk if label == "tool-n" else []):
            prog.send(key)
            shown = prog.quiet(1.2)
            sc.check(shown == "" and prog.alive(),
                     "%s: key %s was not ignored silently (shown %r, running %s)"
                     % (label, name, shown, prog.alive()))
        prog.send(no_key)
        sc.equal(prog.wait(30), 1, label + " exit code")
        sc.transcript(prog, [BANNER, FOUND, CONTINUE], label)
    sc.unchanged(before, sc.snapshot("after"), "after N")


def scenario_links_only(sc):
    start_server()
    plant(sc.run_dir, links=ALL_LINKS)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, None)
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_PARTLY)
    after = sc.snapshot("after")
    expect_repaired(sc, before, after, ALL_LINKS)


def file_only(sc, attrs):
    start_server()
    plant(sc.run_dir, worm="file", attrs=attrs)
    if attrs:
        got = file_attributes(WORM_PATH)
        sc.check(set("HRS") <= set(got), "attributes planted: got %r, want H, R and S" % got)
    before = sc.snapshot("before")
    expect_planted(sc, before, 0, "file")
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    sc.unchanged(before, after, "outside the file", skip={"worm file"})


def scenario_file_only(sc):
    file_only(sc, "")


def scenario_file_attributes(sc):
    file_only(sc, "+r +h +s")


# Another program's class that a link at .dl names: it must come through the run untouched.
OTHER_CLASS = r"HKEY_LOCAL_MACHINE\Software\Classes\LabOtherClass"
OTHER_CLASS_TARGET = r"\Registry\Machine\Software\Classes\LabOtherClass"
DL_UNDER_HKLM = r"Software\Classes\.dl"


def scenario_dl_class_link(sc):
    """.dl is a registry link to another program's class with its own subkeys (NT mode)."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS & ~L_DL, worm="file")
    reg_file = sc.run_dir / "other-class.reg"
    reg_file.write_bytes("\r\n".join([
        "REGEDIT4", "",
        "[%s]" % OTHER_CLASS, "@=%s" % reg_string("Other program's document"), "",
        "[%s\\DefaultIcon]" % OTHER_CLASS, "@=%s" % reg_string(r"C:\other\viewer.exe,1"), "",
        "[%s\\shell\\open\\command]" % OTHER_CLASS,
        "@=%s" % reg_string(r'C:\other\viewer.exe "%1"'), ""]).encode("latin-1"))
    wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    sc.equal(reg_link(sc, "create", DL_UNDER_HKLM, OTHER_CLASS_TARGET), "LINKED", "link made")
    other_before = reg_query(OTHER_CLASS, recurse=True)
    sc.check(other_before is not None and len(other_before["subkeys"]) >= 3,
             "the other class planted with its subkeys: %r" % (other_before,))
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(reg_link(sc, "show", DL_UNDER_HKLM), "ABSENT", r"the link HKCR\.dl itself")
    sc.equal(reg_query(OTHER_CLASS, recurse=True), other_before, "the class the link named")
    sc.equal(after["worm file"], None, "worm file deleted")
    expect_repaired(sc, before, after, ALL_LINKS)
    run_clean_check(sc, "second-run")


# Values longer than 512 bytes, before and around the worm's: each is looked at whole.
LONG_DATA_RUN = ("AAA Long Data", "C:\\Program Files\\Long\\app.exe /opt ".ljust(600, "x"))
LONG_NAME_RUN = ("AAA Long Name ".ljust(600, "N"), r"C:\Program Files\Named\app.exe")
LONG_RUNSERVICES = (WORM_RUNSERVICES[0], (WORM_RUNSERVICES[1] + " ").ljust(700, "x"))
LONG_EXE_COMMAND = (WORM_EXE_COMMAND + " ").ljust(600, "p")
LONG_WININI_RUN = ("C:\\APPS\\" + "a" * 552 + "TAVREL.EXE ").ljust(600, "b")


def scenario_long_values(sc):
    start_server()
    plant(sc.run_dir, links=L_RUN)
    lines = ["REGEDIT4", ""]
    for key, values in (
            (r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run",
             [LONG_DATA_RUN, LONG_NAME_RUN]),
            (r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\RunServices",
             [LONG_RUNSERVICES] + list(DECOY_RUN.items())),
            (r"HKEY_LOCAL_MACHINE\Software\Classes\exefile\shell\open\command",
             [(None, LONG_EXE_COMMAND)]),
            (WININI_WINDOWS.replace("HKCU", "HKEY_CURRENT_USER"), [("run", LONG_WININI_RUN), ("load", r"C:\keep\load.exe")])):
        lines.append("[%s]" % key)
        lines.extend("%s=%s" % ("@" if n is None else reg_string(n), reg_string(d))
                     for n, d in values)
        lines.append("")
    reg_file = sc.run_dir / "long-values.reg"
    reg_file.write_bytes("\r\n".join(lines).encode("latin-1") + b"\r\n")
    wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    before = sc.snapshot("before")
    sc.equal(len(LONG_DATA_RUN[1]), 600, "length of the long Run data")
    sc.equal(len(LONG_NAME_RUN[0]), 600, "length of the long Run name")
    sc.equal(len(LONG_RUNSERVICES[1]), 700, "length of the long RunServices data")
    sc.equal(len(LONG_EXE_COMMAND), 600, "length of the long command")
    sc.equal((len(LONG_WININI_RUN), LONG_WININI_RUN.upper().find("TAVREL")), (600, 560),
             "length of run= and where its marker is")
    sc.equal(before["WIN.INI run"], LONG_WININI_RUN, "run= planted whole")
    links = L_MACHINE_EXE | L_CLASSES_EXE | L_RUNSERVICES | L_RUN | L_WININI
    expect_planted(sc, before, links, None)
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_PARTLY)
    after = sc.snapshot("after")
    sc.equal(after["RunServices"], {n: v for n, v in before["RunServices"].items()
                                    if n != LONG_RUNSERVICES[0]}, "RunServices: the worm's gone")
    sc.equal(after["Run"], {n: v for n, v in before["Run"].items() if n != WORM_RUN[0]},
             "Run: the worm's gone, the long ones kept")
    expect_repaired(sc, before, after, links)
    run_clean_check(sc, "second-run")


def plant_ini_entries(sc, run, shell=None):
    """The worm's run= and shell= as plant() leaves them, then made run and shell."""
    reg_file = sc.run_dir / "ini-entries.reg"
    reg_file.write_bytes("\r\n".join([
        "REGEDIT4", "", "[%s]" % WININI_WINDOWS.replace("HKCU", "HKEY_CURRENT_USER"),
        '"run"=%s' % reg_string(run), ""]).encode("latin-1") + b"\r\n")
    wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    if shell is not None:
        ini = host_path(r"C:\windows\system.ini")
        ini.write_bytes(ini.read_bytes().replace(b"shell=" + WORM_SHELL.encode(),
                                                 b"shell=" + shell.encode()))


def repaired_with_file(sc, links, before):
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    expect_repaired(sc, before, after, links)
    run_clean_check(sc, "second-run")
    return after


# Entries far longer than 64 KiB: run= of 100,008 characters with the worm's name at
# character 80,000 between two other programs, shell= of 200,000 with the marker at its end.
LONG_RUN_WORM = "C:\\WINDOWS\\SYSTEM32\\" + "x" * 79967 + "TAVREL.EXE" + "y" * 19980
LONG_RUN = " ".join((r"C:\av\av.exe", LONG_RUN_WORM, r"C:\tools\tray.exe"))
LONG_SHELL = "Explorer.exe " + "C:\\SHELLS\\".ljust(199977, "s") + "TAVREL.EXE"


def scenario_long_ini_entries(sc):
    start_server()
    links = L_WININI | L_SYSTEMINI
    plant(sc.run_dir, links=links, worm="file")
    plant_ini_entries(sc, LONG_RUN, LONG_SHELL)
    sc.equal((len(LONG_RUN), LONG_RUN.find("TAVREL")), (100008, 80000),
             "length of run= and where the worm's name is")
    sc.equal((len(LONG_SHELL), LONG_SHELL.find("TAVREL")), (200000, 199990),
             "length of shell= and where its marker is")
    before = sc.snapshot("before")
    sc.equal(before["WIN.INI run"], LONG_RUN, "run= planted whole")
    expect_planted(sc, before, links, "file")
    after = repaired_with_file(sc, links, before)
    sc.equal(after["WIN.INI run"], r"C:\av\av.exe C:\tools\tray.exe", "run=: the two others kept")


# run= shared with other programs: only the worm's item goes.
SHARED_RUN = r"C:\av\av.exe C:\windows\tavrel.exe C:\tools\tray.exe"


def scenario_shared_run_line(sc):
    start_server()
    plant(sc.run_dir, links=L_WININI, worm="file")
    plant_ini_entries(sc, SHARED_RUN)
    before = sc.snapshot("before")
    sc.equal(before["WIN.INI run"], SHARED_RUN, "run= planted")
    expect_planted(sc, before, L_WININI, "file")
    after = repaired_with_file(sc, L_WININI, before)
    sc.equal(after["WIN.INI run"], r"C:\av\av.exe C:\tools\tray.exe", "run=: av.exe and tray.exe in order")


RUN_UNDER_HKLM = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
# The worm's values named beyond what the ANSI calls spell (a NUL inside, a CJK letter, e
# with macron), beside other programs' values that those calls give the same names.
EXACT_WORM_NAMES = ("Update%0000svc", "x%4E00", "Updat%0113")
EXACT_OTHER_VALUES = (("Update", r"C:\other\update.exe"), ("x?", r"C:\other\x.exe"))


def scenario_exact_value_names(sc):
    """Only the worm's Run values go, by their exact names; the namesakes stay (NT mode)."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    for name, text in [(n, WORM_RUN[1]) for n in EXACT_WORM_NAMES] + list(EXACT_OTHER_VALUES):
        sc.equal(reg_names(sc, "set", RUN_UNDER_HKLM, name, text), ["SET"], "value %s planted" % name)
    names_before = reg_names(sc, "list", RUN_UNDER_HKLM)
    sc.check(set(EXACT_WORM_NAMES) <= set(names_before), "planted names listed: %r" % names_before)
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    gone = set(EXACT_WORM_NAMES) | {WORM_RUN[0]}
    sc.equal(reg_names(sc, "list", RUN_UNDER_HKLM), [n for n in names_before if n not in gone],
             "Run: the worm's values gone by their exact names, the namesakes kept")
    run_clean_check(sc, "second-run")


def scenario_dl_fake_link(sc):
    """.dl an ordinary key with subkeys and a REG_LINK value SymbolicLinkValue: no link, it goes."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    link_bytes = OTHER_CLASS_TARGET.encode("utf-16-le")
    reg_file = sc.run_dir / "fake-link.reg"
    reg_file.write_bytes("\r\n".join([
        "REGEDIT4", "", r"[HKEY_CLASSES_ROOT\.dl]",
        '"SymbolicLinkValue"=hex(6):' + ",".join("%02x" % b for b in link_bytes), ""]).encode("latin-1"))
    wine(["regedit", "/S", winpath(reg_file)], timeout=120)
    sc.equal(reg_link(sc, "show", DL_UNDER_HKLM), "LINK " + OTHER_CLASS_TARGET, "the look-alike value planted")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    repaired_with_file(sc, ALL_LINKS, before)
    sc.equal(reg_link(sc, "show", DL_UNDER_HKLM), "ABSENT", r"HKCR\.dl with its subtree")


def scenario_exact_key_names(sc):
    """.dl with subkeys named beyond what the ANSI calls spell: the whole tree goes (NT mode)."""
    start_server()
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    for name in ("x%4E00", "Updat%0113", "a%0000b"):
        sc.equal(reg_names(sc, "key", DL_UNDER_HKLM, name), ["CREATED"], r"HKCR\.dl\%s planted" % name)
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    repaired_with_file(sc, ALL_LINKS, before)
    sc.equal(reg_link(sc, "show", DL_UNDER_HKLM), "ABSENT", r"HKCR\.dl with its subtree")
