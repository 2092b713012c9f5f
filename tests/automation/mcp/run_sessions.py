#!/usr/bin/env python3
"""Runs automation-server sessions against a built vantle program (`<binary> mcp`).

A session file is JSON: {"cases": [case, ...]}. A case holds
  "name"     what it shows
  "desktop"  optional: a scripted desktop (object, or file name relative to the
             session file) for the fake program, through VANTLE_FAKE_DESKTOP
  "config"   optional: the text of config.json (a string written as is, or an
             object written as JSON); absent means no settings file
  "steps"    in order, each one of
               {"send": line}       writes the line and a line feed ("raw"
                                    true: no line feed is added); a lone
                                    surrogate escape such as "\\udcff" stands
                                    for that raw byte
               {"expect": line}     the next output line, byte for byte
               {"expect_re": re}    the next output line matches the pattern
               {"config": text}     rewrites config.json (null deletes it)
               {"close": true}      closes the server's standard input
  "status"   the exit status (default 0)
  "stderr"   what standard error holds at the end (default empty)
"{tmp}" in any text stands for the session's private folder, which is also
$HOME, $XDG_CONFIG_HOME and the parent of $XDG_PICTURES_DIR ({tmp}/Pictures).
After the last step standard input is closed; any further output is a failure.

Usage: run_sessions.py --binary PATH FILE...
"""

import argparse
import json
import os
import re
import select
import subprocess
import sys
import tempfile
import time

TIMEOUT = 30.0


def encode(text):
    return text.encode("utf-8", "surrogateescape")


def write_config(tmp, value):
    folder = os.path.join(tmp, "invalid.vantle.app")
    path = os.path.join(folder, "config.json")
    if value is None:
        if os.path.exists(path):
            os.remove(path)
        return
    os.makedirs(folder, exist_ok=True)
    if not isinstance(value, str):
        value = json.dumps(value)
    with open(path, "wb") as handle:
        handle.write(encode(value.replace("{tmp}", tmp)))


class Output:
    def __init__(self, stream):
        self.stream = stream
        self.buffer = b""
        self.closed = False

    def line(self):
        deadline = time.monotonic() + TIMEOUT
        while b"\n" not in self.buffer and not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.stream], [], [], left)
            if ready:
                chunk = os.read(self.stream.fileno(), 65536)
                if not chunk:
                    self.closed = True
                self.buffer += chunk
        if b"\n" not in self.buffer:
            rest, self.buffer = self.buffer, b""
            return rest if rest else None
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line

    def rest(self):
        while not self.closed:
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                self.closed = True
            self.buffer += chunk
        rest, self.buffer = self.buffer, b""
        return rest


def run_case(case, base, binary):
    with tempfile.TemporaryDirectory(prefix="vantle-session-") as tmp:
        env = dict(os.environ)
        env.update({"HOME": tmp, "XDG_CONFIG_HOME": tmp,
                    "XDG_PICTURES_DIR": os.path.join(tmp, "Pictures")})
        env.pop("VANTLE_FAKE_DESKTOP", None)
        env.pop("VANTLE_FAKE_CALLS", None)
        env.pop("DISPLAY", None)
        desktop = case.get("desktop")
        if isinstance(desktop, dict):
            path = os.path.join(tmp, "desktop.json")
            with open(path, "w", encoding="utf-8") as handle:
                handle.write(json.dumps(desktop).replace("{tmp}", tmp))
            env["VANTLE_FAKE_DESKTOP"] = path
        elif isinstance(desktop, str):
            env["VANTLE_FAKE_DESKTOP"] = os.path.join(base, desktop)
        if "config" in case:
            write_config(tmp, case["config"])
        errors = []
        process = subprocess.Popen([binary, "mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, cwd=tmp, env=env)
        output = Output(process.stdout)
        stdin_open = True
        for number, step in enumerate(case["steps"], 1):
            if "send" in step:
                data = encode(step["send"].replace("{tmp}", tmp))
                if not step.get("raw"):
                    data += b"\n"
                try:
                    process.stdin.write(data)
                    process.stdin.flush()
                except BrokenPipeError:
                    pass
            elif "expect" in step or "expect_re" in step:
                line = output.line()
                if line is None:
                    errors.append("step %d: no output line" % number)
                    break
                if "expect" in step:
                    wanted = encode(step["expect"].replace("{tmp}", tmp))
                    if line != wanted:
                        errors.append("step %d:\n  got  %r\n  want %r" % (number, line, wanted))
                else:
                    pattern = step["expect_re"].replace("{tmp}", re.escape(tmp))
                    if not re.fullmatch(encode(pattern), line, re.DOTALL):
                        errors.append("step %d:\n  got     %r\n  pattern %r"
                                      % (number, line[:2000], pattern))
            elif "config" in step:
                write_config(tmp, step["config"])
            elif step.get("close"):
                process.stdin.close()
                stdin_open = False
            else:
                errors.append("step %d: unknown step %r" % (number, step))
        if stdin_open:
            process.stdin.close()
        rest = output.rest()
        if rest:
            errors.append("output after the last step: %r" % rest[:2000])
        status = process.wait(timeout=TIMEOUT)
        stderr = process.stderr.read()
        if status != case.get("status", 0):
            errors.append("status %d, want %d" % (status, case.get("status", 0)))
        wanted_stderr = encode(case.get("stderr", "").replace("{tmp}", tmp))
        if stderr != wanted_stderr:
            errors.append("stderr:\n  got  %r\n  want %r" % (stderr, wanted_stderr))
        return errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    passed = failed = 0
    for name in args.files:
        with open(name, encoding="utf-8") as handle:
            cases = json.load(handle)["cases"]
        for case in cases:
            errors = run_case(case, os.path.dirname(os.path.abspath(name)), args.binary)
            if errors:
                failed += 1
                print("FAIL %s: %s" % (os.path.basename(name), case["name"]))
                for error in errors:
                    print("  " + error)
            else:
                passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
