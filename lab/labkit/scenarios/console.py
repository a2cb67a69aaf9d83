"""Scenarios of the tool's console: output redirected, or no terminal at all."""

from ..machine import start_server
from ..messages import BANNER, CONTINUE, EXITING, FOUND, NOT_FOUND, PRESS_ANY, REMOVING
from ..planting import plant
from ..steps import expect_planted
from ..wine import winpath
from ..worm import ALL_LINKS


def scenario_redirected_output(sc):
    start_server()
    yes_file = sc.run_dir / "yes.txt"
    yes_file.write_bytes(b"y\r\n")
    tool = winpath(sc.tool)

    # Clean machine, output to a file through cmd: the closing prompt must be in the file
    # before the tool waits, and the "y" on standard input is no key press.
    out1 = sc.run_dir / "clean-out.txt"
    prog = sc.program("clean-to-file", argv=["wine", "cmd", "/c", "%s < %s > %s" % (
        tool, winpath(yes_file), winpath(out1))], watch_file=out1)
    prog.expect(PRESS_ANY, source="file", timeout=60)
    prog.pump(1.5)
    sc.check(prog.alive(), "the tool waits for a key although standard input holds 'y'")
    prog.send("k")
    sc.equal(prog.wait(30), 0, "clean-to-file exit code")
    sc.transcript(prog, [BANNER, NOT_FOUND, EXITING, PRESS_ANY], "clean-to-file", source="file")
    sc.equal(prog.lines("console"), [], "nothing of the tool on the console")

    plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    expect_planted(sc, before, ALL_LINKS, "file")

    # Output into a pipe, console on the terminal.
    prog = sc.program("infected-to-pipe", mode="pipe-out")
    prog.expect(CONTINUE, source="stdout", timeout=60)
    prog.send("n")
    sc.equal(prog.wait(30), 1, "infected-to-pipe exit code")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE], "infected-to-pipe", source="stdout")

    # Output to a file and "y" on standard input: the question still waits for a key.
    out2 = sc.run_dir / "infected-out.txt"
    prog = sc.program("infected-to-file", argv=["wine", "cmd", "/c", "%s < %s > %s" % (
        tool, winpath(yes_file), winpath(out2))], watch_file=out2)
    prog.expect(CONTINUE, source="file", timeout=60)
    prog.pump(2.0)
    sc.check(prog.alive() and REMOVING not in prog.text("file"),
             "standard input's 'y' answered the question: %r" % prog.text("file"))
    prog.send("n")
    sc.equal(prog.wait(30), 1, "infected-to-file exit code")
    sc.transcript(prog, [BANNER, FOUND, CONTINUE], "infected-to-file", source="file")
    sc.unchanged(before, sc.snapshot("after"), "after N with redirected output")


def no_terminal(sc, infected):
    start_server()
    if infected:
        plant(sc.run_dir, links=ALL_LINKS, worm="file")
    before = sc.snapshot("before")
    prog = sc.program("tool", mode="no-terminal")
    rc = prog.wait(60)
    if infected:
        sc.equal(rc, 1, "exit code without console input")
        sc.transcript(prog, [BANNER, FOUND, CONTINUE], "tool", source="stdout")
    else:
        sc.equal(rc, 0, "exit code on a clean machine without console input")
        sc.transcript(prog, [BANNER, NOT_FOUND, EXITING, PRESS_ANY], "tool", source="stdout")
    sc.equal(prog.lines("stderr"), [], "standard error without a terminal")
    sc.unchanged(before, sc.snapshot("after"), "without a terminal")


def scenario_no_terminal_clean(sc):
    no_terminal(sc, False)


def scenario_no_terminal_infected(sc):
    no_terminal(sc, True)
