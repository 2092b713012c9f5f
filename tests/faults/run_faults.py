#!/usr/bin/env python3
"""Fault tests against the built programs: full and read-only file systems,
killed recordings, a client that stops reading, a settings file replaced
while it is read, another user at a recording's stop rendezvous, and links
planted at the temporary name.

Each group runs in a private mount namespace (unshare -m), so the small file
systems it mounts vanish with it whatever happens. Groups that need root,
mounts or a second user end with 77 (skipped) when this machine may not give
them; one that loses them part-way reports the cases that passed and a
"skipped:" line for the rest, which tests/check_skips.py sees. A missing tool
or an X server that did not start is a failure (1), as is everything else that
goes wrong.

Usage: run_faults.py --cli PATH --fake PATH --window PATH --group NAME
  --cli     the real vantle-cli (X11 platform)
  --fake    vantle-cli-fake (the real front end over a scripted desktop)
  --window  vantle-test-window (opens one X11 window)
  --group   one of the groups below; --list prints them
"""

import argparse
import contextlib
import json
import os
import pwd
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

# The shared module is imported from the source tree, which is left as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from harness import XServerError, start_x_server, xvfb_argv  # noqa: E402

SKIP = 77

ARGS = None


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def os_text(code):
    """The program's rendering of an errno: strerror and the code in hex."""
    return f"{os.strerror(code)} (0x{code:08X})"


# ---------------------------------------------------------------- processes

def base_env(home):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "VANTLE_FAKE_DESKTOP", "VANTLE_FAKE_CALLS")}
    env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config"),
                "XDG_PICTURES_DIR": os.path.join(home, "Pictures")})
    return env


def as_user(user, argv):
    if user is None:
        return argv
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", "--"] + argv


def run(argv, env, cwd, user=None, stdin=b"", timeout=120):
    done = subprocess.run(as_user(user, argv), input=stdin, capture_output=True, env=env,
                          cwd=cwd, timeout=timeout)
    return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def read_line(stream, timeout):
    """One line from a pipe within `timeout` seconds, or None."""
    deadline = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 1)
        if not chunk:
            return data.decode("utf-8", "replace") if data else None
        data += chunk
    return data.decode("utf-8", "replace")


class Started:
    """A running `record` command whose started event has been read."""

    def __init__(self, argv, env, cwd, user=None):
        self.process = subprocess.Popen(as_user(user, argv), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env, cwd=cwd)
        line = read_line(self.process.stdout, 30)
        if line is None:
            self.process.kill()
            _, err = self.process.communicate()
            raise Failure(f"no started event; stderr {err!r}")
        self.id = json.loads(line)["id"]

    def finish(self, timeout=60):
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out.decode(), err.decode()


class McpSession:
    def __init__(self, binary, env, cwd):
        self.process = subprocess.Popen([binary, "mcp"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env, cwd=cwd)
        self.next_id = 1
        reply = self.call("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                         "clientInfo": {"name": "faults", "version": "1"}})
        check("result" in reply, f"initialize: {reply}")

    def send(self, method, params=None):
        message = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        if params is not None:
            message["params"] = params
        self.next_id += 1
        self.process.stdin.write(json.dumps(message).encode() + b"\n")
        self.process.stdin.flush()

    def call(self, method, params=None, timeout=60):
        self.send(method, params)
        line = read_line(self.process.stdout, timeout)
        check(line is not None, f"no reply to {method}")
        return json.loads(line)

    def tool(self, name, arguments):
        """(isError, first text) of a tool call."""
        result = self.call("tools/call", {"name": name, "arguments": arguments})["result"]
        return bool(result.get("isError")), result["content"][0]["text"]

    def end(self):
        """Closes the input; the server must then end cleanly and quietly."""
        self.process.stdin.close()
        check(self.process.wait(30) == 0, "server status")
        check(self.process.stderr.read() == b"", "server stderr")


# ----------------------------------------------------------- capabilities

def need_root():
    if os.geteuid() != 0:
        raise Skip("not root")


def mount_tmpfs(folder, options="size=256k,mode=0755"):
    os.makedirs(folder, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", folder],
                          capture_output=True)
    if done.returncode != 0:
        raise Skip(f"the machine refuses mounts (mount: {done.stderr.decode().strip()})")


def remount_read_only(folder):
    done = subprocess.run(["mount", "-o", "remount,ro", folder], capture_output=True)
    if done.returncode != 0:
        raise Skip(f"the machine refuses mounts (remount: {done.stderr.decode().strip()})")


def fill(folder):
    """Fills the file system of `folder` to the last byte."""
    fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for size in (65536, 4096, 1):
            with contextlib.suppress(OSError):
                while os.write(fd, b"\0" * size) > 0:
                    pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def second_user():
    """A throw-away user, removed again afterwards."""
    need_root()
    if shutil.which("useradd") is None or shutil.which("setpriv") is None:
        raise Failure("useradd or setpriv is missing (Debian's passwd and util-linux)")
    name = f"vfault{os.getpid()}"
    done = subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                           "/usr/sbin/nologin", name], capture_output=True)
    if done.returncode != 0:
        # Root can always make a user: not being able to is a broken machine.
        raise Failure(f"the machine refuses a second user (useradd: {done.stderr.decode().strip()})")
    try:
        yield pwd.getpwnam(name)
    finally:
        subprocess.run(["userdel", name], capture_output=True)


