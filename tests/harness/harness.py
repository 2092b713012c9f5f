"""What the scripts that drive the built programs share: reading the PNG files
the program writes, preparing the environment of the fake program, and
starting a private X server.

Imported by tests/cli/run_transcripts.py, tests/automation/mcp/run_sessions.py,
tests/win/wine_desktop.py, tests/faults/run_faults.py and the Python
benchmarks, each of which puts this folder on sys.path.
"""

import argparse
import json
import os
import select
import shlex
import subprocess
import time
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
RGBA8_HEADER = b"\x08\x06\x00\x00\x00"  # 8 bits, RGBA, deflate, adaptive filters, no interlace


def encode(text):
    """The bytes of a text in which a lone surrogate escape stands for a raw byte."""
    return text.encode("utf-8", "surrogateescape")


def png_rows(data):
    """(width, height, the filtered rows) of a whole 8-bit RGBA PNG.

    Every chunk's length and CRC is checked, IEND must end the file and the
    image data must hold every row; otherwise ValueError says what is wrong.
    """
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("no PNG signature")
    pos, header, idat, ended = 8, None, b"", False
    while pos + 8 <= len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        crc = int.from_bytes(data[pos + 8 + length:pos + 12 + length], "big")
        if len(body) != length or zlib.crc32(kind + body) != crc:
            raise ValueError("chunk %r is cut short or has a wrong CRC" % kind)
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            ended = pos + 12 + length == len(data)
        pos += 12 + length
    if header is None or not ended:
        raise ValueError("no IHDR or no final IEND")
    width = int.from_bytes(header[0:4], "big")
    height = int.from_bytes(header[4:8], "big")
    if header[8:13] != RGBA8_HEADER:
        raise ValueError("not 8-bit RGBA without interlace")
    try:
        rows = zlib.decompress(idat)
    except zlib.error as error:
        raise ValueError("image data: %s" % error) from None
    if len(rows) != height * (1 + 4 * width):
        raise ValueError("the image data does not hold every row")
    return width, height, rows


def png_size(data):
    """The (width, height) of a whole 8-bit RGBA PNG, or a text saying what is wrong."""
    try:
        width, height, _ = png_rows(data)
    except ValueError as error:
        return str(error)
    return (width, height)


def fake_program_env(desktop, base, folder, fill=lambda text: text):
    """The environment for one run of the program: this one without the fake
    program's variables, and with VANTLE_FAKE_DESKTOP naming the scripted
    desktop when there is one. An object is written to folder/desktop.json as
    JSON passed through `fill`; a text names a file relative to `base`."""
    env = dict(os.environ)
    env.pop("VANTLE_FAKE_DESKTOP", None)
    env.pop("VANTLE_FAKE_CALLS", None)
    if isinstance(desktop, dict):
        path = os.path.join(folder, "desktop.json")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(fill(json.dumps(desktop)))
        env["VANTLE_FAKE_DESKTOP"] = path
    elif isinstance(desktop, str):
        env["VANTLE_FAKE_DESKTOP"] = os.path.join(base, desktop)
    return env


def runner_arguments():
    """The arguments of a runner, `--binary PATH [--wrapper CMD] FILE...`: the
    binary as an absolute path, the wrapper's words (none without one) and the
    case files."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--wrapper", default="")
    parser.add_argument("files", nargs="+")
    options = parser.parse_args()
    return os.path.abspath(options.binary), shlex.split(options.wrapper), options.files


class XServerError(RuntimeError):
    """An X server that printed no display number; `status` is its exit status,
    None when it was still running (and has been killed)."""

    def __init__(self, status):
        super().__init__(f"did not start (status {status})")
        self.status = status


def xvfb_argv(screen):
    """Xvfb on a display of its own; -noreset keeps RandR monitors made by the
    tests when the last client leaves."""
    return ["Xvfb", "-displayfd", "{fd}", "-noreset", "-nolisten", "tcp", "-screen", "0", screen]


def start_x_server(argv, start=None, seconds=30):
    """Starts the X server `argv`, in which "{fd}" stands for the descriptor that
    -displayfd writes the display number to, and returns (process, ":N").
    `start(argv, pass_fds)` starts it (by default quietly, output discarded).
    Raises XServerError when no number comes within `seconds`."""
    read_end, write_end = os.pipe()
    argv = [a.replace("{fd}", str(write_end)) for a in argv]
    try:
        if start is None:
            server = subprocess.Popen(argv, pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        else:
            server = start(argv, pass_fds=(write_end,))
    except BaseException:
        os.close(read_end)
        raise
    finally:
        os.close(write_end)
    number = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], 0.2)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        elif server.poll() is not None:
            break
    os.close(read_end)
    if not number.strip():
        status = server.poll()
        if status is None:
            server.kill()
            server.wait()
        raise XServerError(status)
    return server, ":" + number.decode().strip()
