"""Scenarios on the 64-bit machine: the worm planted as a 32-bit program plants it (the file
in syswow64, the Run values through the 32-bit view), and the tool, a 32-bit program, under
WoW64 on Windows 10."""

from ..machine import start_server
from ..messages import FOUND, PARTS_FOUND, WORM_PARTLY, WORM_REMOVED
from ..planting import plant
from ..snapshots import link_mask, read_bytes
from ..steps import (answer_yes_and_finish, expect_planted, expect_repaired, plant_held_worm,
                     restart_with_r, run_clean_check, set_version, tool_to_restart_prompt)
from ..wine import host_path, wine
from ..worm import ALL_LINKS, DECOY_RUN, RUN, RUNSERVICES, WORM_PATH

WOW64_VERSION = "win10"
# Where the worm file is on the disk, and so what the boot-time deletion must name.
WORM_ON_DISK = r"C:\windows\syswow64\FILES32.VXD"
# Another program's file of the same name in the 64-bit system32: not the worm's.
OTHER_64BIT_FILE = b"MZ a 64-bit program's own file"
# Marked values only 64-bit programs see, beside other programs' values.
WORM_RUN64 = ("Moss64", r"C:\Windows\System32\TAVREL64.EXE")
WORM_RUNSERVICES64 = ("Loader64", r"C:\Windows\System32\tavrel64.exe /service")


def machine_up(sc):
    start_server()
    set_version(sc, WOW64_VERSION)


def scenario_wow64_clean_machine(sc):
    machine_up(sc)
    before = sc.snapshot("before")
    sc.equal(link_mask(before), 0, "clean machine has no links")
    sc.equal(before["Run (64-bit)"], {}, "nothing in the 64-bit Run key")
    run_clean_check(sc, "tool")
    sc.unchanged(before, sc.snapshot("after"), "clean machine")


def scenario_wow64_full_infection(sc):
    machine_up(sc)
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")
    sc.check(host_path(WORM_PATH).parent.name.lower() == "syswow64", "worm file in syswow64")
    sc.equal(before["Run (64-bit)"], {}, "the worm's Run value only in the 32-bit view")
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    sc.equal(after["worm file"], None, "worm file deleted")
    expect_repaired(sc, before, after, ALL_LINKS)
    run_clean_check(sc, "second-run")


def scenario_wow64_in_use(sc):
    """The boot-time deletion must name the file where it is, and only that file."""
    host_path(WORM_PATH, native=True).write_bytes(OTHER_64BIT_FILE)
    _, holder = plant_held_worm(sc, WOW64_VERSION, winecfg=True)
    prog = tool_to_restart_prompt(sc)
    pending = sc.snapshot("before-restart")
    ops = (pending["PendingFileRenameOperations"] or "").lower()
    sc.check(WORM_ON_DISK.lower() in ops,
             "PendingFileRenameOperations names the file in syswow64: %r" % ops)
    restart_with_r(sc, prog, [holder])
    sc.equal(read_bytes(WORM_PATH, native=True), OTHER_64BIT_FILE,
             "the 64-bit system32 file of the same name kept")


def plant_64bit_view(key, worm_value):
    """A marked value and two harmless ones in the 64-bit view of a key, by the 64-bit reg."""
    for name, data in [worm_value] + list(DECOY_RUN.items()):
        wine(["reg", "add", key, "/v", name, "/d", data, "/f"], timeout=60, native=True)


def removed_from_64bit_view(sc, before, after, label, worm_value):
    want = {n: v for n, v in (before[label] or {}).items() if n != worm_value[0]}
    sc.check(worm_value[0] in (before[label] or {}), "marked value planted in " + label)
    sc.equal(after[label], want, label + " values (only the worm's gone)")


def scenario_wow64_run64_value(sc):
    """With the rest of the worm planted 32-bit; RunServices too has a marked 64-bit value."""
    machine_up(sc)
    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    plant_64bit_view(RUN, WORM_RUN64)
    plant_64bit_view(RUNSERVICES, WORM_RUNSERVICES64)
    before = sc.snapshot("before")
    answer_yes_and_finish(sc, sc.program("tool"), FOUND, WORM_REMOVED)
    after = sc.snapshot("after")
    removed_from_64bit_view(sc, before, after, "Run (64-bit)", WORM_RUN64)
    removed_from_64bit_view(sc, before, after, "RunServices (64-bit)", WORM_RUNSERVICES64)
    expect_repaired(sc, before, after, ALL_LINKS, skip={"Run (64-bit)", "RunServices (64-bit)"})


def scenario_wow64_run64_alone(sc):
    """The 64-bit Run value is the only part of the worm."""
    machine_up(sc)
    plant_64bit_view(RUN, WORM_RUN64)
    before = sc.snapshot("before")
    answer_yes_and_finish(sc, sc.program("tool"), PARTS_FOUND, WORM_PARTLY)
    after = sc.snapshot("after")
    removed_from_64bit_view(sc, before, after, "Run (64-bit)", WORM_RUN64)
    sc.unchanged(before, after, "outside the 64-bit Run key", skip={"Run (64-bit)"})
