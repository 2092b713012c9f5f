#!/usr/bin/env python3
"""Fails a ctest run that skipped anything tests/allowed_skips.json does not allow.

ctest counts a case skipped inside a test program as a pass, and a skipped test
does not fail the run, so a green run could hide a behaviour that was never
checked. This reads the JUnit file of one ctest run (ctest --output-junit) and
finds every skip in it:
  - a test ctest reports as not run (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION),
  - a GoogleTest case skipped inside a program that ran as one test
    ('[  SKIPPED ] Suite.Case (N ms)' after its '[ RUN      ]' line),
  - a driver's own 'skipped: <reason>' line in the output of a test that passed.
Each must be allowed by an entry of the list; allowed ones are printed (and
appended to --summary, for the end of the whole run), others fail the check.

Usage: check_skips.py --junit FILE --preset NAME [--allowed FILE] [--summary FILE]
"""

import argparse
import json
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))

RUN = re.compile(r"^\[ RUN      \] (\S+)$")
SKIPPED = re.compile(r"^\[  SKIPPED \] (\S+) \(\d+ ms\)$")
DRIVER_SKIP = re.compile(r"^skipped: (.*)$")


def machine_conditions():
    held = set()
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        held.add("root")
    return held


def skips_in_output(test, output):
    """(id, reason text) of every skip a test's output shows."""
    found = []
    lines = output.splitlines()
    started = {}
    for number, line in enumerate(lines):
        line = line.rstrip("\r")
        run = RUN.match(line)
        if run:
            started[run.group(1)] = number
            continue
        skipped = SKIPPED.match(line)
        if skipped:
            case = skipped.group(1)
            first = started.get(case, number)
            found.append((case, "\n".join(lines[first:number])))
            continue
        driver = DRIVER_SKIP.match(line)
        if driver:
            found.append((test, line))
    return found


def skips_in_run(junit):
    """(test, id, reason text, whole) for every skip of the run; `whole` when ctest
    itself reports the test as not run."""
    skips = []
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        test = case.get("name")
        status = case.get("status")
        output = case.findtext("system-out") or ""
        inner = skips_in_output(test, output)
        if status in ("notrun", "disabled"):
            if status == "disabled":
                skips.append((test, test, "disabled", True))
            elif inner:
                # A discovered GoogleTest case or a driver that ended with the skip status:
                # its own lines name it and give the reason.
                skips.extend((test, ident, reason, True) for ident, reason in inner)
            else:
                skips.append((test, test, output, True))
        else:
            skips.extend((test, ident, reason, False) for ident, reason in inner)
    return skips


def allowing(entries, preset, held, test, ident, reason):
    for entry in entries:
        if preset not in entry["presets"]:
            continue
        if not re.fullmatch(entry["test"], ident):
            continue
        if "ctest" in entry and not re.fullmatch(entry["ctest"], test):
            continue
        if entry["reason"] not in reason:
            continue
        if held & set(entry.get("not_when", [])):
            continue
        return entry
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--junit", required=True)
    parser.add_argument("--preset", required=True)
    parser.add_argument("--allowed", default=os.path.join(HERE, "allowed_skips.json"))
    parser.add_argument("--summary")
    args = parser.parse_args()

    with open(args.allowed, encoding="utf-8") as file:
        entries = json.load(file)["skips"]
    try:
        skips = skips_in_run(args.junit)
    except (OSError, ElementTree.ParseError) as error:
        print(f"check_skips.py: cannot read the run's results {args.junit}: {error}",
              file=sys.stderr)
        return 1
    held = machine_conditions()
    allowed, refused = [], []
    for test, ident, reason, _ in skips:
        entry = allowing(entries, args.preset, held, test, ident, reason)
        name = ident if ident == test else f"{test}: {ident}"
        if entry is None:
            last = [line for line in reason.splitlines() if line.strip()][-3:]
            refused.append(f"{args.preset}: {name}: " + " | ".join(last))
        else:
            allowed.append(f"{args.preset}: {name}: {entry['reason']} ({entry['condition']})")
    for line in allowed:
        print(f"allowed skip: {line}")
    if args.summary:
        with open(args.summary, "a", encoding="utf-8") as file:
            file.writelines(line + "\n" for line in allowed)
    if refused:
        print(f"{len(refused)} skip(s) that tests/allowed_skips.json does not allow:",
              file=sys.stderr)
        for line in refused:
            print(f"  {line}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
