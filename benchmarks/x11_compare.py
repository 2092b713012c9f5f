#!/usr/bin/env python3
"""vantle-cli beside other X11 screenshot and recording tools, on private Xvfb
screens with the same desktop-like content for every tool.

Stills: `vantle-cli capture --monitor 0 --allow-desktop` against scrot and maim
at 1920x1080 and 3840x2160, end to end (process start to file written), with
the CPU time of the process and the size of the PNG it wrote, on two desktops:
flat (the test window's pattern of flat panels) and photo (a photographic
wallpaper made with ffmpeg, under three xterms full of text, xclock and xcalc).

Recordings: `vantle-cli record --monitor 0 --allow-desktop` at 30 and 60 fps
against `ffmpeg -f x11grab` with libx264 at the same rate, preset, bitrate and
key-frame interval; then at 3840x2160 too and of a window covering the screen
(`--window`) beside ffmpeg's x11grab of that screen, with the repeats after
the first second and whether the recording ended with the warning of one that
fell behind. The screen shows a clock (the test window's --clock: the
milliseconds since it started, repainted every 5 ms), so every frame of a
video tells when its picture was taken: a frame that shows the same time as
the one before repeats it (those before the first change are counted apart:
they cover the recorder's start), and a frame whose time is more than one and
a half frame periods after the one before is late (its tick came late, or a
tick was lost).

The machine may be shared with other work, so the tools take turns within
every round (the order rotates), the figures are medians, the comparison is
given as ratios, and the load average is printed before and after.

Usage: benchmarks/x11_compare.py [--build DIR] [--rounds N] [--record-rounds N]
                                 [--seconds S] [--only stills|recordings|record-sizes]
                                 [--contents flat,photo] [--sizes WxH,...]
Needs a release build (cmake --preset release && cmake --build --preset release)
and the packages of scripts/setup.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The shared module is imported from the source tree, which is left as it was.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "harness"))
from harness import XServerError, start_x_server, xvfb_argv  # noqa: E402

CLOCK_BITS = 20
CLOCK_BLOCK = 24
CLOCK_X = 40
CLOCK_Y = 40


class Xvfb:
    """A private X server with one full-screen window of desktop-like content."""

    def __init__(self, width, height, test_window, clock=False, content="flat", workdir=None):
        try:
            self.server, self.display = start_x_server(xvfb_argv(f"{width}x{height}x24"))
        except XServerError as error:
            raise SystemExit(f"Xvfb {error}") from None
        self.env = dict(os.environ, DISPLAY=self.display)
        self.clients = []
        if content == "photo":
            self.clients = show_photographic_desktop(self.env, width, height, workdir)
            self.window = None
            return
        args = [test_window, "--title", "desktop", "--pattern", "--override-redirect",
                "--size", f"{width}x{height}"]
        if clock:
            args += ["--clock", f"{CLOCK_X},{CLOCK_Y}"]
        self.window = subprocess.Popen(args, env=self.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE)
        if not self.window.stdout.readline().strip():
            raise SystemExit("the content window did not come up")

    def cpu_seconds(self):
        """CPU time the X server has used so far."""
        with open(f"/proc/{self.server.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        for process in [*self.clients, self.window, self.server]:
            if process is None:
                continue
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def make_wallpaper(width, height, path):
    """A photographic wallpaper as an XWD file: fractal noise (random colours at
    seven scales, each scaled up smoothly, weighted as a plasma fractal is),
    with a sensor's grain, slightly blurred."""
    inputs = []
    scales = [(8, 5), (16, 9), (32, 18), (64, 36), (128, 72), (256, 144), (512, 288)]
    for k, (w, h) in enumerate(scales):
        # A hash of the position per channel: geq's random() would give every
        # channel the same values.
        def channel(offset):
            return f"mod(sin(X*12.9898+Y*78.233+{k * 3.7 + offset:.1f})*43758.5453\\,1)*255"
        inputs += ["-f", "lavfi", "-i",
                   f"nullsrc=s={w}x{h},geq=r={channel(0.1)}:g={channel(1.3)}:b={channel(2.9)},"
                   f"scale={width}x{height}:flags=bicubic"]
    graph = (f"mix=inputs={len(scales)}:weights=64 40 24 14 8 5 3,noise=alls=5:allf=u,"
             "gblur=sigma=1,format=bgr0")
    subprocess.run(["ffmpeg", "-v", "error", "-y", *inputs, "-filter_complex", graph,
                    "-frames:v", "1", path], check=True)