class XDisplay:
    """A private Xvfb and the test windows opened on it."""

    def __init__(self):
        if shutil.which("Xvfb") is None:
            raise Failure("Xvfb is missing; scripts/setup installs it")
        try:
            self.server, self.display = start_x_server(xvfb_argv("640x480x24"), seconds=20)
        except XServerError as error:
            raise Failure(f"Xvfb {error}") from None
        self.windows = []

    def env(self, env):
        env = dict(env)
        env["DISPLAY"] = self.display
        return env

    def window(self, title, *extra):
        process = subprocess.Popen([ARGS.window, "--title", title, *extra],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   env={"DISPLAY": self.display, "PATH": os.environ["PATH"]})
        check(read_line(process.stdout, 20), f"window {title!r} did not open")
        self.windows.append(process)

    def close(self):
        for process in self.windows:
            process.kill()
            process.wait()
        self.server.kill()
        self.server.wait()


def video_frames(path):
    """Frames ffprobe finds in a whole MP4, or None when it is not one."""
    done = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                           "-show_entries", "stream=nb_read_frames", "-of", "json", path],
                          capture_output=True)
    if done.returncode != 0:
        return None
    streams = json.loads(done.stdout).get("streams", [])
    if not streams or "nb_read_frames" not in streams[0]:
        return None
    return int(streams[0]["nb_read_frames"])


def listing(folder):
    return sorted(os.listdir(folder))


def contents(path):
    with open(path, "rb") as handle:
        return handle.read()


def write(path, data, mode=None):
    with open(path, "wb") as handle:
        handle.write(data)
    if mode is not None:
        os.chmod(path, mode)


# A desktop for the fake program: one small window, one small monitor, and
# recordings that run until they are stopped.
FAKE_DESKTOP = {
    "monitors": [{"name": "FAKE-1", "x": 0, "y": 0, "width": 64, "height": 48, "primary": True}],
    "windows": [{"handle": 7, "title": "Notes", "process": "notes", "pid": 4242, "x": 0, "y": 0,
                 "width": 32, "height": 24, "monitor": 0}],
    "recording": {},
}


class Workspace:
    """A private folder (home, settings, pictures) and the fake program's desktop."""

    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")
        os.makedirs(os.path.join(self.home, "config", "invalid.vantle.app"))
        os.makedirs(os.path.join(self.home, "Pictures"))
        self.desktop = os.path.join(root, "desktop.json")
        write(self.desktop, json.dumps(FAKE_DESKTOP).encode())
        os.chmod(root, 0o755)
        os.chmod(self.home, 0o755)
        os.chmod(self.desktop, 0o644)
        self.env = base_env(self.home)
        self.fake_env = dict(self.env, VANTLE_FAKE_DESKTOP=self.desktop)

    def settings(self, text):
        write(os.path.join(self.home, "config", "invalid.vantle.app", "config.json"), text.encode())

    def fake(self, args, user=None, cwd=None):
        return run([ARGS.fake] + args, self.fake_env, cwd or self.root, user)

    def cli(self, args, display, user=None, cwd=None):
        return run([ARGS.cli] + args, display.env(self.env), cwd or self.root, user)


# ------------------------------------------------------------------ groups

def expect_failure(result, status, stderr, what):
    got_status, out, err = result
    check((got_status, out, err) == (status, "", stderr),
          f"{what}: status {got_status}, stdout {out!r}, stderr {err!r}; "
          f"expected {status} and stderr {stderr!r}")


def expect_record_out_of_space(status, out, err):
    """A `record` command that failed for want of space: status 1, nothing on
    stdout, and at most two lines on stderr, the last naming the cause."""
    lines = err.splitlines()
    check(status == 1 and out == "", f"record: status {status}, stdout {out!r}, stderr {err!r}")
    check(len(lines) in (1, 2) and lines[-1].startswith("vantle: ") and
          lines[-1].endswith(": " + os_text(28)), f"record: stderr {err!r}")
    print(f"  the recording said: {lines[-1]}")


def group_full_disk(ws):
    """A destination on a file system with no space left."""
    full = os.path.join(ws.root, "full")
    mount_tmpfs(full)
    write(os.path.join(full, "shot.png"), b"the previous picture\n")
    write(os.path.join(full, "clip.mp4"), b"the previous clip\n")
    fill(full)
    before = listing(full)

    yield "capture onto a full file system"
    expect_failure(ws.fake(["capture", "--window", "Notes", "--out", os.path.join(full, "shot.png")]),
                   1, f"vantle: could not write {full}/shot.png: {os_text(28)}\n", "capture")
    check(contents(os.path.join(full, "shot.png")) == b"the previous picture\n", "shot.png changed")
    check(listing(full) == before, f"left behind: {listing(full)}")

    yield "the capture tool onto a full file system"
    session = McpSession(ARGS.fake, ws.fake_env, ws.root)
    error, text = session.tool("capture", {"window": "Notes", "out": os.path.join(full, "shot.png")})
    check(error and text == f"could not write {full}/shot.png: {os_text(28)}", f"capture tool: {text!r}")
    session.end()
    check(contents(os.path.join(full, "shot.png")) == b"the previous picture\n", "shot.png changed")
    check(listing(full) == before, f"left behind: {listing(full)}")

    yield "a recording onto a full file system, from the command line and through the server"
    display = XDisplay()
    try:
        display.window("busy", "--pattern", "--clock", "0,0", "--size", "320x240")
        status, out, err = ws.cli(["record", "--window", "busy", "--max-seconds", "2", "--out",
                                   os.path.join(full, "clip.mp4")], display)
        session = McpSession(ARGS.cli, display.env(ws.env), ws.root)
        clip = os.path.join(full, "clip.mp4")
        error, text = session.tool("record_start", {"window": "busy", "out": clip, "max_seconds": 2})
        if not error:
            error, text = session.tool("record_stop", {"id": json.loads(text)["id"]})
            check(text.startswith(f"the recording to {clip} failed: "), f"record_stop: {text!r}")
        check(error and text.endswith(": " + os_text(28)), f"the recording tools: {text!r}")
        session.end()
    finally:
        display.close()
    expect_record_out_of_space(status, out, err)
    check(contents(os.path.join(full, "clip.mp4")) == b"the previous clip\n", "clip.mp4 changed")
    check(listing(full) == before, f"left behind: {listing(full)}")

    yield "a disk that fills while a recording runs, from the command line and through the server"
    # Room for the file's opening and its first frames only: the recording
    # starts, and the disk fills part-way through it.
    filler = os.path.join(full, "filler")
    room = 48 * 1024
    display = XDisplay()
    try:
        display.window("busy", "--pattern", "--clock", "0,0", "--size", "320x240")
        os.truncate(filler, max(os.path.getsize(filler) - room, 0))
        status, out, err = ws.cli(["record", "--window", "busy", "--max-seconds", "6", "--out",
                                   os.path.join(full, "clip.mp4")], display)
        cli_listing = listing(full)
        cli_clip = contents(os.path.join(full, "clip.mp4"))
        session = McpSession(ARGS.cli, display.env(ws.env), ws.root)
        clip = os.path.join(full, "clip.mp4")
        error, text = session.tool("record_start", {"window": "busy", "out": clip, "max_seconds": 6})
        check(not error, f"record_start should open the file while there is room: {text!r}")
        recording_id = json.loads(text)["id"]
        time.sleep(3)
        error, text = session.tool("record_stop", {"id": recording_id})
        check(error and text.startswith(f"the recording to {clip} failed: ") and
              text.endswith(": " + os_text(28)), f"record_stop: {text!r}")
        reply = session.call("ping")
        check(reply.get("result") == {}, f"the server does not go on after the failure: {reply}")
        error, text = session.tool("capture", {"window": "busy", "out": os.path.join(ws.root, "after.png")})
        check(not error, f"a capture after the failed recording: {text!r}")
        session.end()
    finally:
        display.close()
    expect_record_out_of_space(status, out, err)
    check(cli_clip == b"the previous clip\n", "clip.mp4 changed by the command line's recording")
    check(cli_listing == before, f"left behind by the command line: {cli_listing}")
    check(contents(os.path.join(full, "clip.mp4")) == b"the previous clip\n", "clip.mp4 changed")
    check(listing(full) == before, f"left behind: {listing(full)}")


