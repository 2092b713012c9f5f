#!/usr/bin/env python3
"""Builds the package of a finished build with cpack and checks it as a user
would meet it.

  check_packages.py deb BUILD   the Debian package of a Linux build: unpacked
      with dpkg-deb -x into a temporary root, whose vantle-cli must print its
      version, capture a monitor and record one second on a private Xvfb (its
      encoder module found from the installed layout); its Depends must name
      the package of every library the binaries load; lintian must find no
      error.
  check_packages.py zip BUILD   the zip of the Windows build: exactly the
      program, the guide and the licence in one folder; the program needs no
      runtime DLL beside it and prints its version under Wine.

BUILD is a build folder whose targets are built (say build/debug or
build/windows); the package is made in a temporary folder and removed. Prints
what it checked, and one line per failure; exits 1 on any failure.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))

from harness import XServerError, png_size, start_x_server, xvfb_argv  # noqa: E402

# A red square on a black screen: what the capture and the recording must show.
SCREEN = (320, 240)
SQUARE = (40, 30, 120, 90)  # x, y, width, height
RED = (0xFF, 0x00, 0x00)
BLACK = (0x00, 0x00, 0x00)
# Installed files of the Debian package, below its root.
DEB_FILES = {
    "usr/bin/vantle-cli",
    "usr/lib/vantle/vantle-ffmpeg.so",
    "usr/share/doc/vantle-cli/AUTOMATION.md",
    "usr/share/doc/vantle-cli/changelog.gz",
    "usr/share/doc/vantle-cli/copyright",
    "usr/share/man/man1/vantle-cli.1.gz",
}
# The runtime DLLs of MinGW-w64, which a user's Windows does not have.
MINGW_RUNTIME_DLLS = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}

failures = []


def check(condition, what, found=""):
    """Prints one line per check; `found` says what was found instead, on failure."""
    print(("ok    " + what) if condition else f"FAIL  {what}: {found}")
    if not condition:
        failures.append(what)
    return condition


def run(argv, **options):
    return subprocess.run(argv, capture_output=True, timeout=300, **options)


def package_version(build):
    """The version the build's packages carry (CPACK_PACKAGE_VERSION)."""
    with open(os.path.join(build, "CPackConfig.cmake"), encoding="utf-8") as handle:
        match = re.search(r'set\(CPACK_PACKAGE_VERSION "([^"]+)"\)', handle.read())
    if not match:
        sys.exit(f"check_packages: {build}/CPackConfig.cmake names no package version")
    return match.group(1)


def make_package(build, out, suffix):
    """Runs cpack on the build into `out` and returns the one package it made."""
    started = time.monotonic()
    result = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out])
    if result.returncode != 0:
        sys.exit("check_packages: cpack failed:\n" + (result.stdout + result.stderr).decode())
    made = [name for name in os.listdir(out) if name.endswith(suffix)]
    if len(made) != 1:
        sys.exit(f"check_packages: cpack made {made!r}, not one {suffix} file")
    path = os.path.join(out, made[0])
    print(f"made  {made[0]}: {os.path.getsize(path)} bytes, "
          f"in {time.monotonic() - started:.1f} s")
    return path


def pixel(rgb, width, x, y):
    offset = 3 * (y * width + x)
    return tuple(rgb[offset:offset + 3])


def shows_square(rgb, width, what):
    """The red square inside, black outside (a little slack for the video's
    colour conversion)."""
    x, y, w, h = SQUARE
    inside = pixel(rgb, width, x + w // 2, y + h // 2)
    outside = pixel(rgb, width, x + w + 40, y + h + 40)
    near = lambda a, b: all(abs(p - q) <= 24 for p, q in zip(a, b))  # noqa: E731
    check(near(inside, RED) and near(outside, BLACK), f"{what} shows the red square on black",
          f"inside {inside}, outside {outside}")


def decode_rgb(path):
    """The first picture of a PNG or video file as RGB bytes, decoded by ffmpeg."""
    return run(["ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo",
                "-pix_fmt", "rgb24", "-"]).stdout


def needed_packages(files):
    """The Debian packages of the libraries that the ELF files load directly."""
    packages, unknown = set(), []
    for path in files:
        dynamic = run(["readelf", "-d", path]).stdout.decode()
        for library in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic):
            owner = None
            for folder in ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"):
                result = run(["dpkg-query", "-S", os.path.join(folder, library)])
                if result.returncode == 0:
                    owner = result.stdout.decode().split(":")[0]
                    break
            if owner is None:
                unknown.append(library)
            else:
                packages.add(owner)
    check(not unknown, "every library the binaries load belongs to a Debian package",
          f"no package holds {unknown}")
    return packages