def show_photographic_desktop(env, width, height, workdir):
    """A desktop as users have it, on the X server of `env`: a photographic
    wallpaper, terminals full of text, a clock and a calculator on top. The
    sizes follow the screen's, the text does not (a higher resolution at the
    same zoom). Returns the client processes."""
    wallpaper = os.path.join(workdir, f"wallpaper-{width}x{height}.xwd")
    if not os.path.exists(wallpaper):
        make_wallpaper(width, height, wallpaper)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    texts = sorted(os.path.join(root, name) for root, _, names in os.walk(source)
                   for name in names if name.endswith(".cpp"))
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    clients = [subprocess.Popen(["xwud", "-noclick", "-geometry", "+0+0", "-in", wallpaper],
                                env=env, **quiet)]
    # Three overlapping terminals of 6x13 characters, each a third of the
    # screen wide and two thirds high.
    columns, rows = width // 3 // 6, height * 2 // 3 // 13
    for k in range(3):
        x, y = width // 40 + k * width // 6, height // 30 + k * height // 10
        clients.append(subprocess.Popen(
            ["xterm", "-geometry", f"{columns}x{rows}+{x}+{y}", "-hold", "-e", "cat",
             *texts[k * 10:k * 10 + 10]], env=env, **quiet))
    clients.append(subprocess.Popen(
        ["xclock", "-update", "1", "-geometry", f"{height // 6}x{height // 6}+{width * 3 // 4}+40"],
        env=env, **quiet))
    clients.append(subprocess.Popen(["xcalc", "-geometry", f"+{width * 3 // 4}+{height // 3}"],
                                    env=env, **quiet))
    # The desktop is ready when every client's window is there and the screen
    # no longer changes but for the clock's second hand (xwud and the
    # terminals take a while to draw on a busy machine): two dumps of the
    # screen a second apart that differ in less than 1% of their bytes.
    deadline = time.monotonic() + 60
    previous = b""
    while time.monotonic() < deadline:
        time.sleep(1)
        tree = subprocess.run(["xwininfo", "-root", "-children"], env=env,
                              capture_output=True, text=True).stdout
        if sum(name in tree for name in ('"xwud', '"xclock"', '"Calculator"')) < 3 or \
                tree.count('"xterm" "XTerm"') < 3:
            continue
        screen = subprocess.run(["xwd", "-root", "-silent"], env=env, capture_output=True,
                                check=True).stdout
        if len(screen) == len(previous) and \
                sum(a != b for a, b in zip(screen[::97], previous[::97])) < len(screen) // 9700:
            return clients
        previous = screen
    raise SystemExit("the photographic desktop did not settle")