def group_read_only(ws):
    """A destination folder on a read-only mount."""
    frozen = os.path.join(ws.root, "frozen")
    mount_tmpfs(frozen)
    write(os.path.join(frozen, "shot.png"), b"the previous picture\n")
    write(os.path.join(frozen, "clip.mp4"), b"the previous clip\n")
    remount_read_only(frozen)
    before = listing(frozen)
    shot = os.path.join(frozen, "shot.png")
    clip = os.path.join(frozen, "clip.mp4")

    def unchanged():
        check(contents(shot) == b"the previous picture\n", "shot.png changed")
        check(contents(clip) == b"the previous clip\n", "clip.mp4 changed")
        check(listing(frozen) == before, f"left behind: {listing(frozen)}")

    yield "capture into a read-only folder"
    expect_failure(ws.fake(["capture", "--window", "Notes", "--out", shot]),
                   1, f"vantle: could not write {shot}: {os_text(30)}\n", "capture")
    unchanged()

    yield "record into a read-only folder fails before it starts"
    expect_failure(ws.fake(["record", "--window", "Notes", "--max-seconds", "1", "--out", clip, "--json"]),
                   1, f"vantle: could not write {clip}: {os_text(30)}\n", "record")
    unchanged()

    yield "the server's default folder inside a read-only mount"
    ws.settings(json.dumps({"save_dir": os.path.join(frozen, "shots")}))
    session = McpSession(ARGS.fake, ws.fake_env, ws.root)
    error, text = session.tool("capture", {"window": "Notes"})
    check(error and text == f"could not create {frozen}/shots: {os_text(30)}", f"capture tool: {text!r}")
    error, text = session.tool("record_start", {"window": "Notes", "out": clip})
    check(error and text == f"could not write {clip}: {os_text(30)}", f"record_start: {text!r}")
    session.end()
    unchanged()

    yield "a real recording into a read-only folder"
    display = XDisplay()
    try:
        display.window("recorded")
        expect_failure(ws.cli(["record", "--window", "recorded", "--max-seconds", "1", "--out", clip],
                              display), 1, f"vantle: could not write {clip}: {os_text(30)}\n", "record")
    finally:
        display.close()
    unchanged()


def group_killed_recording(ws):
    """Recordings that end by SIGKILL never touch their destination."""
    out = os.path.join(ws.root, "out")
    os.makedirs(out)
    clip = os.path.join(out, "clip.mp4")
    display = XDisplay()
    try:
        display.window("recorded", "--pattern", "--clock", "0,0")
        env = display.env(ws.env)

        yield "a killed recording leaves the previous file as it was"
        write(clip, b"the previous clip\n")
        recording = Started([ARGS.cli, "record", "--window", "recorded", "--out", clip, "--json"],
                            env, ws.root)
        time.sleep(1.5)
        recording.process.send_signal(signal.SIGKILL)
        recording.finish()
        check(contents(clip) == b"the previous clip\n", "clip.mp4 changed")
        check(set(listing(out)) <= {"clip.mp4", "clip.mp4.vantle-tmp"}, f"files: {listing(out)}")

        yield "its id is no longer running"
        status, stdout, err = run([ARGS.cli, "record", "--stop", recording.id], env, ws.root)
        check((status, stdout, err) == (2, "", f"vantle: no recording {recording.id} is running\n"),
              f"stop: {status} {stdout!r} {err!r}")

        yield "the next recording replaces the stale temporary and the file"
        status, stdout, err = run([ARGS.cli, "record", "--window", "recorded", "--max-seconds", "1",
                                   "--out", clip], env, ws.root)
        check(status == 0 and stdout == clip + "\n", f"record: {status} {stdout!r} {err!r}")
        check(listing(out) == ["clip.mp4"], f"files: {listing(out)}")
        check((video_frames(clip) or 0) >= 1, "clip.mp4 is not a whole MP4")

        yield "a killed recording to a new name leaves no file of that name"
        fresh = os.path.join(out, "fresh.mp4")
        recording = Started([ARGS.cli, "record", "--window", "recorded", "--out", fresh, "--json"],
                            env, ws.root)
        time.sleep(1)
        recording.process.send_signal(signal.SIGKILL)
        recording.finish()
        check(not os.path.exists(fresh), "fresh.mp4 exists")

        yield "a killed server leaves the destinations of its recordings alone"
        write(clip, b"the previous clip\n")
        session = McpSession(ARGS.cli, env, ws.root)
        error, text = session.tool("record_start", {"window": "recorded", "out": clip})
        check(not error, f"record_start: {text}")
        time.sleep(1)
        session.process.kill()
        session.process.wait()
        check(contents(clip) == b"the previous clip\n", "clip.mp4 changed")
    finally:
        display.close()


