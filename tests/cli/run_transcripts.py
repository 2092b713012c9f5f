#!/usr/bin/env python3
"""Runs command-line transcripts against a built vantle program.

A transcript file is JSON: {"cases": [case, ...]}. A case holds
  "name"      what it shows
  "args"      the arguments after the program name; a lone surrogate escape
              such as "\\udcff" stands for that raw byte (0xFF), so ill-formed
              UTF-8 arguments can be written down
  "desktop"   optional: a scripted desktop (an object, or a file name relative
              to the transcript) handed to the fake program through
              VANTLE_FAKE_DESKTOP
  "stdout", "stderr"
              the exact expected bytes, as a string or a list of strings that
              are joined; {"file": name} reads them from a file beside the
              transcript; absent means empty
  "usage_error"
              shorthand for a grammar error: stderr is "vantle: <message>",
              an empty line and the usage text (usage.txt), stdout is empty
              and the status 64
  "status"    the expected exit status
  "stdout_closed"
              optional: true runs the program with a standard output whose
              reader has gone, so every write to it fails; stdout is then
              not compared
  "calls"     optional: the platform calls the fake program must have made,
              in order (read back through VANTLE_FAKE_CALLS)
  "files"     optional: the files the case's folder must hold afterwards (the
              scripted desktop and the calls file aside), each mapped to {} or
              to the "width" and "height" of the PNG it must be; anything else,
              a leftover "<name>.vantle-tmp" included, fails the case

  "windows"   optional: where the Windows build differs by design, an object
              with "why" (the reason, required) and the "stdout", "stderr" or
              "files" that take the place of the case's own when the program
              runs under Wine (--wrapper)

"{workdir}" in an expected stdout or stderr stands for the case's folder, the
program's current directory, so absolute paths can be written down; under Wine
it is the folder as Windows names it (Z:\\tmp\\...). "{workdir_json}" is the
same inside a JSON string (its backslashes doubled).

Usage: run_transcripts.py --binary PATH [--wrapper CMD] FILE...
--wrapper runs the binary through another program (for example wine).
"""

import concurrent.futures
import json
import os
import subprocess
import sys
import tempfile

# The shared module is imported from the source tree, which is left as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from harness import encode, fake_program_env, png_size, runner_arguments  # noqa: E402


def expected_bytes(value, base):
    if value is None:
        return b""
    if isinstance(value, dict):
        with open(os.path.join(base, value["file"]), "rb") as handle:
            return handle.read()
    if isinstance(value, list):
        value = "".join(value)
    return encode(value)


def show(data):
    return repr(data)[1:]


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def files_problems(case, workdir):
    want = case["files"]
    got = sorted(name for name in os.listdir(workdir) if name not in ("desktop.json", "calls.txt"))
    if got != sorted(want):
        return [f"files {got}, expected {sorted(want)}"]
    problems = []
    for name, picture in want.items():
        if picture:
            with open(os.path.join(workdir, name), "rb") as handle:
                size = png_size(handle.read())
            if size != (picture["width"], picture["height"]):
                problems.append(f"{name}: {size}, expected an 8-bit RGBA PNG of "
                                f"{picture['width']}x{picture['height']}")
    return problems


def windows_form(case):
    """The case as the Windows build must pass it under Wine."""
    differs = case.get("windows")
    if differs is None:
        return case
    if not differs.get("why"):
        raise ValueError(f"{case['name']}: a Windows form without its reason")
    return dict(case, **{k: v for k, v in differs.items() if k != "why"})


def run_case(case, base, binary, wrapper, workdir):
    if wrapper:
        case = windows_form(case)
    env = fake_program_env(case.get("desktop"), base, workdir)
    calls_path = os.path.join(workdir, "calls.txt")
    if os.path.exists(calls_path):
        os.remove(calls_path)
    if "calls" in case:
        env["VANTLE_FAKE_CALLS"] = calls_path

    if "usage_error" in case:
        with open(os.path.join(base, "usage.txt"), "rb") as handle:
            usage = handle.read()
        want_out = b""
        want_err = b"vantle: " + encode(case["usage_error"]) + b"\n\n" + usage
        want_status = 64
    else:
        folder = os.path.realpath(workdir)
        if wrapper:
            # Wine shows the host's root as drive Z:.
            folder = "Z:" + folder.replace("/", "\\")
        folder_json = json.dumps(folder)[1:-1]
        want_out = expected_bytes(case.get("stdout"), base)
        want_err = expected_bytes(case.get("stderr"), base)
        for placeholder, value in ((b"{workdir_json}", folder_json), (b"{workdir}", folder)):
            want_out = want_out.replace(placeholder, encode(value))
            want_err = want_err.replace(placeholder, encode(value))
        want_status = case["status"]

    argv = wrapper + [binary] + [encode(a) for a in case["args"]]
    notes = []
    for attempt in range(3):
        result = run_program(argv, case.get("stdout_closed"), env, workdir)
        # On a loaded machine Wine now and then ends a program before its first
        # instruction, silently and with a failure status. The program always
        # says why it fails, so a silent failure under the wrapper (where the
        # case expects words) is Wine's: the case is run again and says so.
        silent = result.returncode != 0 and not result.stdout and not result.stderr
        if not (wrapper and silent and (want_out or want_err)) or attempt == 2:
            break
        notes.append(f"note: Wine ended the program silently with status "
                     f"{result.returncode}; started again")
    if case.get("stdout_closed"):
        result.stdout = want_out

    problems = []
    if result.returncode != want_status:
        problems.append(f"exit status {result.returncode}, expected {want_status}")
    for stream, got, want in (("stdout", result.stdout, want_out),
                              ("stderr", result.stderr, want_err)):
        if got != want:
            at = first_difference(got, want)
            problems.append(f"{stream} differs at byte {at}:\n"
                            f"      got      {show(got)}\n"
                            f"      expected {show(want)}")
    if "calls" in case:
        try:
            with open(calls_path, encoding="utf-8") as handle:
                calls = handle.read().splitlines()
        except FileNotFoundError:
            calls = None
        if calls != case["calls"]:
            problems.append(f"platform calls {calls}, expected {case['calls']}")
    if "files" in case:
        problems += files_problems(case, workdir)
    return problems, notes


def run_program(argv, stdout_closed, env, workdir):
    if stdout_closed:
        reader, writer = os.pipe()
        os.close(reader)
        try:
            return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=writer,
                                  stderr=subprocess.PIPE, env=env, cwd=workdir, timeout=60)
        finally:
            os.close(writer)
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                          cwd=workdir, timeout=60)


def main():
    binary, wrapper, files = runner_arguments()

    jobs = []
    for file in files:
        base = os.path.dirname(os.path.abspath(file))
        with open(file, encoding="utf-8") as handle:
            for case in json.load(handle)["cases"]:
                jobs.append((f"{os.path.basename(file)}: {case['name']}", case, base))

    def run_one(job):
        label, case, base = job
        with tempfile.TemporaryDirectory(prefix="vantle-transcript-") as workdir:
            return label, run_case(case, base, binary, wrapper, workdir)

    # Each case has its own folder, so they run side by side; the report keeps
    # the order of the files.
    failures = 0
    count = len(jobs)
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for label, (problems, notes) in pool.map(run_one, jobs):
            if problems:
                failures += 1
                print(f"FAIL {label}")
                for problem in problems:
                    print(f"    {problem}")
            else:
                print(f"ok   {label}")
            for note in notes:
                print(f"    {note}")
    print(f"{count - failures} of {count} transcripts passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
