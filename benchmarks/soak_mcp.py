#!/usr/bin/env python3
"""A long session with the built automation server on a private X display.

  soak_mcp.py --build build/release [--requests 100000] [--recordings 20]
  soak_mcp.py --binary <vantle-cli> --test-window <vantle-test-window> ...

It starts Xvfb (with -displayfd and -noreset), openbox and a few windows of
tests/x11's test-window program, then runs one `vantle-cli mcp` through two
phases:

- requests: a mix of ping, tools/list, initialize, malformed lines, invalid
  requests, unknown methods, notifications, batches, list_windows and small
  region and window captures, written ahead of the replies by a writer thread.
  Every reply is checked against what its request must get, in order: a reply
  that is lost, extra, out of order or wrong ends the run with a failure. The
  server's VmRSS and VmHWM (from /proc/<pid>/status) are reported every tenth
  of the run, so the figures at 10,000 and 100,000 requests of a full run are
  among them.
- recordings: that many record_start calls on the same server (windows and
  regions in turn), all running at once while pings and listings go on, then
  record_stop for all but --left-running of them; those are left to the end of
  the input, which must stop them and finish their files. Every MP4 must be
  complete: ffprobe reads it as H.264 of the reported size with exactly the
  reported number of frames, and that number must fit the time it ran.

A request is one line written: a batch counts once. Exit status 0 when every
check held, 1 otherwise; the figures go to standard output.
"""

import argparse
import collections
import json
import os
import random
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

# The shared module is imported from the source tree, which is left as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "harness"))
from harness import XServerError, start_x_server, xvfb_argv  # noqa: E402

WINDOWS = [
    # title, colour, position, size
    ("soak one", "3366CC", (40, 40), (240, 160)),
    ("soak two", "CC6633", (320, 60), (200, 150)),
    ("soak three", "33AA55", (120, 260), (320, 180)),
]
TOOL_NAMES = ["capture", "list_windows", "record_start", "record_stop"]
MALFORMED = [
    b'{"jsonrpc":"2.0","id":1,"method":"ping"',
    b"not json at all",
    b'{"id":1,"method":"ping"} {"id":2,"method":"ping"}',
    b'{"id":1,"method":"ping",}',
    b"[" * 200 + b"]" * 200,
    b'{"id":"\\ud800x","method":"ping"}',
]


class Failure(Exception):
    pass


def memory(pid):
    """VmRSS and VmHWM of a process in KiB."""
    figures = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                figures[key] = int(value.split()[0])
    return figures["VmRSS"], figures["VmHWM"]