def group_mcp_output_closed(ws):
    """The client stops reading the server's output mid-session."""
    out = os.path.join(ws.root, "out")
    os.makedirs(out)
    display = XDisplay()
    try:
        display.window("served", "--pattern")
        env = display.env(ws.env)

        for when in ("a request after it", "the reply to record_stop"):
            yield f"the server ends quietly and finishes its recordings (output closed before {when})"
            clips = [os.path.join(out, f"a-{len(listing(out))}.mp4"),
                     os.path.join(out, f"b-{len(listing(out))}.mp4")]
            session = McpSession(ARGS.cli, env, ws.root)
            ids = []
            for clip in clips:
                error, text = session.tool("record_start", {"window": "served", "out": clip, "fps": 10})
                check(not error, f"record_start: {text}")
                ids.append(json.loads(text)["id"])
            first = ids[0]
            time.sleep(1)
            session.process.stdout.close()
            if when.startswith("a request"):
                session.send("tools/list")
            else:
                session.send("tools/call", {"name": "record_stop", "arguments": {"id": first}})
            try:
                status = session.process.wait(60)
            except subprocess.TimeoutExpired:
                session.process.kill()
                raise Failure("the server did not end when its output was closed")
            err = session.process.stderr.read()
            check(status == 0 and err == b"", f"server: status {status}, stderr {err!r}")
            for clip in clips:
                frames = video_frames(clip)
                check(frames is not None and frames >= 1, f"{clip} is not a whole MP4")
            check(not [n for n in listing(out) if n.endswith(".vantle-tmp")], f"files: {listing(out)}")
    finally:
        display.close()


def group_one_writer(ws):
    """Two recordings to one file: the second is refused, the first is whole."""
    out = os.path.join(ws.root, "out")
    os.makedirs(out)
    clip = os.path.join(out, "same.mp4")
    display = XDisplay()
    try:
        display.window("A", "--pattern")
        display.window("B", "--pattern", "--clock", "0,0")
        env = display.env(ws.env)
        busy = f"another recording is writing {clip}"

        def whole():
            check((video_frames(clip) or 0) >= 1, "same.mp4 is not a whole MP4")
            check(listing(out) == ["same.mp4"], f"files: {listing(out)}")

        yield "two command-line recordings to one file"
        first = Started([ARGS.cli, "record", "--window", "A", "--out", clip, "--json"], env, ws.root)
        try:
            status, stdout, err = run([ARGS.cli, "record", "--window", "B", "--out", "out/./same.mp4"],
                                      env, ws.root, timeout=20)
            check((status, stdout, err) == (1, "", f"vantle: {busy}\n"),
                  f"second recording: {status} {stdout!r} {err!r}")
            status, _, err = run([ARGS.cli, "record", "--stop", first.id], env, ws.root)
            check(status == 0, f"stop: {status} {err!r}")
            status, stdout, err = first.finish()
            check(status == 0 and json.loads(stdout.splitlines()[-1])["path"] == clip,
                  f"first recording: {status} {stdout!r} {err!r}")
        finally:
            if first.process.poll() is None:
                first.process.kill()
                first.process.wait()
        whole()

        yield "two recordings to one file through one server, and one from the command line"
        os.unlink(clip)
        session = McpSession(ARGS.cli, env, ws.root)
        error, text = session.tool("record_start", {"window": "A", "out": clip})
        check(not error, f"record_start A: {text}")
        first_id = json.loads(text)["id"]
        error, text = session.tool("record_start", {"window": "B", "out": clip})
        check(error and text == busy, f"record_start B: {text!r}")
        status, stdout, err = run([ARGS.cli, "record", "--window", "B", "--out", clip], env, ws.root,
                                  timeout=20)
        check((status, stdout, err) == (1, "", f"vantle: {busy}\n"),
              f"command line against the server: {status} {stdout!r} {err!r}")
        error, text = session.tool("record_stop", {"id": first_id})
        check(not error and json.loads(text)["path"] == clip, f"record_stop: {text!r}")
        whole()

        yield "the destination is free again once the first has finished"
        error, text = session.tool("record_start", {"window": "B", "out": clip, "max_seconds": 0.5})
        check(not error, f"record_start B again: {text}")
        error, text = session.tool("record_stop", {"id": json.loads(text)["id"]})
        check(not error, f"record_stop: {text!r}")
        session.end()
        whole()

        yield "a recording into a missing folder fails first, naming the destination"
        missing = os.path.join(ws.root, "missing", "clip.mp4")
        expect_failure(ws.cli(["record", "--window", "A", "--out", missing], display),
                       1, f"vantle: could not write {missing}: {os_text(2)}\n", "record")
        check(not os.path.exists(os.path.dirname(missing)), "the folder was made")
    finally:
        display.close()