def depends_names(control):
    """The package names of a control text's Depends (the first of each choice)."""
    match = re.search(r"^ Depends: (.*)$", control, re.MULTILINE)
    if not match:
        return None
    return {item.split("|")[0].split("(")[0].strip() for item in match.group(1).split(",")}


class Display:
    """A private Xvfb with the red square on it (an override-redirect test
    window, so no window manager is needed)."""

    def __init__(self, test_window):
        self.processes = []
        try:
            server, self.display = start_x_server(xvfb_argv("%dx%dx24" % SCREEN))
        except XServerError as error:
            sys.exit(f"check_packages: Xvfb {error}")
        self.processes.append(server)
        self.env = dict(os.environ, DISPLAY=self.display)
        x, y, w, h = SQUARE
        window = subprocess.Popen(
            [test_window, "--title", "square", "--color", "ff0000", "--pos", f"{x},{y}",
             "--size", f"{w}x{h}", "--override-redirect"],
            env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.processes.append(window)
        if not window.stdout.readline().strip():
            sys.exit("check_packages: the test window did not come up")

    def close(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def check_deb(build, temp):
    version = package_version(build)
    deb = make_package(build, os.path.join(temp, "out"), ".deb")
    check(os.path.basename(deb) == f"vantle-cli_{version}_amd64.deb",
          f"the package is named vantle-cli_{version}_amd64.deb")

    info = run(["dpkg-deb", "-I", deb]).stdout.decode()
    check(re.search(r"^ Package: vantle-cli$", info, re.MULTILINE) is not None,
          "dpkg-deb -I: Package: vantle-cli")
    check(re.search(rf"^ Version: {re.escape(version)}$", info, re.MULTILINE) is not None,
          f"dpkg-deb -I: Version: {version}")
    for field in ("Maintainer", "Description"):
        check(re.search(rf"^ {field}: \S", info, re.MULTILINE) is not None,
              f"dpkg-deb -I: {field} is given")

    root = os.path.join(temp, "root")
    check(run(["dpkg-deb", "-x", deb, root]).returncode == 0, "dpkg-deb -x unpacks the package")
    files = {os.path.relpath(os.path.join(folder, name), root)
             for folder, _, names in os.walk(root) for name in names}
    check(files == DEB_FILES, f"the package holds exactly {sorted(DEB_FILES)}", sorted(files))
    program = os.path.join(root, "usr", "bin", "vantle-cli")
    module = os.path.join(root, "usr", "lib", "vantle", "vantle-ffmpeg.so")
    if not os.path.exists(program) or not os.path.exists(module):
        return

    # Depends is computed from the binaries: the package of each library they
    # load must be in it, and nothing else (no build-time package slips in).
    wanted = needed_packages([program, module])
    named = depends_names(info)
    check(named is not None and named == wanted,
          f"Depends names exactly the packages of the loaded libraries {sorted(wanted)}",
          sorted(named or []))
    check(named is not None and any(n.startswith("libavcodec") for n in named) and
          "libxcb1" in named, "Depends holds FFmpeg's libavcodec and libxcb1")

    result = run([program, "--version"])
    check(result.returncode == 0 and result.stdout == f"vantle {version}\n".encode(),
          f"the unpacked vantle-cli --version prints vantle {version}",
          f"printed {result.stdout!r}, status {result.returncode}")

    test_window = os.path.join(build, "tests", "x11", "vantle-test-window")
    display = Display(test_window)
    try:
        shot = os.path.join(temp, "shot.png")
        result = run([program, "capture", "--monitor", "0", "--allow-desktop", "--out", shot],
                     env=display.env)
        if check(result.returncode == 0 and os.path.exists(shot),
                 "the unpacked vantle-cli captures a monitor",
                 f"status {result.returncode}, {result.stderr.decode().strip()!r}"):
            with open(shot, "rb") as handle:
                size = png_size(handle.read())
            check(size == SCREEN, f"the capture is a whole PNG of {SCREEN}", size)
            rgb = decode_rgb(shot)
            if check(len(rgb) == 3 * SCREEN[0] * SCREEN[1], "ffmpeg decodes the capture"):
                shows_square(rgb, SCREEN[0], "the capture")

        clip = os.path.join(temp, "clip.mp4")
        started = time.monotonic()
        result = run([program, "record", "--monitor", "0", "--allow-desktop", "--fps", "10",
                      "--max-seconds", "1", "--out", clip], env=display.env)
        check(result.returncode == 0 and os.path.exists(clip),
              "the unpacked vantle-cli records one second, its encoder module found in "
              "usr/lib/vantle", f"status {result.returncode}, "
              f"{result.stderr.decode().strip()!r}, after {time.monotonic() - started:.1f} s")
    finally:
        display.close()
    if not os.path.exists(clip):
        return
    probe = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames",
                 "-show_entries", "stream=codec_name,width,height,nb_read_frames",
                 "-of", "default=noprint_wrappers=1", clip]).stdout.decode()
    fields = dict(line.split("=", 1) for line in probe.split())
    check(fields == {"codec_name": "h264", "width": str(SCREEN[0]), "height": str(SCREEN[1]),
                     "nb_read_frames": "10"},
          f"ffprobe: the recording is ten H.264 frames of {SCREEN}", fields)
    frame = decode_rgb(clip)
    if check(len(frame) == 3 * SCREEN[0] * SCREEN[1], "ffmpeg decodes the recording's first frame"):
        shows_square(frame, SCREEN[0], "the recording's first frame")

    started = time.monotonic()
    result = run(["lintian", "--fail-on", "error", deb])
    report = (result.stdout + result.stderr).decode().strip()
    print(f"lintian, in {time.monotonic() - started:.1f} s:\n" + "\n".join("      " + line for line in report.splitlines()))
    check(result.returncode == 0 and not re.search(r"^E: ", report, re.MULTILINE),
          "lintian reports no error", f"status {result.returncode}")


