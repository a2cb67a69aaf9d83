#!/usr/bin/env python3
"""Sums up a CTest run from its JUnit file: host tests and lab scenarios, each counted apart,
so that a run in which the lab did not run can never pass for a whole one.

    test_summary.py RESULTS.xml CTEST_STATUS LAB_SCENARIO_COUNT

With TAVREL_SKIP_LAB set the lab was left out on purpose: that is said in the last lines.
Exit 0 only when CTest passed and, unless skipped, every lab scenario ran and passed.
"""
import os
import sys
import xml.etree.ElementTree as ET

LAB_FIXTURES = ("lab.setup", "lab.teardown")   # of each lab machine: lab.setup, lab.setup.2...


def is_fixture(name):
    return any(name == f or name.startswith(f + ".") for f in LAB_FIXTURES)


def outcome(case):
    if case.find("failure") is not None or case.get("status") == "fail":
        return "failed"
    if case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
        return "not run"
    return "passed"


def first_failure_line(case):
    """What a failed lab test said about why, as its own FAILED line tells it."""
    out = case.findtext("system-out") or ""
    for line in out.splitlines():
        if line.startswith("FAILED"):
            return line
    return ""


def main():
    path, ctest_status, lab_total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    skip_lab = bool(os.environ.get("TAVREL_SKIP_LAB"))
    try:
        cases = list(ET.parse(path).getroot().iter("testcase"))
    except (OSError, ET.ParseError) as e:
        print("tests: no results to sum up (%s)" % e)
        return 1
    host = [c for c in cases if not c.get("name", "").startswith("lab.")]
    lab = [c for c in cases if c.get("name", "").startswith("lab.")
           and not is_fixture(c.get("name"))]
    count = lambda group, what: sum(1 for c in group if outcome(c) == what)

    print()
    print("host tests: %d run, %d passed, %d failed"
          % (len(host), count(host, "passed"), count(host, "failed")))
    lab_ok = True
    if skip_lab:
        print("lab scenarios: SKIPPED, none of %d ran, because TAVREL_SKIP_LAB is set: "
              "nothing end to end was proven by this run" % lab_total)
    else:
        ran = len(lab) - count(lab, "not run")
        print("lab scenarios: %d of %d ran, %d passed" % (ran, lab_total, count(lab, "passed")))
        lab_ok = len(lab) == lab_total and count(lab, "passed") == lab_total
        if not lab_ok:
            why = [first_failure_line(c) for c in cases
                   if c.get("name", "").startswith("lab.") and outcome(c) == "failed"]
            why = [w for w in why if w]
            print("lab: not every scenario ran and passed%s" % (": " + why[0] if why else ""))
    passed = count(cases, "passed")
    failed = len(cases) - passed
    print("tests: %d passed, %d failed%s"
          % (passed, failed, ", %d skipped" % lab_total if skip_lab else ""))
    return 0 if ctest_status == 0 and lab_ok else 1


if __name__ == "__main__":
    sys.exit(main())
