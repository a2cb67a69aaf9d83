#!/usr/bin/env python3
"""Benchmarks of the tool, each a ratio against a peer measured in the same run; the two
sides take turns, and each side's figure is the median of its runs, printed with its best.
Past the runs asked for, rounds go on (up to MAX_ROUNDS) until the verdict is settled: the
odd and the even rounds alone give the same one as all of them. Not tests: they print.

  start       the tool from its start to the Y/N question under Wine (an infected lab machine),
              against the minimal console program with ADVAPI32 loaded to its second line (the
              fair peer: the tool cannot do without ADVAPI32), beside the plain one; with where
              the tool's start goes, step by step (bench_start)
  key_tree    delete_key_tree on HKCR\\.dl holding 10,101 keys (100 under .dl, 100 under each
              of those), against Wine's own `reg delete HKCR\\.dl /f` on the same tree
  wininit     the WININIT.INI edit of the 9x family on a 5 MB WININIT.INI, against a plain
              copy of the same file through the same binary streams line by line, beside the
              same copy in the edit's blocks
  probe       the probe's platform calls in the simulated Windows (bench_probe_calls)

Usage: bench.py [--runs N] [--exe-dir build/win32] [--host-dir build/host] [NAME ...]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "lab"))
import lab  # noqa: E402
from labkit.wine import prefix_processes  # noqa: E402

REPO = lab.REPO
TREE_WIDTH = 100
WININIT_BYTES = 5 * 1024 * 1024
SETTLE = 5  # seconds for Wine's services to finish starting before the first run
MAX_ROUNDS = 41  # rounds a side at most while a verdict is not settled


class WarmMachine:
    """A freshly reset lab machine with one Wine program kept running meanwhile: without
    one, Wine ends its services after each program and starts them again with the next,
    and every run would pay for that."""

    def __init__(self, exe_dir, name):
        self.run_dir = lab.RUNS / name
        lab.reset_machine()
        lab.start_server()
        self.run_dir.mkdir(parents=True, exist_ok=True)
        keep = r"C:\windows\temp\bench.keep"
        lab.host_path(keep).write_bytes(b"kept open while the benchmark runs\r\n")
        self.holder = lab.Holder(exe_dir, keep, self.run_dir)
        time.sleep(SETTLE)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.holder.release()


def median(values):
    return statistics.median(values)


def verdict(a, b, target):
    return median(a) / median(b) <= target


def settled(a, b, target):
    """The two halves of the rounds (odd and even) and the whole give one verdict: a rerun
    would most likely give it too."""
    halves = [(a[0::2], b[0::2]), (a[1::2], b[1::2])]
    return len({verdict(x, y, target) for x, y in halves} | {verdict(a, b, target)}) == 1


def alternate(runs, target, *sides):
    """Runs the sides in turn, each round in the reverse order of the one before, at least
    runs rounds and then on until the verdict of the first two sides is settled (at most
    MAX_ROUNDS); the figures of each side."""
    figures = [[] for _ in sides]
    rounds = 0
    while True:
        order = list(zip(sides, figures))
        for fn, out in (order if rounds % 2 == 0 else reversed(order)):
            out.append(fn(rounds))
        rounds += 1
        if rounds >= runs and (settled(figures[0], figures[1], target) or rounds >= max(runs, MAX_ROUNDS)):
            return figures


def report(name, what, a, b, unit, target):
    ratio = median(a) / median(b)
    verdict_text = "met" if ratio <= target else "MISSED"
    if not settled(a, b, target):
        verdict_text += ", UNSETTLED: the halves of the runs disagree"
    print("%-9s %s: %.3f %s against %.3f %s: ratio %.2f (target at most %.2f: %s, %d runs a side)"
          % (name, what, median(a), unit, median(b), unit, ratio, target, verdict_text, len(a)), flush=True)
    print("          best: %.3f %s against %.3f %s: ratio %.2f"
          % (min(a), unit, min(b), unit, min(a) / min(b)))
    print("          runs: %s | %s" % (" ".join("%.3f" % x for x in a), " ".join("%.3f" % x for x in b)))
    return ratio


# ---------------------------------------------------------------------------- start-up

def run_to_end(run_dir, argv, label, needle, want_rc):
    """Wall time of one run with no console at all: the program shows its text and, finding
    no key to read, ends at once, so its end is its reaching the question. Notes the
    processor time of its process, and that and the wineserver's together (the registry and
    the files are the server's work), under the program's name; the run, and when it began."""
    server = server_time()
    prog = lab.Program(argv, run_dir, label, mode="no-terminal")
    start = time.time()
    rc, cpu = wait_exit(prog.proc)
    took = time.time() - start
    if rc != want_rc or needle not in prog.text("stdout"):
        raise lab.LabFailure("%s: exit %s, output %r" % (label, rc, prog.text("stdout")))
    name = label.split("-")[0]
    cpu_seconds.setdefault(name, []).append(cpu)
    with_server.setdefault(name, []).append(cpu + server_time() - server)
    return took, prog, start


def wait_exit(proc, timeout=120):
    """Blocks until the process ends (a wait with a time-out polls every 50 ms, too coarse);
    its exit code and the processor time it used."""
    watchdog = threading.Timer(timeout, proc.kill)
    watchdog.start()
    try:
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        watchdog.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_utime + usage.ru_stime


cpu_seconds = {}  # processor time of each start, by program
with_server = {}  # the same with the wineserver's, by program
server_pid = None


def server_time():
    """Processor time the lab machine's wineserver has used so far, in seconds (to the
    nanosecond: its schedstat); 0 where it cannot be read."""
    try:
        with open("/proc/%d/schedstat" % server_pid) as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, TypeError, ValueError):
        return 0.0


def find_server():
    for pid in prefix_processes():
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().startswith("wineserver"):
                    return pid
        except OSError:
            pass
    return None


def bench_start(exe_dir, runs):
    with WarmMachine(exe_dir, "bench_start") as machine:
        return start_runs(exe_dir, runs, machine.run_dir)


def start_runs(exe_dir, runs, run_dir):
    global server_pid
    server_pid = find_server()
    lab.plant(run_dir, links=lab.ALL_LINKS, worm="file")
    tool = ["wine", str(exe_dir / lab.TOOL_EXE)]
    minimal = ["wine", str(exe_dir / "bench" / "minimal_console.exe")]
    advapi32 = ["wine", str(exe_dir / "bench" / "minimal_console_advapi32.exe")]
    steps = ["wine", str(exe_dir / "bench" / "bench_start.exe")]
    breakdown = {}  # label: its spans, in the order of the run

    def run_tool(i):
        return run_to_end(run_dir, tool, "tool-%d" % i, lab.CONTINUE, 1)[0]

    def run_minimal(i):
        return run_to_end(run_dir, minimal, "minimal-%d" % i, "Press a key", 1)[0]

    def run_advapi32(i):
        return run_to_end(run_dir, advapi32, "advapi32-%d" % i, "Press a key", 1)[0]

    def run_steps(i):
        took, prog, start = run_to_end(run_dir, steps, "steps-%d" % i, lab.CONTINUE, 1)
        before = start
        for line in prog.text("stderr").splitlines():
            label, ticks = line.rsplit(" ", 1)
            at = int(ticks) / 1e7 - 11644473600  # 100 ns units since 1601 to Unix time
            breakdown.setdefault(label, []).append(at - before)
            before = at
        breakdown.setdefault("the exit", []).append(start + took - before)
        return took

    for fn in (run_tool, run_minimal, run_advapi32, run_steps):
        fn(-1)  # the first start of each fills the caches
    cpu_seconds.clear()
    with_server.clear()
    breakdown.clear()
    a, c, b, d = alternate(runs, 1.10, run_tool, run_advapi32, run_minimal, run_steps)
    ratio = report("start", "tool to the Y/N question vs the minimal program with ADVAPI32 loaded to"
                   " its second line (no console input, so each ends there)", a, c, "s", 1.10)
    print("          the plain minimal program: %.3f s, best %.3f s: the tool is %.2f x that (best %.2f);"
          " ADVAPI32 alone %.2f x" % (median(b), min(b), median(a) / median(b), min(a) / min(b),
                                      median(c) / median(b)))
    for what, figures in (("processor time of the program's own process", cpu_seconds),
                          ("that and the wineserver's", with_server)):
        cpu = {k: median(v) for k, v in figures.items()}
        print("          %s: %.4f s against %.4f s with ADVAPI32 (ratio %.2f) and %.4f s plain (ratio %.2f)"
              % (what, cpu["tool"], cpu["advapi32"], cpu["tool"] / cpu["advapi32"], cpu["minimal"],
                 cpu["tool"] / cpu["minimal"]))
    print("          where the tool's start goes (bench_start.exe: the tool's code and manifest, its steps"
          " timed from inside; median ms of %d runs, whole run %.1f ms):" % (len(d), 1000 * median(d)))
    for label, spans in breakdown.items():
        print("            %-34s %7.3f" % (label, 1000 * median(spans)))
    own = sum(median(spans) for label, spans in breakdown.items()
              if label not in ("to main", "the answer to the end of main", "the exit"))
    print("          the tool's own work from main to its question: %.1f ms, %.1f %% of the fair peer's"
          " whole run" % (1000 * own, 100 * own / median(c)))
    return ratio


# ---------------------------------------------------------------------------- key tree

def plant_tree(run_dir):
    lines = ["REGEDIT4", "", r"[HKEY_CLASSES_ROOT\.dl]", '@="dlfile"', ""]
    for i in range(TREE_WIDTH):
        lines.append(r"[HKEY_CLASSES_ROOT\.dl\k%02d]" % i)
        for j in range(TREE_WIDTH):
            lines.append(r"[HKEY_CLASSES_ROOT\.dl\k%02d\k%02d]" % (i, j))
    reg_file = run_dir / "tree.reg"
    reg_file.write_bytes("\r\n".join(lines).encode("latin-1") + b"\r\n")
    lab.wine(["regedit", "/S", lab.winpath(reg_file)], timeout=600)
    if lab.reg_query(r"HKCR\.dl\k99\k99") is None:
        raise lab.LabFailure("the .dl tree was not planted")


def timed_wine(argv, timeout=600):
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.DEVNULL, env=lab.wine_env(), start_new_session=True)
        start = time.time()
        rc, _ = wait_exit(proc, timeout)
        took = time.time() - start
        out.seek(0)
        return took, rc, out.read().decode("latin-1")


def bench_key_tree(exe_dir, runs):
    with WarmMachine(exe_dir, "bench_key_tree") as machine:
        return key_tree_runs(exe_dir, runs, machine.run_dir)


def key_tree_runs(exe_dir, runs, run_dir):
    inside = []

    def deleted(who):
        if lab.reg_query(r"HKCR\.dl") is not None:
            raise lab.LabFailure("%s left HKCR\\.dl behind" % who)

    def run_tool(i):
        plant_tree(run_dir)
        took, rc, out = timed_wine(["wine", str(exe_dir / "bench" / "bench_key_tree.exe")])
        if rc != 0:
            raise lab.LabFailure("bench_key_tree exited %s: %s" % (rc, out))
        inside.append(float(out.split(" in ")[1].split()[0]) / 1000)
        deleted("delete_key_tree")
        return took

    def run_reg(i):
        plant_tree(run_dir)
        took, rc, out = timed_wine(["wine", "reg", "delete", r"HKCR\.dl", "/f"])
        if rc != 0:
            raise lab.LabFailure("reg delete exited %s: %s" % (rc, out))
        deleted("reg delete")
        return took

    a, b = alternate(runs, 1.0, run_tool, run_reg)
    ratio = report("key_tree", "delete_key_tree vs reg delete, %d keys, whole process"
                   % (1 + TREE_WIDTH + TREE_WIDTH * TREE_WIDTH), a, b, "s", 1.0)
    print("          delete_key_tree inside its process: median %.3f s" % median(inside))
    return ratio


# ---------------------------------------------------------------------------- WININIT.INI

def wininit_bytes():
    lines = [b"[rename]\r\n"]
    size = len(lines[0])
    n = 0
    while size < WININIT_BYTES:
        line = b"NUL=C:\\WINDOWS\\TEMP\\SETUP%06d.TMP\r\n" % n
        lines.append(line)
        size += len(line)
        n += 1
    return b"".join(lines)


def bench_wininit(exe_dir, runs):
    with WarmMachine(exe_dir, "bench_wininit") as machine:
        return wininit_runs(exe_dir, runs, machine.run_dir)


def wininit_runs(exe_dir, runs, run_dir):
    lab.plant(run_dir, version="win98")
    original = wininit_bytes()
    ini = lab.host_path(lab.WININIT_PATH)
    new = lab.host_path(r"C:\windows\WININIT.NEW")
    exe = str(exe_dir / "bench" / "bench_wininit.exe")
    entry = ("NUL=%s\r\n" % lab.WORM_PATH).encode()

    def run(mode):
        ini.write_bytes(original)
        if new.exists():
            new.unlink()
        took, rc, out = timed_wine(["wine", exe, mode])
        if rc != 0:
            raise lab.LabFailure("bench_wininit %s exited %s: %s" % (mode, rc, out))
        return float(out.split(" in ")[1].split()[0]) / 1000

    def run_copy_of(mode):
        took = run(mode)
        if new.read_bytes() != original:
            raise lab.LabFailure("the plain copy (%s) differs from WININIT.INI" % mode)
        return took

    def run_edit(i):
        took = run("edit")
        got = ini.read_bytes()
        head = b"[rename]\r\n"
        if got.lower() != (head + entry + original[len(head):]).lower():
            raise lab.LabFailure("the edit did not give WININIT.INI with the entry first")
        return took

    def run_copy(i):
        return run_copy_of("copy")

    def run_blocks(i):
        return run_copy_of("blocks")

    a, b, c = alternate(runs, 1.5, run_edit, run_copy, run_blocks)
    ratio = report("wininit", "edit of a %.1f MB WININIT.INI vs plain copy line by line (fgets, fputs),"
                   " inside the process" % (len(original) / 1e6), a, b, "s", 1.5)
    print("          the same copy in the edit's blocks (fread, fwrite): %.3f s, best %.3f s: the edit"
          " is %.2f x that (best %.2f); the rest is its renames, the old file's deletion and the"
          " short name" % (median(c), min(c), median(a) / median(c), min(a) / min(c)))
    return ratio


# ---------------------------------------------------------------------------- probe

def bench_probe(host_dir):
    exe = host_dir / "bench_probe_calls"
    r = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60)
    print(r.stdout, end="")
    if r.returncode != 0:
        raise lab.LabFailure("bench_probe_calls failed: %s" % r.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", default=["probe", "start", "key_tree", "wininit"])
    parser.add_argument("--runs", type=int, default=9,
                        help="runs per side at least (at least 5); more until the verdict is settled")
    parser.add_argument("--exe-dir", default=str(REPO / "build" / "win32"))
    parser.add_argument("--host-dir", default=str(REPO / "build" / "host"))
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("at least 5 runs per side")
    exe_dir = Path(args.exe_dir).resolve()
    print("tool exe: %d bytes; minimal console program: %d bytes (ratio %.2f)"
          % ((exe_dir / lab.TOOL_EXE).stat().st_size,
             (exe_dir / "bench" / "minimal_console.exe").stat().st_size,
             (exe_dir / lab.TOOL_EXE).stat().st_size
             / (exe_dir / "bench" / "minimal_console.exe").stat().st_size), flush=True)
    if "probe" in args.names:
        bench_probe(Path(args.host_dir))
    wine_benches = [n for n in args.names if n != "probe"]
    if not wine_benches:
        return 0
    lab.check_i386()
    with lab.LabLock():
        lab.ensure_prefix()
        try:
            for name in wine_benches:
                {"start": bench_start, "key_tree": bench_key_tree,
                 "wininit": bench_wininit}[name](exe_dir, args.runs)
        finally:
            lab.stop_everything()
    return 0


if __name__ == "__main__":
    sys.exit(main())