def run(argv, env):
    """Runs a program to its end: wall seconds, CPU seconds, exit status."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if process.returncode != 0:
        raise SystemExit(f"{argv[0]} failed ({process.returncode}): {errors.strip()}")
    return wall, usage.ru_utime + usage.ru_stime


def median(values):
    return statistics.median(values) if values else float("nan")


def load():
    return "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def still_tools(cli):
    return {
        "vantle": lambda f: [cli, "capture", "--monitor", "0", "--allow-desktop", "--out", f],
        "scrot": lambda f: ["scrot", "-o", f],
        "maim": lambda f: ["maim", f],
    }


def compare_stills(args, x, tools, label, out):
    """The tools' turns at capturing the screen of `x`; prints medians and
    ratios."""
    wall = {name: [] for name in tools}
    cpu = {name: [] for name in tools}
    size = {}
    names = list(tools)
    for round_number in range(args.rounds):
        turn = names[round_number % len(names):] + names[:round_number % len(names)]
        for name in turn:
            path = os.path.join(out, f"{name}-{label.replace(' ', '-')}.png")
            if os.path.exists(path):
                os.remove(path)
            w, c = run(tools[name](path), x.env)
            wall[name].append(w)
            cpu[name].append(c)
            size[name] = os.path.getsize(path)
    print(f"  {label}:")
    for name in names:
        print(f"    {name:7} {median(wall[name]) * 1000:7.1f} ms wall "
              f"{median(cpu[name]) * 1000:7.1f} ms CPU {size[name] / 1024:8.1f} KiB")
    for peer in names[1:]:
        print(f"    vantle/{peer}: wall {median(wall['vantle']) / median(wall[peer]):.2f}, "
              f"CPU {median(cpu['vantle']) / median(cpu[peer]):.2f}, "
              f"size {size['vantle'] / size[peer]:.2f}")


def stills(args, cli, test_window, out):
    print("\nStill capture of the whole screen, end to end (medians of "
          f"{args.rounds} rounds; ratio = vantle / other, below 1 is faster)")
    tools = still_tools(cli)
    for content in args.contents:
        for width, height in args.sizes:
            x = Xvfb(width, height, test_window, content=content, workdir=out)
            try:
                compare_stills(args, x, tools, f"{content} {width}x{height}", out)
            finally:
                x.close()


def clock_times(video, width):
    """The clock's milliseconds shown in every frame of a video."""
    strip = CLOCK_BITS * CLOCK_BLOCK
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", video, "-vf",
         f"crop={strip}:{CLOCK_BLOCK}:{CLOCK_X}:{CLOCK_Y},format=gray",
         "-f", "rawvideo", "-"],
        check=True, stdout=subprocess.PIPE).stdout
    frame = strip * CLOCK_BLOCK
    row = CLOCK_BLOCK // 2 * strip
    times = []
    for start in range(0, len(raw) - frame + 1, frame):
        value = 0
        for bit in range(CLOCK_BITS):
            value = value << 1 | (raw[start + row + bit * CLOCK_BLOCK + CLOCK_BLOCK // 2] > 128)
        times.append(value)
    return times


def ticks(times, fps):
    """How regular a video is whose frames show the times given: the repeats
    of the first picture while the recorder starts, the later repeats, and the
    late frames (the picture moved on by more than one and a half frame
    periods since the frame before: its tick came late or one was lost), and
    those of them after the first second."""
    period = 1000.0 / fps
    start = 0
    while start + 1 < len(times) and times[start + 1] == times[0]:
        start += 1
    steps = [b - a for a, b in zip(times[start:], times[start + 1:])]
    repeated = sum(1 for step in steps if step == 0)
    late = sum(1 for step in steps if step > 1.5 * period)
    # Step k ends at frame start + k + 1; the first second is the recorder's
    # warm-up (process start, encoder set-up, catching up with the schedule).
    late_later = sum(1 for k, step in enumerate(steps)
                     if step > 1.5 * period and start + k + 1 >= fps)
    return start, repeated, late, late_later


def bitrate(width, height, fps):
    return min(max(width * height * fps // 10, 1_000_000), 50_000_000)


def recordings(args, cli, test_window, out):
    width, height = 1920, 1080
    print(f"\nRecording {width}x{height} for {args.seconds:g} s (medians of "
          f"{args.record_rounds} rounds; CPU = the recorder's own, X = the X server's)")
    x = Xvfb(width, height, test_window, clock=True)
    try:
        for fps in (30, 60):
            preset = "ultrafast" if width * height * fps > 1920 * 1080 * 30 else "superfast"
            tools = {
                "vantle": lambda f: [cli, "record", "--monitor", "0", "--allow-desktop", "--fps",
                                     str(fps), "--max-seconds", str(args.seconds), "--out", f],
                "ffmpeg": lambda f: ["ffmpeg", "-v", "error", "-y", "-f", "x11grab",
                                     "-draw_mouse", "0", "-framerate", str(fps),
                                     "-video_size", f"{width}x{height}", "-i", x.display,
                                     "-t", str(args.seconds), "-c:v", "libx264",
                                     "-preset", preset, "-tune", "zerolatency",
                                     "-b:v", str(bitrate(width, height, fps)),
                                     "-g", str(2 * fps), "-bf", "0", "-pix_fmt", "yuv420p",
                                     "-fps_mode", "cfr", f],
            }
            figures = {name: {"wall": [], "cpu": [], "x": [], "frames": [], "distinct": [], "start": [],
                              "repeated": [], "late": [], "late_later": []}
                       for name in tools}
            names = list(tools)
            for round_number in range(args.record_rounds):
                turn = names[round_number % 2:] + names[:round_number % 2]
                for name in turn:
                    path = os.path.join(out, f"{name}-{fps}.mp4")
                    if os.path.exists(path):
                        os.remove(path)
                    x_before = x.cpu_seconds()
                    w, c = run(tools[name](path), x.env)
                    f = figures[name]
                    f["x"].append(x.cpu_seconds() - x_before)
                    f["wall"].append(w)
                    f["cpu"].append(c)
                    times = clock_times(path, width)
                    start, repeated, late, late_later = ticks(times, fps)
                    f["frames"].append(len(times))
                    f["distinct"].append(len(set(times)))
                    f["start"].append(start)
                    f["repeated"].append(repeated)
                    f["late"].append(late)
                    f["late_later"].append(late_later)
            print(f"  {fps} fps, libx264 {preset}:")
            for name in names:
                f = figures[name]
                print(f"    {name:7} {median(f['cpu']):6.2f} s CPU {median(f['x']):5.2f} s X "
                      f"{median(f['wall']):6.2f} s wall {median(f['frames']):4.0f} frames "
                      f"{median(f['distinct']):4.0f} distinct {median(f['start']):3.0f} at the "
                      f"start {median(f['repeated']):4.0f} repeated {median(f['late']):4.0f} late "
                      f"({median(f['late_later']):.0f} after 1 s)")
            v, p = figures["vantle"], figures["ffmpeg"]
            per_picture = [
                (median(f["cpu"]) + median(f["x"])) / max(median(f["distinct"]), 1) for f in (v, p)]
            print(f"    vantle/ffmpeg: CPU {median(v['cpu']) / median(p['cpu']):.2f}, "
                  f"with X {(median(v['cpu']) + median(v['x'])) / (median(p['cpu']) + median(p['x'])):.2f}, "
                  f"with X per distinct picture {per_picture[0] / per_picture[1]:.2f}")
    finally:
        x.close()


def run_recorder(argv, env):
    """Runs a recorder to its end: wall seconds, CPU seconds, and the warning
    lines (the announcement left out) it wrote on standard error."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv[0]} failed: {errors.strip()}")
    warnings = [line for line in errors.splitlines() if "WARN" in line]
    return wall, usage.ru_utime + usage.ru_stime, warnings


def ffmpeg_record_argv(display, width, height, fps, seconds, path):
    """ffmpeg's x11grab of the whole screen with libx264 as the recorder sets it up."""
    preset = "ultrafast" if width * height * fps > 1920 * 1080 * 30 else "superfast"
    return ["ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-draw_mouse", "0", "-framerate",
            str(fps), "-video_size", f"{width}x{height}", "-i", display, "-t", str(seconds),
            "-c:v", "libx264", "-preset", preset, "-tune", "zerolatency",
            "-b:v", str(bitrate(width, height, fps)), "-g", str(2 * fps), "-bf", "0",
            "-pix_fmt", "yuv420p", "-fps_mode", "cfr", path]


def record_sizes(args, cli, test_window, out):
    """The recorder alone: the whole screen and a window covering it, at the
    sizes and rates given, with the clock in the picture as above; ffmpeg's
    x11grab of the same screen beside them, the three taking turns, and the
    CPU time with the X server's as a ratio to ffmpeg's."""
    print(f"\nThe recorder of the screen and of a window beside ffmpeg's x11grab of the screen, "
          f"{args.seconds:g} s (medians of {args.record_rounds} rounds; X = the X server's CPU time)")
    cases = [(1920, 1080, 30), (1920, 1080, 60), (3840, 2160, 30)]
    for width, height, fps in cases:
        x = Xvfb(width, height, test_window)
        # A window of the program's own (not override-redirect, so it is listed)
        # over the desktop, showing the clock.
        window = subprocess.Popen(
            [test_window, "--title", "recorded", "--pattern", "--size", f"{width}x{height}",
             "--clock", f"{CLOCK_X},{CLOCK_Y}"],
            env=x.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            if not window.stdout.readline().strip():
                raise SystemExit("the recorded window did not come up")
            kinds = {"monitor": ["--monitor", "0", "--allow-desktop"],
                     "window": ["--window", "recorded"], "ffmpeg": None}
            figures = {kind: {"wall": [], "cpu": [], "x": [], "start": [], "repeated": [],
                              "repeated_later": [], "late_later": [], "warned": 0}
                       for kind in kinds}
            names = list(kinds)
            for round_number in range(args.record_rounds):
                turn = names[round_number % 3:] + names[:round_number % 3]
                for kind in turn:
                    f = figures[kind]
                    path = os.path.join(out, f"alone-{kind}-{width}-{fps}.mp4")
                    if os.path.exists(path):
                        os.remove(path)
                    argv = (ffmpeg_record_argv(x.display, width, height, fps, args.seconds, path)
                            if kinds[kind] is None else
                            [cli, "record"] + kinds[kind] + ["--fps", str(fps), "--max-seconds",
                                                             str(args.seconds), "--out", path])
                    x_before = x.cpu_seconds()
                    w, c, warnings = run_recorder(argv, x.env)
                    f["x"].append(x.cpu_seconds() - x_before)
                    f["wall"].append(w)
                    f["cpu"].append(c)
                    f["warned"] += 1 if warnings else 0
                    times = clock_times(path, width)
                    start, repeated, _, late_later = ticks(times, fps)
                    f["start"].append(start)
                    f["repeated"].append(repeated)
                    # Repeats whose frame lies past the first second.
                    f["repeated_later"].append(sum(
                        1 for k, (a, b) in enumerate(zip(times[start:], times[start + 1:]))
                        if a == b and start + k + 1 >= fps))
                    f["late_later"].append(late_later)
            p = figures["ffmpeg"]
            for kind in names:
                f = figures[kind]
                ratio = ((median(f["cpu"]) + median(f["x"])) / (median(p["cpu"]) + median(p["x"])))
                print(f"  {width}x{height} {fps} fps {kind:7}: {median(f['cpu']):5.2f} s CPU "
                      f"{median(f['x']):5.2f} s X {median(f['wall']):6.2f} s wall "
                      f"{median(f['start']):3.0f} at the start {median(f['repeated']):3.0f} "
                      f"repeated ({median(f['repeated_later']):.0f} after 1 s) "
                      f"{median(f['late_later']):3.0f} late after 1 s; "
                      f"warned {f['warned']} of {args.record_rounds}; "
                      f"CPU with X / ffmpeg's {ratio:.2f}")
        finally:
            window.terminate()
            window.wait()
            x.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--record-rounds", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--only", choices=("stills", "recordings", "record-sizes"),
                        help="run one of the comparisons")
    parser.add_argument("--contents", default="flat,photo",
                        help="desktops for the stills: flat (the test window's pattern), "
                             "photo (a photographic wallpaper under terminals, a clock and "
                             "a calculator)")
    parser.add_argument("--sizes", default="1920x1080,3840x2160",
                        help="screen sizes for the stills")
    args = parser.parse_args()
    args.contents = args.contents.split(",")
    args.sizes = [tuple(int(v) for v in size.split("x")) for size in args.sizes.split(",")]
    cli = os.path.join(args.build, "cli", "vantle-cli")
    test_window = os.path.join(args.build, "tests", "x11", "vantle-test-window")
    for needed in (cli, test_window):
        if not os.access(needed, os.X_OK):
            raise SystemExit(f"{needed} is missing: build the release preset first")
    for tool in ("Xvfb", "scrot", "maim", "ffmpeg", "xwd", "xwud", "xterm", "xclock",
                 "xcalc", "xwininfo"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is missing: run scripts/setup")
    print(f"{os.cpu_count()} processors, {load()}")
    with tempfile.TemporaryDirectory(prefix="vantle-compare-") as out:
        if args.only in (None, "stills"):
            stills(args, cli, test_window, out)
        if args.only in (None, "recordings"):
            recordings(args, cli, test_window, out)
        if args.only in (None, "record-sizes"):
            record_sizes(args, cli, test_window, out)
    print(f"\n{load()}")


if __name__ == "__main__":
    sys.exit(main())
