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
  "windows"  optional: where the Windows build differs by design, an object
             with "why" (the reason) and the "config", "status", "stderr" or
             "files" that take the place of the case's own under Wine
             (--wrapper). A step may hold one too: its "windows" object
             holds the "send", "expect", "expect_re" or "config" that takes
             the place of the step's own under Wine, and its "why" unless
             the case's "windows" says why.
"{tmp}" in any text stands for the session's private folder, which is also
$HOME, $XDG_CONFIG_HOME, the current directory and the parent of
$XDG_PICTURES_DIR ({tmp}/Pictures); "{pid}" for the program's process id.
Under Wine {tmp} is the folder as Windows names it (Z:\\tmp\\...), so a
Windows form writes it "{tmp_json}" inside a JSON string (its backslashes
doubled) and "{tmp_json_json}" inside a JSON string inside a JSON string (the
structured result of a tool, quadrupled); on Linux both are {tmp}.
An image item of a reply, {"data":"<base64>","mimeType":"image/png",...}, is
decoded and checked to be a whole PNG, and compared as "data":"<png WxH>".
After the last step standard input is closed; any further output is a failure.

Usage: run_sessions.py --binary PATH [--wrapper CMD] FILE...
--wrapper runs the binary through another program. With a Wine wrapper the
runner needs a Wine prefix of its own (the test gives it one), which it
changes: the known folder Pictures is redirected to %VANTLE_SESSION_PICTURES%,
which each case sets to {tmp}\\Pictures, created beforehand as a Windows
profile holds it (a missing one is no known folder there), so no case sees
another's files nor the host's home, which Wine links the prefix's Pictures
to. The settings file lives in the prefix's roaming application data (asked of
Wine once), not in $XDG_CONFIG_HOME. The Windows process id, which is not the
host's, is read from Wine's process list once the program runs.
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


def wine_ask(wrapper, *command):
    """What a Windows program run through the wrapper prints, stripped."""
    result = subprocess.run(wrapper + list(command), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=120)
    if result.returncode != 0:
        sys.exit("cannot ask Wine for %r: %r" % (command, result.stderr[-500:]))
    return result.stdout.decode("utf-8", "replace").strip()


# Where a Windows profile's folders are redirected; REG_EXPAND_SZ values are
# expanded in the environment of the program that looks them up.
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
PICTURES_VARIABLE = "VANTLE_SESSION_PICTURES"


def prepare_wine(wrapper):
    """Redirects the prefix's Pictures folder to each case's own and returns the
    prefix's roaming application data folder, as a host path."""
    wine_ask(wrapper, "reg", "add", SHELL_FOLDERS, "/v", "My Pictures", "/t", "REG_EXPAND_SZ",
             "/d", "%" + PICTURES_VARIABLE + "%", "/f")
    windows = wine_ask(wrapper, "cmd", "/c", "echo %APPDATA%")
    host = wine_ask(wrapper, "winepath", "-u", windows)
    if not os.path.isdir(host):
        sys.exit("Wine names %r (%r) as its roaming application data, which is no folder"
                 % (windows, host))
    return host


# A process of Wine's list: " 000000e8 3        \_ 'name.exe'".
WINE_PROCESS = re.compile(r"^[ =]([0-9a-f]{8}) +[0-9]+ +(?:\\_ )*'(.*)'$")


def wine_pid(wrapper, binary, process):
    """The Windows process id of the program just started, from Wine's own
    process list; the session's prefix runs one such program at a time."""
    name = os.path.basename(binary).lower()
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline and process.poll() is None:
        listing = wine_ask(wrapper, "winedbg", "--command", "info proc")
        found = [int(m.group(1), 16) for m in map(WINE_PROCESS.match, listing.splitlines())
                 if m and m.group(2).lower() == name]
        if len(found) == 1:
            return found[0]
        if len(found) > 1:
            sys.exit("Wine runs %d programs named %s, so the session's is unknown: %r"
                     % (len(found), name, listing))
        time.sleep(0.1)
    return None


def json_text(text):
    """The text as it is written inside a JSON string."""
    return json.dumps(text, ensure_ascii=False)[1:-1]


def write_config(base, value, folder=""):
    """Writes config.json; "{tmp}" in it, always inside a JSON string, stands for
    the case's folder."""
    folder_path = os.path.join(base, SETTINGS_FOLDER)
    path = os.path.join(folder_path, "config.json")
    if value is None:
        if os.path.exists(path):
            os.remove(path)
        return
    os.makedirs(folder_path, exist_ok=True)
    if not isinstance(value, str):
        value = json.dumps(value)
    with open(path, "wb") as handle:
        handle.write(encode(value.replace("{tmp}", json_text(folder))))


def windows_form(thing, why=None):
    """A case or a step as the Windows build must pass it under Wine."""
    differs = thing.get("windows")
    if differs is None:
        return thing
    if not (differs.get("why") or why):
        raise ValueError("a Windows form without its reason: %r" % differs)
    form = {k: v for k, v in thing.items() if k != "windows"}
    if any(k in differs for k in ("send", "expect", "expect_re")):
        for k in ("send", "expect", "expect_re", "raw"):
            form.pop(k, None)
    form.update({k: v for k, v in differs.items() if k != "why"})
    return form


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
    folder = tmp
    env = fake_program_env(case.get("desktop"), base, tmp,
                           lambda text: text.replace("{tmp}", tmp))
    env.update({"HOME": tmp, "XDG_CONFIG_HOME": tmp,
                "XDG_PICTURES_DIR": os.path.join(tmp, "Pictures")})
    env.pop("DISPLAY", None)
    why = case.get("windows", {}).get("why")
    if wrapper:
        case = windows_form(case)
        # Wine shows the host's root as drive Z:.
        folder = "Z:" + tmp.replace("/", "\\")
        os.mkdir(os.path.join(tmp, "Pictures"))
        env[PICTURES_VARIABLE] = folder + "\\Pictures"
    places = {"{tmp_json_json}": json_text(json_text(folder)), "{tmp_json}": json_text(folder),
              "{tmp}": folder}
    write_config(settings, case.get("config"), folder)
    errors = []
    process = subprocess.Popen(wrapper + [binary, "mcp"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp,
                               env=env)
    output = Output(process.stdout)
    pid = process.pid
    if wrapper and "{pid}" in json.dumps(case):
        pid = wine_pid(wrapper, binary, process)
        if pid is None:
            errors.append("the program ended before Wine listed it")

    def expand(text, escape=lambda value: value):
        for placeholder, value in places.items():
            text = text.replace(placeholder, escape(value))
        return text.replace("{pid}", str(pid))

    stdin_open = True
    for number, step in enumerate(case["steps"], 1):
        if wrapper:
            step = windows_form(step, why)
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
                pattern = expand(step["expect_re"], re.escape)
                if not re.fullmatch(encode(pattern), line, re.DOTALL):
                    errors.append("step %d:\n  got     %r\n  pattern %r"
                                  % (number, line[:2000], pattern))
        elif "config" in step:
            write_config(settings, step["config"], folder)
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
    settings_base = prepare_wine(wrapper) if wrapper else None
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