def group_mcp_ended(ws):
    """The server asked to end, by a signal or by the end of its input, finishes its recordings."""
    out = os.path.join(ws.root, "out")
    os.makedirs(out)
    display = XDisplay()
    try:
        display.window("served", "--pattern", "--clock", "0,0")
        env = display.env(ws.env)

        def start_two(session, name):
            clips = [os.path.join(out, f"{name}-{n}.mp4") for n in (1, 2)]
            for clip in clips:
                error, text = session.tool("record_start", {"window": "served", "out": clip, "fps": 10})
                check(not error, f"record_start: {text}")
            return clips

        def ended(session, clips, since, what):
            try:
                status = session.process.wait(60)
            except subprocess.TimeoutExpired:
                session.process.kill()
                raise Failure(f"the server did not end after {what}")
            took = time.monotonic() - since
            err = session.process.stderr.read()
            check(status == 0 and err == b"", f"{what}: status {status}, stderr {err!r}")
            for clip in clips:
                frames = video_frames(clip)
                check(frames is not None and frames >= 1, f"{what}: {clip} is not a whole MP4")
            check(not [n for n in listing(out) if n.endswith(".vantle-tmp")], f"files: {listing(out)}")
            return took

        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            name = signal.Signals(number).name
            yield f"{name} with two recordings running: both files whole, exit 0"
            session = McpSession(ARGS.cli, env, ws.root)
            clips = start_two(session, name)
            time.sleep(1)
            since = time.monotonic()
            session.process.send_signal(number)
            took = ended(session, clips, since, name)
            print(f"  ended {took:.2f} s after {name}")

        for how in ("the end of the input", "SIGTERM"):
            yield f"{how} during a capture's 10-minute delay, with a recording running"
            session = McpSession(ARGS.cli, env, ws.root)
            clips = start_two(session, "delay-" + how.split()[-1])[:1]
            shot = os.path.join(out, "never.png")
            session.send("tools/call", {"name": "capture", "arguments": {
                "window": "served", "delay_ms": 600000, "out": shot}})
            time.sleep(1)
            since = time.monotonic()
            if how == "SIGTERM":
                session.process.send_signal(signal.SIGTERM)
            else:
                session.process.stdin.close()
            took = ended(session, clips, since, how)
            print(f"  ended {took:.2f} s after {how}")
            # The wait itself ends at once; finishing the files is what takes the time.
            check(took < 5, f"the server took {took:.2f} s to end after {how}")
            check(not os.path.exists(shot), "a picture was taken although its delay was cut short")
    finally:
        display.close()


def picture_size(path):
    """(width, height) of a picture ffprobe decodes, or None."""
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height",
                           "-of", "json", path], capture_output=True)
    if done.returncode != 0:
        return None
    streams = json.loads(done.stdout).get("streams", [])
    return (streams[0]["width"], streams[0]["height"]) if streams else None


def group_non_utf8_paths(ws):
    """Names that are not UTF-8 are the file system's bytes; only their display is lossy."""
    out = os.path.join(ws.root, "out").encode()
    os.makedirs(out)
    display = XDisplay()
    try:
        display.window("named", "--pattern", "--size", "120x90")
        env = display.env(ws.env)

        def cli(args):
            done = subprocess.run([ARGS.cli.encode()] + args, capture_output=True, env=env,
                                  cwd=out, timeout=120)
            return done.returncode, done.stdout.decode("utf-8", "strict"), done.stderr.decode()

        yield "two captures to names that differ only in bytes that are not UTF-8"
        for name in (b"caf\xe9.png", b"caf\xe8.png"):
            status, stdout, err = cli([b"capture", b"--window", b"named", b"--out", name, b"--json"])
            shown = out.decode() + "/caf\ufffd.png"
            check(status == 0 and json.loads(stdout)["path"] == shown, f"capture: {status} {stdout!r} {err!r}")
        check(sorted(os.listdir(out)) == [b"caf\xe8.png", b"caf\xe9.png"], f"files: {os.listdir(out)}")
        for name in (b"caf\xe9.png", b"caf\xe8.png"):
            check(picture_size(os.path.join(out, name)) == (120, 90), f"{name!r} is not a 120x90 PNG")

        yield "a recording to such a name, given with --out=<name>"
        status, stdout, err = cli([b"record", b"--window", b"named", b"--max-seconds", b"0.5",
                                   b"--out=clip\xff.mp4"])
        check(status == 0 and stdout == out.decode() + "/clip\ufffd.mp4\n", f"record: {status} {stdout!r} {err!r}")
        check((video_frames(os.path.join(out, b"clip\xff.mp4")) or 0) >= 1, "clip\\xff.mp4 is not whole")

        yield "the server's default folder under a Pictures folder that is not UTF-8"
        pictures = os.path.join(ws.home.encode(), b"Bild\xe9r")
        with open(os.path.join(ws.home, "config", "user-dirs.dirs"), "wb") as dirs:
            dirs.write(b'XDG_PICTURES_DIR="$HOME/Bild\xe9r"\n')
        server_env = {k: v for k, v in env.items() if k != "XDG_PICTURES_DIR"}
        session = McpSession(ARGS.cli, server_env, ws.root)
        error, text = session.tool("capture", {"window": "named"})
        check(not error, f"capture: {text}")
        shot = json.loads(text)["path"]
        error, text = session.tool("record_start", {"window": "named", "max_seconds": 0.5})
        check(not error, f"record_start: {text}")
        error, text = session.tool("record_stop", {"id": json.loads(text)["id"]})
        check(not error, f"record_stop: {text}")
        clip = json.loads(text)["path"]
        session.process.stdin.close()
        check(session.process.wait(30) == 0, "server status")
        folder = os.path.join(pictures, b"Vantle")
        files = sorted(os.listdir(folder))
        check(len(files) == 2, f"files: {files}")
        for name in files:
            shown = folder.decode("utf-8", "replace") + "/" + name.decode()
            check(shown in (shot, clip), f"{name!r} is shown as neither {shot!r} nor {clip!r}")
        png = [name for name in files if name.endswith(b".png")]
        mp4 = [name for name in files if name.endswith(b".mp4")]
        check(len(png) == 1 and len(mp4) == 1, f"files: {files}")
        check(picture_size(os.path.join(folder, png[0])) == (120, 90), "the capture is not a 120x90 PNG")
        check((video_frames(os.path.join(folder, mp4[0])) or 0) >= 1, "the recording is not whole")
    finally:
        display.close()


