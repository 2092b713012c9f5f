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
               {"send_repeated": text, "times": n}
                                    writes the text n times, no line feed
               {"expect": line}     the next output line, byte for byte
               {"expect_re": re}    the next output line matches the pattern
               {"config": text}     rewrites config.json (null deletes it)
               {"close": true}      closes the server's standard input
  "status"   the exit status (default 0)
  "stderr"   what standard error holds at the end (default empty)
  "files"    optional: every file the private folder holds once the program
             has ended (the scripted desktop and the settings folder aside),
             by path relative to it, each mapped to {} or to what it must be:
             {"png": [width, height]} a whole 8-bit RGBA PNG of that size;
             {"fake_mp4": frames} the fake encoder's finished stand-in file
             with that many frames (true: any number). A leftover
             "<name>.vantle-tmp" therefore fails the case.
"{tmp}" in any text stands for the session's private folder, which is also
$HOME, $XDG_CONFIG_HOME, the current directory and the parent of
$XDG_PICTURES_DIR ({tmp}/Pictures); "{pid}" for the program's process id.
An image item of a reply, {"data":"<base64>","mimeType":"image/png",...}, is
decoded and checked to be a whole PNG, and compared as "data":"<png WxH>".
After the last step standard input is closed; any further output is a failure.

Usage: run_sessions.py --binary PATH [--wrapper CMD] FILE...
--wrapper runs the binary through another program. With a Wine wrapper the
settings file lives in the Wine prefix's roaming application data (asked of
Wine once), not in $XDG_CONFIG_HOME; only cases without a scripted desktop
make sense there, since the fake program is not built for Windows.
"""

import base64
import binascii
import json
import os
import re
import select
import subprocess
import sys
import tempfile
import time

# The shared module is imported from the source tree, which is left as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "harness"))
from harness import encode, fake_program_env, png_size, runner_arguments  # noqa: E402

TIMEOUT = 30.0
SETTINGS_FOLDER = "invalid.vantle.app"
IMAGE_ITEM = re.compile(rb'\{"data":"([^"]*)","mimeType":"image/png","type":"image"\}')


def image_placeholders(line):
    """Replaces each image item's base64 data by what it decodes to."""
    def replace(match):
        try:
            data = base64.b64decode(match.group(1), validate=True)
        except binascii.Error:
            return b'{"data":"<not base64>","mimeType":"image/png","type":"image"}'
        size = png_size(data)
        text = "png %dx%d" % size if isinstance(size, tuple) else "bad png: " + size
        return b'{"data":"<' + text.encode() + b'>","mimeType":"image/png","type":"image"}'
    return IMAGE_ITEM.sub(replace, line)


def fake_mp4_problem(path, frames):
    with open(path, "rb") as handle:
        data = handle.read()
    match = re.fullmatch(rb"fake-mp4\n(f*)\nfinished\n", data)
    if not match:
        return "not a finished stand-in file: %r" % data[:200]
    if frames is not True and len(match.group(1)) != frames:
        return "%d frames, want %d" % (len(match.group(1)), frames)
    return None


def files_problems(want, tmp):
    got = []
    for folder, folders, names in os.walk(tmp):
        relative = os.path.relpath(folder, tmp)
        if relative == SETTINGS_FOLDER:
            folders[:] = []
            continue
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if path != "desktop.json":
                got.append(path)
    if sorted(got) != sorted(want):
        return ["files %r, want %r" % (sorted(got), sorted(want))]
    problems = []
    for name, kind in want.items():
        path = os.path.join(tmp, name)
        problem = None
        if "png" in kind:
            size = png_size(open(path, "rb").read())
            if size != tuple(kind["png"]):
                problem = "%s, want png %r" % (size, kind["png"])
        elif "fake_mp4" in kind:
            problem = fake_mp4_problem(path, kind["fake_mp4"])
        if problem:
            problems.append("%s: %s" % (name, problem))
    return problems


