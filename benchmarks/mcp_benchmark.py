#!/usr/bin/env python3
"""Times the automation server of a built program over pipes, as a client sees it.

  mcp_benchmark.py --binary build/release/cli/vantle-cli [--pings N] [--starts N]
  mcp_benchmark.py --binary build/release/cli/vantle-cli --capture [--rounds N]
                   [--content pattern|noise]

- start: from starting `<binary> mcp` with a ping already waiting on its
  standard input to that ping's reply line (median and 90th percentile);
- round trips: one ping at a time, each sent only after the previous reply
  came back (requests per second and the mean round trip);
- pipelined: N pings written at once, all replies read (requests per second).
The desktop is never touched: ping is answered by the dispatcher alone.

With --capture, the capture tool instead, on a private Xvfb at 1920x1080 and at
3840x2160 with one window as large as the screen: the time from the request to
its reply (picture, file and preview), beside `vantle-cli capture --window` of
the same window minus the process's start (the median of `vantle-cli
--version`), the two taking turns; medians and their ratio.
"""

import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "harness"))
from harness import XServerError, start_x_server, xvfb_argv  # noqa: E402

PING = b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n'
PONG = b'{"id":1,"jsonrpc":"2.0","result":{}}\n'


def start(binary):
    return subprocess.Popen([binary, "mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, bufsize=0)


def read_replies(process, count):
    """Reads until `count` reply lines have arrived; returns them joined."""
    chunks = []
    lines = 0
    fd = process.stdout.fileno()
    while lines < count:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            raise SystemExit("the server ended early")
        chunks.append(chunk)
        lines += chunk.count(b"\n")
    return b"".join(chunks)


def time_to_first_reply(binary, starts):
    times = []
    for _ in range(starts):
        begin = time.perf_counter()
        process = start(binary)
        process.stdin.write(PING)
        reply = read_replies(process, 1)
        times.append(time.perf_counter() - begin)
        assert reply == PONG, reply
        process.stdin.close()
        process.wait()
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.9) - 1]


def round_trips(binary, pings):
    process = start(binary)
    fd = process.stdout.fileno()
    process.stdin.write(PING)
    read_replies(process, 1)  # warm up
    begin = time.perf_counter()
    for _ in range(pings):
        os.write(process.stdin.fileno(), PING)
        data = b""
        while not data.endswith(b"\n"):
            select.select([fd], [], [])
            data += os.read(fd, 4096)
    elapsed = time.perf_counter() - begin
    process.stdin.close()
    process.wait()
    return pings / elapsed, elapsed / pings


def pipelined(binary, pings):
    process = start(binary)
    begin = time.perf_counter()
    # The writing runs beside the reading, so neither pipe fills up and stalls.
    writer = threading.Thread(target=lambda: (process.stdin.write(PING * pings),
                                              process.stdin.close()))
    writer.start()
    data = read_replies(process, pings)
    elapsed = time.perf_counter() - begin
    writer.join()
    process.wait()
    assert data == PONG * pings
    return pings / elapsed


def wall_of(argv, env):
    begin = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - begin


def capture_versus_cli(binary, rounds, content):
    test_window = os.path.join(os.path.dirname(binary), "..", "tests", "x11", "vantle-test-window")
    if not os.access(test_window, os.X_OK):
        raise SystemExit(f"{test_window} is missing: build the release preset's test window")
    print(f"capture tool against the command line, {content} content "
          f"(medians of {rounds} rounds; load average {os.getloadavg()[0]:.2f})")
    for width, height in ((1920, 1080), (3840, 2160)):
        try:
            server, display = start_x_server(xvfb_argv(f"{width}x{height}x24"))
        except XServerError as error:
            raise SystemExit(f"Xvfb {error}") from None
        env = dict(os.environ, DISPLAY=display)
        window = subprocess.Popen([test_window, "--title", "shown", f"--{content}", "--size",
                                   f"{width}x{height}"], env=env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        mcp = None
        try:
            if not window.stdout.readline().strip():
                raise SystemExit("the window did not come up")
            with tempfile.TemporaryDirectory(prefix="vantle-mcp-capture-") as folder:
                mcp = subprocess.Popen([binary, "mcp"], env=env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       bufsize=0)
                mcp.stdin.write(b'{"jsonrpc":"2.0","id":0,"method":"initialize","params":'
                                b'{"protocolVersion":"2025-06-18","capabilities":{},'
                                b'"clientInfo":{"name":"bench","version":"1"}}}\n')
                read_replies(mcp, 1)
                mcp.stdin.write(b'{"jsonrpc":"2.0","method":"notifications/initialized"}\n')
                path = os.path.join(folder, "tool.png")
                request = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                                      "params": {"name": "capture", "arguments":
                                                 {"window": "shown", "out": path}}}).encode()
                cli_path = os.path.join(folder, "cli.png")
                tool, cli, start = [], [], []
                for _ in range(rounds):
                    begin = time.perf_counter()
                    mcp.stdin.write(request + b"\n")
                    reply = read_replies(mcp, 1)
                    tool.append(time.perf_counter() - begin)
                    if b'"isError":false' not in reply:
                        raise SystemExit(f"the capture tool failed: {reply[:300]!r}")
                    cli.append(wall_of([binary, "capture", "--window", "shown", "--out",
                                        cli_path], env))
                    start.append(wall_of([binary, "--version"], env))
                tool_ms = statistics.median(tool) * 1000
                start_ms = statistics.median(start) * 1000
                cli_ms = statistics.median(cli) * 1000 - start_ms
                print(f"  {width}x{height}: tool {tool_ms:6.1f} ms, command line {cli_ms:6.1f} ms "
                      f"(process start {start_ms:4.1f} ms taken off): ratio "
                      f"{tool_ms / cli_ms:.2f}")
        finally:
            if mcp is not None:
                mcp.stdin.close()
                mcp.wait()
            window.terminate()
            window.wait()
            server.terminate()
            server.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--pings", type=int, default=20000)
    parser.add_argument("--starts", type=int, default=50)
    parser.add_argument("--capture", action="store_true")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--content", choices=("pattern", "noise"), default="pattern")
    options = parser.parse_args()
    binary = os.path.abspath(options.binary)
    if options.capture:
        capture_versus_cli(binary, options.rounds, options.content)
        return

    median, p90 = time_to_first_reply(binary, options.starts)
    print("start to first reply: median %.2f ms, 90th percentile %.2f ms (%d starts)"
          % (median * 1e3, p90 * 1e3, options.starts))
    rate, mean = round_trips(binary, options.pings)
    print("ping round trips: %.0f requests/s, %.1f us each (%d pings, one at a time)"
          % (rate, mean * 1e6, options.pings))
    print("pipelined pings: %.0f requests/s (%d pings written at once)"
          % (pipelined(binary, options.pings * 5), options.pings * 5))


if __name__ == "__main__":
    main()
