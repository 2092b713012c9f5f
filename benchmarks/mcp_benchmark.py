#!/usr/bin/env python3
"""Times the automation server of a built program over pipes, as a client sees it.

  mcp_benchmark.py --binary build/release/cli/vantle-cli [--pings N] [--starts N]

- start: from starting `<binary> mcp` with a ping already waiting on its
  standard input to that ping's reply line (median and 90th percentile);
- round trips: one ping at a time, each sent only after the previous reply
  came back (requests per second and the mean round trip);
- pipelined: N pings written at once, all replies read (requests per second).
The desktop is never touched: ping is answered by the dispatcher alone.
"""

import argparse
import os
import select
import statistics
import subprocess
import threading
import time

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--pings", type=int, default=20000)
    parser.add_argument("--starts", type=int, default=50)
    options = parser.parse_args()
    binary = os.path.abspath(options.binary)

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