SETTINGS_A = {"save_dir": "{root}/a", "filename_pattern": "alpha %H%M%S",
              "automation_allow_desktop": True}
SETTINGS_C = {"save_dir": "{root}/c", "filename_pattern": "gamma %H%M%S",
              "automation_allow_desktop": False}


def replace_repeatedly(path, versions, stop):
    """Renames each version over `path` in turn until `stop` is set."""
    n = 0
    while not stop.is_set():
        temporary = f"{path}.next"
        write(temporary, versions[n % len(versions)])
        os.rename(temporary, path)
        n += 1


def group_settings_replaced(ws):
    """config.json renamed over while the server reads it for every request."""
    path = os.path.join(ws.home, "config", "invalid.vantle.app", "config.json")

    def text(settings):
        return json.dumps({k: v.replace("{root}", ws.root) if isinstance(v, str) else v
                           for k, v in settings.items()}).encode()

    def catalogue(session):
        return json.dumps(session.call("tools/list")["result"], sort_keys=True)

    session = McpSession(ARGS.fake, ws.fake_env, ws.root)
    write(path, text(SETTINGS_A))
    allowed = catalogue(session)
    os.unlink(path)
    default = catalogue(session)
    check(allowed != default, "the catalogue does not show the desktop permission")

    yield "a settings file replaced by a valid and a broken one: its settings, or defaults and one warning"
    # The file is there before the first read: a missing file would give the
    # defaults silently, which is right but not what is counted here.
    write(path, text(SETTINGS_A))
    stop = threading.Event()
    writer = threading.Thread(target=replace_repeatedly,
                              args=(path, [text(SETTINGS_A), b'{"automation_allow_desktop": tru'], stop))
    writer.start()
    seen = {"allowed": 0, "default": 0}
    try:
        for _ in range(300):
            got = catalogue(session)
            check(got in (allowed, default), f"a catalogue of neither settings: {got}")
            seen["allowed" if got == allowed else "default"] += 1
    finally:
        stop.set()
        writer.join()

    yield "two valid files replaced in turn are never mixed"
    # The last case may have left the broken version in place: a read of it
    # before the first rename here would give the defaults.
    write(path, text(SETTINGS_A))
    stop = threading.Event()
    writer = threading.Thread(target=replace_repeatedly,
                              args=(path, [text(SETTINGS_A), text(SETTINGS_C)], stop))
    os.makedirs(os.path.join(ws.root, "a"))
    os.makedirs(os.path.join(ws.root, "c"))
    writer.start()
    both = {"alpha": 0, "gamma": 0}
    try:
        for _ in range(150):
            error, result = session.tool("capture", {"window": "Notes"})
            check(not error, f"capture: {result}")
            saved = json.loads(result)["path"]
            folder, name = os.path.split(saved)
            check((folder, name.split(" ")[0]) in ((f"{ws.root}/a", "alpha"), (f"{ws.root}/c", "gamma")),
                  f"a path mixing two settings files: {saved}")
            both[name.split(" ")[0]] += 1
    finally:
        stop.set()
        writer.join()
    # A server that read one of the files only would never mix them either.
    check(both["alpha"] > 0 and both["gamma"] > 0, f"the captures never saw both files: {both}")

    session.process.stdin.close()
    check(session.process.wait(60) == 0, "server status")
    warnings = session.process.stderr.read().decode().splitlines()
    check(seen["allowed"] > 0 and seen["default"] > 0, f"the reads never saw both files: {seen}")
    check(len(warnings) == seen["default"],
          f"{len(warnings)} warnings for {seen['default']} reads of the broken file")
    check(all(line.startswith("vantle: WARN: config.json unreadable (") and
              line.endswith("); falling back to defaults") for line in warnings),
          f"warnings: {warnings[:3]}")