def wine_settings_base(wrapper):
    """The Wine prefix's roaming application data folder, as a host path."""
    def ask(*command):
        result = subprocess.run(wrapper + list(command), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=120)
        if result.returncode != 0:
            sys.exit("cannot ask Wine for %r: %r" % (command, result.stderr[-500:]))
        return result.stdout.decode("utf-8", "replace").strip()
    windows = ask("cmd", "/c", "echo %APPDATA%")
    host = ask("winepath", "-u", windows)
    if not os.path.isdir(host):
        sys.exit("Wine names %r (%r) as its roaming application data, which is no folder"
                 % (windows, host))
    return host


def write_config(base, value, tmp=""):
    folder = os.path.join(base, SETTINGS_FOLDER)
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


def close_input(process):
    try:
        process.stdin.close()
    except BrokenPipeError:
        pass  # the server has gone already; what it wrote is still checked


def run_case(case, base, binary, wrapper, settings_base):
    with tempfile.TemporaryDirectory(prefix="vantle-session-") as tmp:
        tmp = os.path.realpath(tmp)
        settings = settings_base or tmp
        try:
            return run_in(case, base, binary, wrapper, tmp, settings)
        finally:
            if settings_base:
                write_config(settings, None)


def run_in(case, base, binary, wrapper, tmp, settings):
    env = fake_program_env(case.get("desktop"), base, tmp,
                           lambda text: text.replace("{tmp}", tmp))
    env.update({"HOME": tmp, "XDG_CONFIG_HOME": tmp,
                "XDG_PICTURES_DIR": os.path.join(tmp, "Pictures")})
    env.pop("DISPLAY", None)
    write_config(settings, case.get("config"), tmp)
    errors = []
    process = subprocess.Popen(wrapper + [binary, "mcp"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp,
                               env=env)
    output = Output(process.stdout)

    def expand(text):
        return text.replace("{tmp}", tmp).replace("{pid}", str(process.pid))

    stdin_open = True
    for number, step in enumerate(case["steps"], 1):
        if "send" in step or "send_repeated" in step:
            if "send" in step:
                data = encode(expand(step["send"]))
                if not step.get("raw"):
                    data += b"\n"
            else:
                data = encode(step["send_repeated"]) * step["times"]
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
            line = image_placeholders(line)
            if "expect" in step:
                wanted = encode(expand(step["expect"]))
                if line != wanted:
                    errors.append("step %d:\n  got  %r\n  want %r" % (number, line, wanted))
            else:
                pattern = step["expect_re"].replace("{tmp}", re.escape(tmp)).replace(
                    "{pid}", str(process.pid))
                if not re.fullmatch(encode(pattern), line, re.DOTALL):
                    errors.append("step %d:\n  got     %r\n  pattern %r"
                                  % (number, line[:2000], pattern))
        elif "config" in step:
            write_config(settings, step["config"], tmp)
        elif step.get("close"):
            close_input(process)
            stdin_open = False
        else:
            errors.append("step %d: unknown step %r" % (number, step))
    if stdin_open:
        close_input(process)
    rest = output.rest()
    if rest:
        errors.append("output after the last step: %r" % rest[:2000])
    status = process.wait(timeout=TIMEOUT)
    stderr = process.stderr.read()
    if status != case.get("status", 0):
        errors.append("status %d, want %d" % (status, case.get("status", 0)))
    wanted_stderr = encode(expand(case.get("stderr", "")))
    if stderr != wanted_stderr:
        errors.append("stderr:\n  got  %r\n  want %r" % (stderr, wanted_stderr))
    if "files" in case:
        errors += files_problems(case["files"], tmp)
    return errors


def main():
    binary, wrapper, files = runner_arguments()
    settings_base = wine_settings_base(wrapper) if wrapper else None
    passed = failed = 0
    for name in files:
        with open(name, encoding="utf-8") as handle:
            cases = json.load(handle)["cases"]
        for case in cases:
            errors = run_case(case, os.path.dirname(os.path.abspath(name)), binary, wrapper,
                              settings_base)
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