class Desktop:
    """Xvfb with openbox and the test windows; everything it starts it ends."""

    def __init__(self, test_window, home):
        self.processes = []
        try:
            self.server, self.display = start_x_server(xvfb_argv("800x600x24"))
        except XServerError as error:
            raise Failure(f"Xvfb {error}") from None
        self.processes.append(self.server)
        self.env = dict(os.environ, DISPLAY=self.display, HOME=home, XDG_CONFIG_HOME=home,
                        XDG_CACHE_HOME=home)
        # openbox announces itself before it handles map requests; the command
        # it runs once it is up marks the moment windows can be opened.
        self.processes.append(subprocess.Popen(
            ["openbox", "--sm-disable", "--startup",
             "xprop -root -f _VANTLE_WM_READY 32c -set _VANTLE_WM_READY 1"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 20
        while b"= 1" not in subprocess.run(["xprop", "-root", "_VANTLE_WM_READY"], env=self.env,
                                           capture_output=True).stdout:
            if time.monotonic() > deadline:
                raise Failure("openbox did not come up")
            time.sleep(0.05)
        self.windows = {}
        # Each window's colours in the order they were painted, with the time.
        self.repaints = {}
        for title, colour, (x, y), (width, height) in WINDOWS:
            window = subprocess.Popen(
                [test_window, "--title", title, "--color", colour, "--pos", f"{x},{y}",
                 "--size", f"{width}x{height}"],
                env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            self.processes.append(window)
            if not window.stdout.readline().strip():
                raise Failure(f"the window {title!r} did not come up")
            self.windows[title] = window

    def repaint(self, title, colour):
        window = self.windows[title]
        window.stdin.write(f"color {colour}\n".encode())
        window.stdin.flush()
        self.repaints.setdefault(title, []).append((time.monotonic(), colour))

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


class Session:
    """One `vantle-cli mcp`: lines are written by a thread of their own while
    the caller reads the replies, each checked against what is expected next."""

    def __init__(self, binary, env, stderr):
        self.process = subprocess.Popen([binary, "mcp"], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=stderr, bufsize=0)
        self.expected = collections.deque()  # (description, check) per reply line
        self.lock = threading.Condition()
        self.sent = 0
        self.replies = 0
        self.reader = self.process.stdout
        self.buffer = b""

    def send(self, line, check=None, description=""):
        """Writes one line; `check` validates the one reply it must get (none
        for lines that get no reply)."""
        if check is not None:
            with self.lock:
                self.expected.append((description, check))
        self.process.stdin.write(line + b"\n")
        self.sent += 1

    def read_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.reader], [], [], left)[0]:
                raise Failure(f"no reply within {timeout} s after {self.replies} replies")
            chunk = os.read(self.reader.fileno(), 1 << 16)
            if not chunk:
                raise Failure(f"the server's output ended after {self.replies} replies")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line

    def check_next(self, timeout=60):
        line = self.read_line(timeout)
        with self.lock:
            if not self.expected:
                raise Failure(f"a reply nobody asked for: {line[:300]!r}")
            description, check = self.expected.popleft()
        try:
            reply = json.loads(line)
        except ValueError as error:
            raise Failure(f"reply {self.replies + 1} is not JSON ({error}): {line[:300]!r}")
        try:
            check(reply)
        except (AssertionError, KeyError, TypeError, IndexError, ValueError) as error:
            raise Failure(f"reply {self.replies + 1} to {description} is wrong ({error!r}): "
                          f"{line[:400]!r}")
        self.replies += 1
        return reply

    def call(self, request, check, description, timeout=60):
        """One request with nothing else outstanding; returns its checked reply."""
        self.send(json.dumps(request).encode(), check, description)
        return self.check_next(timeout)

    def end(self, timeout=120):
        self.process.stdin.close()
        extra = self.reader.read()
        if extra.strip():
            raise Failure(f"output after the last reply: {extra[:300]!r}")
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure(f"the server did not exit within {timeout} s of the end of its input")


def expect_result(id_value, result_check=None):
    def check(reply):
        assert reply.get("id") == id_value, f"id {reply.get('id')!r}, expected {id_value!r}"
        assert list(reply) == ["id", "jsonrpc", "result"], list(reply)
        if result_check is not None:
            result_check(reply["result"])
    return check


def expect_error(id_value, code):
    def check(reply):
        assert list(reply) == ["error", "id", "jsonrpc"], list(reply)
        assert reply["id"] == id_value, f"id {reply['id']!r}, expected {id_value!r}"
        assert reply["error"]["code"] == code, reply["error"]
    return check


def tool_text(result):
    assert result["isError"] is False, result["content"][0]["text"]
    return json.loads(result["content"][0]["text"])


def check_tools(result):
    assert sorted(tool["name"] for tool in result["tools"]) == TOOL_NAMES


def check_listing(result):
    titles = {window["title"] for window in tool_text(result)["windows"]}
    assert titles >= {title for title, *_ in WINDOWS}, titles


def check_capture(width, height, path):
    def check(result):
        captured = tool_text(result)
        assert (captured["width"], captured["height"]) == (width, height), captured
        assert captured["path"] == path, captured
        assert result["content"][2]["mimeType"] == "image/png"
    return check


class Requests:
    """The request mix; each request is one line and knows its reply."""

    def __init__(self, seed, folder):
        self.random = random.Random(seed)
        self.folder = folder
        self.next_id = 0
        self.kinds = [
            (30, self.ping), (8, self.tools_list), (3, self.initialize),
            (8, self.malformed), (4, self.invalid), (4, self.unknown_method),
            (5, self.notification), (10, self.batch), (10, self.list_windows),
            (12, self.capture_region), (6, self.capture_window),
        ]
        self.weights = [weight for weight, _ in self.kinds]
        self.counts = collections.Counter()

    def new_id(self):
        self.next_id += 1
        # Numbers and strings both, as clients use them.
        return self.next_id if self.next_id % 3 else f"r-{self.next_id}"

    def draw(self):
        """(line, check or None, description) for one random request."""
        kind = self.random.choices(self.kinds, weights=self.weights)[0][1]
        self.counts[kind.__name__] += 1
        return kind()

    def ping(self):
        id_value = self.new_id()
        return ({"jsonrpc": "2.0", "id": id_value, "method": "ping"},
                expect_result(id_value, lambda r: r == {} or self.fail(r)), "ping")

    def tools_list(self):
        id_value = self.new_id()
        return ({"jsonrpc": "2.0", "id": id_value, "method": "tools/list"},
                expect_result(id_value, check_tools), "tools/list")

    def initialize(self):
        id_value = self.new_id()
        version = self.random.choice(["2025-11-25", "2025-06-18", "2024-11-05", "1999-01-01"])
        wanted = "2025-11-25" if version == "1999-01-01" else version

        def check(result):
            assert result["protocolVersion"] == wanted, result["protocolVersion"]
        return ({"jsonrpc": "2.0", "id": id_value, "method": "initialize",
                 "params": {"protocolVersion": version}}, expect_result(id_value, check),
                "initialize")

    def malformed(self):
        return self.random.choice(MALFORMED), expect_error(None, -32700), "a malformed line"

    def invalid(self):
        id_value = self.new_id()
        return {"jsonrpc": "2.0", "id": id_value, "method": 7}, expect_error(id_value, -32600), \
            "an invalid request"

    def unknown_method(self):
        id_value = self.new_id()
        return {"jsonrpc": "2.0", "id": id_value, "method": "resources/list"}, \
            expect_error(id_value, -32601), "an unknown method"

    def notification(self):
        return {"jsonrpc": "2.0", "method": "notifications/initialized"}, None, "a notification"

    def batch(self):
        elements, checks = [], []
        for _ in range(self.random.randint(1, 5)):
            request, check, _ = self.random.choice(
                [self.ping, self.tools_list, self.invalid, self.unknown_method,
                 self.notification])()
            elements.append(request)
            if check is not None:
                checks.append(check)
        if not checks:
            return elements, None, "a batch of notifications"

        def check(reply):
            assert isinstance(reply, list) and len(reply) == len(checks), \
                f"{len(reply) if isinstance(reply, list) else reply!r} replies, " \
                f"expected {len(checks)}"
            for element, element_check in zip(reply, checks):
                element_check(element)
        return elements, check, f"a batch of {len(elements)}"

    def list_windows(self):
        id_value = self.new_id()
        return ({"jsonrpc": "2.0", "id": id_value, "method": "tools/call",
                 "params": {"name": "list_windows"}}, expect_result(id_value, check_listing),
                "list_windows")

    def capture_region(self):
        id_value = self.new_id()
        width, height = self.random.randint(1, 48), self.random.randint(1, 32)
        x, y = self.random.randint(0, 700), self.random.randint(0, 500)
        # A few files in turn: each capture replaces the file of an earlier one.
        path = os.path.join(self.folder, f"region-{self.next_id % 8}.png")
        return ({"jsonrpc": "2.0", "id": id_value, "method": "tools/call",
                 "params": {"name": "capture", "arguments": {
                     "region": {"x": x, "y": y, "width": width, "height": height},
                     "out": path}}},
                expect_result(id_value, check_capture(width, height, path)), "capture (region)")

    def capture_window(self):
        id_value = self.new_id()
        title, *_ = self.random.choice(WINDOWS)
        path = os.path.join(self.folder, f"window-{self.next_id % 4}.png")

        def check(result):
            captured = tool_text(result)
            assert captured["target"]["title"] == title and captured["path"] == path, captured
        return ({"jsonrpc": "2.0", "id": id_value, "method": "tools/call",
                 "params": {"name": "capture", "arguments": {"window": title, "out": path}}},
                expect_result(id_value, check), "capture (window)")

    @staticmethod
    def fail(value):
        raise AssertionError(f"unexpected {value!r}")


def request_phase(session, requests, count, pid):
    """Writes `count` requests ahead of the replies and checks every reply."""
    planned = [requests.draw() for _ in range(count)]
    print("  mix: " + ", ".join(f"{name} {n}" for name, n in sorted(requests.counts.items())),
          flush=True)
    expected_replies = sum(1 for _, check, _ in planned if check is not None)
    # Where the figures are taken: after the reply to request k of each tenth.
    marks = {}
    replies_before = 0
    step = max(count // 10, 1)
    for index, (_, check, _) in enumerate(planned, 1):
        replies_before += check is not None
        if index % step == 0 or index == count:
            marks.setdefault(replies_before, []).append(index)
    failure = []

    def write():
        try:
            for request, check, description in planned:
                line = request if isinstance(request, bytes) else \
                    json.dumps(request, separators=(",", ":")).encode()
                session.send(line, check, description)
        except (BrokenPipeError, OSError) as error:
            failure.append(f"writing to the server failed after {session.sent} lines: {error}")

    # The writer runs ahead, so the server never waits for the client; the
    # pipes bound how far ahead it gets.
    writer = threading.Thread(target=write, daemon=True)
    begin = time.monotonic()
    writer.start()
    def figures(replies):
        for index in marks.pop(replies, []):
            rss, hwm = memory(pid)
            print(f"  after {index:>7} requests ({session.replies} replies): "
                  f"VmRSS {rss} KiB, VmHWM {hwm} KiB", flush=True)

    figures(0)
    for _ in range(expected_replies):
        # A reply can only come after its expectation was queued, so a reply
        # with none queued is one too many.
        session.check_next()
        figures(session.replies)
    writer.join()
    if failure:
        raise Failure(failure[0])
    elapsed = time.monotonic() - begin
    print(f"  {count} requests, {expected_replies} replies checked in {elapsed:.1f} s "
          f"({count / elapsed:.0f} requests/s)", flush=True)


def probe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
         "stream=codec_name,width,height,nb_read_frames", "-of", "json", path],
        capture_output=True, text=True)
    if out.returncode != 0:
        raise Failure(f"ffprobe cannot read {path}: {out.stderr.strip()}")
    streams = json.loads(out.stdout).get("streams", [])
    if not streams:
        raise Failure(f"{path} has no video stream")
    stream = streams[0]
    return stream["codec_name"], stream["width"], stream["height"], \
        int(stream.get("nb_read_frames", 0))


def recording_phase(session, desktop, folder, count, left_running, fps, seconds):
    """Starts `count` recordings on one server, runs them together, stops them."""
    ids = []
    started = {}
    targets = []
    for k in range(count):
        if k % 4 == 3:
            x, y = 20 * (k % 10), 15 * (k % 7)
            targets.append(({"region": {"x": x, "y": y, "width": 160, "height": 120}},
                            (160, 120)))
        else:
            targets.append(({"window": WINDOWS[k % len(WINDOWS)][0]}, None))
    begin = time.monotonic()
    for k, (target, _) in enumerate(targets):
        path = os.path.join(folder, f"recording-{k}.mp4")
        request_id = f"start-{k}"
        sent = time.monotonic()
        reply = session.call(
            {"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
             "params": {"name": "record_start",
                        "arguments": dict(target, out=path, fps=fps)}},
            expect_result(request_id, tool_text), f"record_start {k}", timeout=30)
        event = tool_text(reply["result"])
        if event["event"] != "started" or event["path"] != path:
            raise Failure(f"record_start {k} answered {event}")
        ids.append(event["id"])
        started[event["id"]] = (path, sent, time.monotonic())
    if len(set(ids)) != len(ids):
        raise Failure(f"record_start gave an id twice: {ids}")
    print(f"  {count} recordings started in {time.monotonic() - begin:.1f} s", flush=True)
    # Other calls go on while they run, and the pictures change.
    colours = ["CC3333", "33CC33", "3333CC", "CCCC33"]
    run_until = time.monotonic() + seconds
    k = 0
    while time.monotonic() < run_until:
        desktop.repaint(WINDOWS[k % len(WINDOWS)][0], colours[k % len(colours)])
        session.call({"jsonrpc": "2.0", "id": f"during-{k}", "method": "ping"},
                     expect_result(f"during-{k}"), "ping during the recordings")
        session.call({"jsonrpc": "2.0", "id": f"list-{k}", "method": "tools/call",
                      "params": {"name": "list_windows"}},
                     expect_result(f"list-{k}", check_listing), "list_windows during recordings")
        k += 1
        time.sleep(0.05)
    outcomes = {}
    stopped = ids[:len(ids) - left_running] if left_running else ids
    for recording_id in stopped:
        request_id = f"stop-{recording_id}"
        sent = time.monotonic()
        reply = session.call({"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
                              "params": {"name": "record_stop", "arguments": {"id": recording_id}}},
                             expect_result(request_id, tool_text), f"record_stop {recording_id}",
                             timeout=60)
        outcomes[recording_id] = (tool_text(reply["result"]), sent, time.monotonic())
    again = session.call({"jsonrpc": "2.0", "id": "stop-again", "method": "tools/call",
                          "params": {"name": "record_stop", "arguments": {"id": ids[0]}}},
                         expect_result("stop-again"), "a second record_stop")
    if again["result"]["isError"] is not True:
        raise Failure(f"a second record_stop of {ids[0]} did not fail: {again}")
    return ids, started, outcomes, targets


def centre_colours(path, width, height):
    """The colour at the middle of every frame of a video, decoded by ffmpeg."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt",
                          "rgb24", "-"], capture_output=True)
    if out.returncode != 0:
        raise Failure(f"ffmpeg cannot decode {path}: {out.stderr.decode(errors='replace')}")
    size = width * height * 3
    at = ((height // 2) * width + width // 2) * 3
    return [tuple(out.stdout[i + at:i + at + 3]) for i in range(0, len(out.stdout), size)]


def check_content(path, width, height, title, desktop, fps):
    """The frames of a window's recording show its colours in the order they were
    painted, each for as long as it stayed on long enough to be seen, and
    nothing else."""
    initial = next(colour for name, colour, _, _ in WINDOWS if name == title)
    painted = [(0.0, initial)] + desktop.repaints.get(title, [])
    palette = {colour: tuple(bytes.fromhex(colour)) for _, colour in painted}

    def named(rgb):
        distance, colour = min((max(abs(a - b) for a, b in zip(rgb, want)), colour)
                               for colour, want in palette.items())
        if distance <= 24:
            return colour
        raise Failure(f"{path}: a frame shows {rgb}, none of the colours {title!r} was painted")

    shown = []
    for rgb in centre_colours(path, width, height):
        # A repaint clears the window to its black background before it paints
        # the new colour, so a picture may catch it in between.
        if all(channel <= 40 for channel in rgb):
            continue
        colour = named(rgb)
        if not shown or shown[-1] != colour:
            shown.append(colour)
    # A colour on screen for two frame periods or more must be in the video; a
    # shorter one may fall between two frames. Each must come in its order.
    period = 1.0 / fps
    must = []
    for k, (when, colour) in enumerate(painted):
        ends = painted[k + 1][0] if k + 1 < len(painted) else None
        must.append(ends is None or k == 0 or ends - when >= 2 * period)
    position = 0
    for colour in shown:
        while position < len(painted) and painted[position][1] != colour:
            if must[position]:
                raise Failure(f"{path}: {painted[position][1]} (painted {position}th) is missing "
                              f"or out of order; the frames show {shown}, painted "
                              f"{[c for _, c in painted]}")
            position += 1
        if position == len(painted):
            raise Failure(f"{path}: the frames show {shown}, out of the order painted "
                          f"{[c for _, c in painted]}")
        position += 1
    if position != len(painted):
        raise Failure(f"{path}: the frames end with {shown[-1]}, not the last colour painted "
                      f"{painted[-1][1]}")


def check_recordings(ids, started, outcomes, targets, fps, input_closed, exited, desktop):
    """Every file complete, of the reported size and frame count, which fits
    the time between its start and its stop; a window's recording shows what
    the window showed."""
    frames_seen = []
    for k, recording_id in enumerate(ids):
        path, start_sent, start_reply = started[recording_id]
        if os.path.exists(path + ".vantle-tmp"):
            raise Failure(f"{path}.vantle-tmp was left behind")
        codec, width, height, frames = probe(path)
        if codec != "h264":
            raise Failure(f"{path} is {codec}, not h264")
        if recording_id in outcomes:
            outcome, stop_sent, stop_reply = outcomes[recording_id]
            if (outcome["frames"], outcome["width"], outcome["height"]) != \
                    (frames, width, height):
                raise Failure(f"{path}: record_stop reported {outcome['frames']} frames of "
                              f"{outcome['width']}x{outcome['height']}, the file has {frames} "
                              f"of {width}x{height}")
        else:
            stop_sent, stop_reply = input_closed, exited
        expected_size = targets[k][1]
        if expected_size and (width, height) != expected_size:
            raise Failure(f"{path} is {width}x{height}, expected {expected_size}")
        # The loop keeps to its schedule from the moment its thread starts
        # (catching up after late ticks), so the count is bounded by the wall
        # time from the start request to the stop reply above and from the
        # start reply to the stop request below; the lower bound leaves a tenth
        # and two ticks for a loaded machine.
        high = int((stop_reply - start_sent) * fps) + 2
        low = max(int((stop_sent - start_reply) * fps * 0.9) - 2, 1)
        if not low <= frames <= high:
            raise Failure(f"{path}: {frames} frames at {fps} fps, expected {low} to {high}")
        if "window" in targets[k][0]:
            check_content(path, width, height, targets[k][0]["window"], desktop, fps)
        frames_seen.append(frames)
    return frames_seen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="a build folder holding cli/ and tests/x11/")
    parser.add_argument("--binary", help="vantle-cli (default: <build>/cli/vantle-cli)")
    parser.add_argument("--test-window",
                        help="the test window (default: <build>/tests/x11/vantle-test-window)")
    parser.add_argument("--requests", type=int, default=100000)
    parser.add_argument("--recordings", type=int, default=20)
    parser.add_argument("--left-running", type=int, default=2,
                        help="recordings left to the end of the input")
    parser.add_argument("--record-seconds", type=float, default=3.0)
    parser.add_argument("--fps", type=int, default=10)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", action="store_true", help="keep the session folder")
    args = parser.parse_args()
    binary = args.binary or (args.build and os.path.join(args.build, "cli", "vantle-cli"))
    test_window = args.test_window or (
        args.build and os.path.join(args.build, "tests", "x11", "vantle-test-window"))
    if not binary or not test_window:
        parser.error("give --build, or --binary and --test-window")
    binary, test_window = os.path.abspath(binary), os.path.abspath(test_window)
    for tool in ("Xvfb", "openbox", "xprop", "ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            sys.exit(f"soak_mcp.py: {tool} is needed; scripts/setup installs it")
    left_running = min(args.left_running, args.recordings)

    folder = tempfile.mkdtemp(prefix="vantle-soak-")
    home = os.path.join(folder, "home")
    settings = os.path.join(home, "invalid.vantle.app")
    os.makedirs(settings)
    with open(os.path.join(settings, "config.json"), "w") as config:
        json.dump({"automation_allow_desktop": True}, config)
    desktop = None
    session = None
    status = 1
    try:
        desktop = Desktop(test_window, home)
        stderr = open(os.path.join(folder, "server-stderr.txt"), "wb")
        session = Session(binary, desktop.env, stderr)
        pid = session.process.pid
        session.call({"jsonrpc": "2.0", "id": "first", "method": "ping"}, expect_result("first"),
                     "the first ping")
        rss, hwm = memory(pid)
        print(f"server pid {pid} on {desktop.display}: VmRSS {rss} KiB, VmHWM {hwm} KiB after "
              f"its first reply", flush=True)
        if args.requests:
            print(f"requests: {args.requests}", flush=True)
            request_phase(session, Requests(args.seed, folder), args.requests, pid)
        if args.recordings:
            print(f"recordings: {args.recordings} at {args.fps} fps, "
                  f"{left_running} left to the end of the input", flush=True)
            ids, started, outcomes, targets = recording_phase(
                session, desktop, folder, args.recordings, left_running, args.fps,
                args.record_seconds)
            rss, hwm = memory(pid)
            print(f"  with {left_running} still running: VmRSS {rss} KiB, VmHWM {hwm} KiB",
                  flush=True)
        input_closed = time.monotonic()
        exit_status = session.end()
        exited = time.monotonic()
        if exit_status != 0:
            raise Failure(f"the server exited with {exit_status}")
        if args.recordings:
            frames = check_recordings(ids, started, outcomes, targets, args.fps, input_closed,
                                      exited, desktop)
            print(f"  {len(frames)} MP4 files complete, {min(frames)} to {max(frames)} frames "
                  f"each", flush=True)
        stderr.close()
        with open(os.path.join(folder, "server-stderr.txt"), "rb") as errors:
            text = errors.read().decode(errors="replace").strip()
        if text:
            # Nothing the soak asks for gives the server a reason to warn or
            # complain: any line there is a fault of the run.
            raise Failure("the server wrote to its standard error:\n" + text)
        print(f"soak passed: {session.sent} lines sent, {session.replies} replies checked")
        status = 0
    except Failure as failure:
        print(f"soak failed: {failure}", file=sys.stderr)
        if session is not None and session.process.poll() is not None:
            print(f"the server ended with {session.process.returncode}", file=sys.stderr)
    finally:
        if session is not None and session.process.poll() is None:
            session.process.kill()
            session.process.wait()
        if desktop is not None:
            desktop.close()
        if args.keep or status != 0:
            print(f"session folder kept: {folder}", file=sys.stderr)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