def group_stop_other_user(ws):
    """Another user can neither stop a recording, nor pose as one, nor block one."""
    out = os.path.join(ws.root, "out")
    os.makedirs(out)
    clip = os.path.join(out, "clip.mp4")
    # A shared temporary folder as /tmp is, and no runtime folder: the
    # rendezvous has to be found under the temporary folder.
    shared = os.path.join(ws.root, "tmp")
    os.makedirs(shared)
    os.chmod(shared, 0o1777)
    env = {k: v for k, v in ws.env.items() if k != "XDG_RUNTIME_DIR"}
    env["TMPDIR"] = shared
    fake_env = dict(env, VANTLE_FAKE_DESKTOP=ws.desktop)
    with second_user() as user:
        recording = Started([ARGS.fake, "record", "--window", "Notes", "--out", clip, "--json"],
                            fake_env, ws.root)
        try:
            yield "another user's record --stop is refused and the recording goes on"
            for json_flag in ([], ["--json"]):
                status, stdout, err = run([ARGS.fake, "record", "--stop", recording.id] + json_flag,
                                          env, "/", user)
                check((status, stdout, err) == (2, "", f"vantle: no recording {recording.id} is running\n"),
                      f"stop as another user: {status} {stdout!r} {err!r}")
            time.sleep(0.5)
            check(recording.process.poll() is None, "the recording ended")

            yield "the owner's record --stop ends it"
            status, stdout, err = run([ARGS.fake, "record", "--stop", recording.id, "--json"], env, "/")
            check((status, stdout, err) == (0, json.dumps({"id": recording.id, "stopped": True},
                                                           separators=(",", ":")) + "\n", ""),
                  f"stop as the owner: {status} {stdout!r} {err!r}")
            status, _, _ = recording.finish()
            check(status == 0 and listing(out) == ["clip.mp4"], f"recording: {status}, {listing(out)}")
        finally:
            if recording.process.poll() is None:
                recording.process.kill()
                recording.process.wait()

        def clear_our_folders():
            for name in os.listdir(shared):
                if os.lstat(os.path.join(shared, name)).st_uid == os.geteuid():
                    shutil.rmtree(os.path.join(shared, name))

        yield "a rendezvous another user made up is never taken for a recording"
        clear_our_folders()
        squatted = "999999-1"
        squatter = subprocess.Popen(as_user(user, [sys.executable, "-c", SQUATTER, shared,
                                                   str(os.geteuid()), "999999"]),
                                    stdout=subprocess.PIPE, cwd="/")
        try:
            check(read_line(squatter.stdout, 10) == "ready\n", "the squatter did not start")
            status, stdout, err = run([ARGS.fake, "record", "--stop", squatted], env, "/")
            check((status, stdout, err) == (2, "", f"vantle: no recording {squatted} is running\n"),
                  f"stop against a squatter: {status} {stdout!r} {err!r}")
        finally:
            squatter.kill()
            squatter.wait()
            subprocess.run(as_user(user, ["rm", "-rf"] + [os.path.join(shared, n) for n in os.listdir(shared)]),
                           capture_output=True)

        yield "a real recording runs and finishes although another user took every name first"
        with open("/proc/sys/kernel/ns_last_pid") as last:
            last_pid = int(last.read())
        with open("/proc/sys/kernel/pid_max") as limit:
            pid_max = int(limit.read())
        # The next 600 process ids, as the kernel hands them out (after the
        # highest it starts again above the first 300), three sockets each.
        pids = []
        for n in range(1, 601):
            pid = last_pid + n
            pids.append(pid if pid < pid_max else 300 + pid - pid_max)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < 4096:
            resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
        squatter = subprocess.Popen(as_user(user, [sys.executable, "-c", SQUATTER, shared,
                                                   str(os.geteuid()),
                                                   ",".join(map(str, pids))]),
                                    stdout=subprocess.PIPE, cwd="/")
        display = XDisplay()
        try:
            check(read_line(squatter.stdout, 30) == "ready\n", "the squatter did not start")
            display.window("recorded", "--pattern")
            real = Started([ARGS.cli, "record", "--window", "recorded", "--out", clip, "--json"],
                           display.env(env), ws.root)
            try:
                pid = int(real.id.split("-")[0])
                check(pid in pids, f"the recorder's pid {pid} was not squatted")
                time.sleep(1)
                check(real.process.poll() is None, "the recording ended")
                status, stdout, err = run([ARGS.fake, "record", "--stop", real.id], env, "/", user)
                check((status, stdout, err) == (2, "", f"vantle: no recording {real.id} is running\n"),
                      f"stop as the squatter: {status} {stdout!r} {err!r}")
                status, stdout, err = run([ARGS.fake, "record", "--stop", real.id], env, "/")
                check((status, err) == (0, ""), f"stop as the owner: {status} {stdout!r} {err!r}")
                status, stdout, err = real.finish()
                check(status == 0, f"recording: {status} {err!r}")
            finally:
                if real.process.poll() is None:
                    real.process.kill()
                    real.process.wait()
            check((video_frames(clip) or 0) >= 1, "clip.mp4 is not a whole MP4")
            check(listing(out) == ["clip.mp4"], f"files: {listing(out)}")
            ours = [name for name in os.listdir(shared)
                    if os.lstat(os.path.join(shared, name)).st_uid == os.geteuid()]
            check(len(ours) == 1 and os.lstat(os.path.join(shared, ours[0])).st_mode & 0o7777 == 0o700,
                  f"the private folder: {ours}")
            check(squatter.poll() is None, "the squatter ended")
        finally:
            display.close()
            squatter.kill()
            squatter.wait()


# Run as another user: takes every name a recording of user `uid` with an
# id "<pid>-1" for the given pids could use, in the abstract namespace and
# under the temporary folder `shared` (the private folder's first names, made
# open to all or as a link, with sockets in them), and answers "done" to
# whoever connects.
SQUATTER = r"""
import os, resource, selectors, socket, sys
shared, uid, pids = sys.argv[1], sys.argv[2], [int(p) for p in sys.argv[3].split(",")]
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
base = os.path.join(shared, "invalid.vantle.app-" + uid)
folders = [base, base + ".1"]
for folder in folders:
    os.mkdir(folder)
    os.chmod(folder, 0o777)
elsewhere = os.path.join(shared, "elsewhere")
os.mkdir(elsewhere, 0o700)
os.symlink(elsewhere, base + ".2")
listeners = []
for pid in pids:
    name = "invalid.vantle.app.record.%d-1" % pid
    for address in ["\0" + name] + [os.path.join(f, name) for f in folders]:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(address)
        s.listen(4)
        listeners.append(s)
selector = selectors.DefaultSelector()
for s in listeners:
    selector.register(s, selectors.EVENT_READ)
print("ready", flush=True)
while True:
    for key, _ in selector.select():
        c, _ = key.fileobj.accept()
        c.settimeout(1)
        try:
            c.recv(1)
            c.sendall(b"D")
        except OSError:
            pass
        c.close()
"""