def check_zip(build, temp):
    version = package_version(build)
    archive = make_package(build, os.path.join(temp, "out"), ".zip")
    folder = f"vantle-cli-{version}-windows-x64"
    check(os.path.basename(archive) == folder + ".zip", f"the archive is named {folder}.zip")
    expected = {f"{folder}/vantle-cli.exe", f"{folder}/AUTOMATION.md", f"{folder}/LICENSE.txt"}
    with zipfile.ZipFile(archive) as handle:
        names = [info.filename for info in handle.infolist() if not info.is_dir()]
        check(sorted(names) == sorted(expected), f"the archive holds exactly {sorted(expected)}",
              sorted(names))
        handle.extractall(os.path.join(temp, "unzipped"))
    unzipped = os.path.join(temp, "unzipped", folder)
    for name, source in (("LICENSE.txt", "LICENSE"), ("AUTOMATION.md", "docs/AUTOMATION.md")):
        path = os.path.join(unzipped, name)
        with open(os.path.join(ROOT, source), "rb") as original:
            check(os.path.exists(path) and open(path, "rb").read() == original.read(),
                  f"{name} is the repository's {source}")
    exe = os.path.join(unzipped, "vantle-cli.exe")
    if not os.path.exists(exe):
        return
    imports = run(["x86_64-w64-mingw32-objdump", "-p", exe]).stdout.decode()
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", imports)}
    check(dlls and not dlls & MINGW_RUNTIME_DLLS, "vantle-cli.exe loads no MinGW-w64 runtime DLL",
          f"imports {sorted(dlls)}")
    # Run from the unpacked folder, which holds nothing but the archive's files.
    result = run([os.path.join(ROOT, "scripts", "wine-run"), exe, "--version"], cwd=unzipped)
    check(result.returncode == 0 and result.stdout == f"vantle {version}\n".encode(),
          f"vantle-cli.exe --version prints vantle {version} under Wine",
          f"printed {result.stdout!r}, status {result.returncode}")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("deb", "zip"):
        sys.exit("usage: check_packages.py deb|zip BUILD")
    kind, build = sys.argv[1], os.path.abspath(sys.argv[2])
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vantle-package-") as temp:
        (check_deb if kind == "deb" else check_zip)(build, temp)
    if failures:
        print(f"check_packages {kind}: {len(failures)} check(s) failed", file=sys.stderr)
        sys.exit(1)
    print(f"check_packages {kind}: every check passed in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