def group_temporary_link(ws):
    """A symbolic link planted at "<name>.vantle-tmp" is never written through."""
    out = os.path.join(ws.root, "out")
    os.makedirs(out)
    keep = os.path.join(ws.root, "keep")
    os.makedirs(keep)
    precious = os.path.join(keep, "precious.txt")
    missing = os.path.join(keep, "created-through-link")

    def plant(folder, name, target):
        link = os.path.join(folder, name + ".vantle-tmp")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(link)
        os.symlink(target, link)
        return link

    def untouched():
        check(contents(precious) == b"precious\n", "the link's target was written")
        check(not os.path.lexists(missing), "a file was created through the link")

    write(precious, b"precious\n", 0o666)
    for target in (precious, missing):
        yield f"capture replaces a link to {os.path.basename(target)} without following it"
        plant(out, "shot.png", target)
        status, stdout, err = ws.fake(["capture", "--window", "Notes", "--out", "out/shot.png"])
        check((status, err) == (0, ""), f"capture: {status} {err!r}")
        untouched()
        check(listing(out) == ["shot.png"] and not os.path.islink(os.path.join(out, "shot.png")),
              f"files: {listing(out)}")

    # A shared sticky folder (as /tmp is) where the link belongs to someone the
    # caller cannot overrule: it can be neither removed nor followed.
    shared = os.path.join(ws.root, "shared")
    mount_tmpfs(shared, "size=2m,mode=1777")
    with second_user() as user:
        os.chown(precious, user.pw_uid, user.pw_gid)
        yield "capture by a user who cannot remove the planted link fails and follows nothing"
        plant(shared, "shot.png", precious)
        expect_failure(ws.fake(["capture", "--window", "Notes", "--out", f"{shared}/shot.png"], user, "/"),
                       1, f"vantle: could not write {shared}/shot.png: {os_text(1)}\n", "capture")
        untouched()

        yield "record by a user who cannot remove the planted link fails before it starts"
        plant(shared, "clip.mp4", precious)
        expect_failure(ws.fake(["record", "--window", "Notes", "--max-seconds", "1", "--out",
                                f"{shared}/clip.mp4", "--json"], user, "/"),
                       1, f"vantle: could not write {shared}/clip.mp4: {os_text(1)}\n", "record")
        untouched()

        display = XDisplay()
        try:
            display.window("recorded")
            for target in (precious, missing):
                yield f"a real recording replaces a link to {os.path.basename(target)} without following it"
                plant(out, "clip.mp4", target)
                status, stdout, err = ws.cli(["record", "--window", "recorded", "--max-seconds", "1",
                                              "--out", "out/clip.mp4"], display)
                check(status == 0 and err.startswith("vantle: recording started, id ")
                      and err.count("\n") == 1, f"record: {status} {err!r}")
                untouched()
                check("clip.mp4.vantle-tmp" not in listing(out), f"files: {listing(out)}")
                check((video_frames(os.path.join(out, "clip.mp4")) or 0) >= 1, "clip.mp4 is not whole")

            yield "a real recording by a user who cannot remove the planted link follows nothing"
            plant(shared, "clip.mp4", precious)
            expect_failure(ws.cli(["record", "--window", "recorded", "--max-seconds", "1", "--out",
                                   f"{shared}/clip.mp4"], display, user, "/"),
                           1, f"vantle: could not write {shared}/clip.mp4: {os_text(1)}\n", "record")
            untouched()
        finally:
            display.close()


GROUPS = {
    "full_disk": group_full_disk,
    "read_only": group_read_only,
    "killed_recording": group_killed_recording,
    "mcp_output_closed": group_mcp_output_closed,
    "one_writer": group_one_writer,
    "non_utf8_paths": group_non_utf8_paths,
    "mcp_ended": group_mcp_ended,
    "settings_replaced": group_settings_replaced,
    "stop_other_user": group_stop_other_user,
    "temporary_link": group_temporary_link,
}

# Groups whose every case mounts or needs root; the others only need the
# programs (and an X server where they record).
NEEDS_NAMESPACE = {"full_disk", "read_only", "temporary_link"}


def run_group(name):
    workdir = tempfile.mkdtemp(prefix=f"vantle-faults-{name}-")
    failed = 0
    try:
        cases = GROUPS[name](Workspace(workdir))
        case = None
        while True:
            try:
                case = next(cases)
            except StopIteration:
                break
            except Skip as skip:
                if case is None:
                    raise
                # The cases before this one passed and stay counted.
                print(f"skipped: {case} and the cases after it: {skip}")
                break
            except Failure as failure:
                print(f"FAIL {case}: {failure}")
                failed += 1
                break
            print(f"case: {case}", flush=True)
        if failed == 0:
            print(f"ok: {name}")
    finally:
        # Unmount before removing, so a removal never reaches into a mount.
        with open("/proc/self/mounts") as mounts:
            for line in reversed(mounts.read().splitlines()):
                point = line.split()[1]
                if point.startswith(workdir + "/"):
                    subprocess.run(["umount", "-l", point], capture_output=True)
        shutil.rmtree(workdir, ignore_errors=True)
    return 1 if failed else 0


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli")
    parser.add_argument("--fake")
    parser.add_argument("--window")
    parser.add_argument("--group", choices=sorted(GROUPS))
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    ARGS = parser.parse_args()
    for name in ("cli", "fake", "window"):
        if getattr(ARGS, name):
            setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    if ARGS.list:
        print("\n".join(GROUPS))
        return 0
    if not ARGS.in_namespace and ARGS.group in NEEDS_NAMESPACE | {"stop_other_user"}:
        if os.geteuid() != 0:
            print(f"skipped: {ARGS.group} needs root")
            return SKIP
        probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                               capture_output=True)
        if probe.returncode != 0:
            print(f"skipped: no private mount namespace ({probe.stderr.decode().strip()})")
            return SKIP
        return subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                               os.path.abspath(__file__), "--in-namespace"] + sys.argv[1:]).returncode
    try:
        return run_group(ARGS.group)
    except Skip as skip:
        print(f"skipped: {skip}")
        return SKIP


if __name__ == "__main__":
    sys.exit(main())
