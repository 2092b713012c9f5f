#pragma once

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "fakes/fake_platform.h"
#include "support/error.h"

namespace vantle::testing {

// A scripted desktop written as JSON, so tests of the built program (and
// their data files) can describe the desktop a fake platform shows:
//
//   {
//     "monitors": [{"name": "\\\\.\\DISPLAY1", "x": 0, "y": 0, "width": 1920,
//                   "height": 1080, "primary": true}],
//     "windows":  [{"handle": 7, "title": "Untitled - Notepad",
//                   "process": "notepad.exe", "pid": 4242, "x": 100, "y": 50,
//                   "width": 800, "height": 600, "monitor": 0},
//                  {"handle": 8, "title": "Calculator", "pid": 77, "minimized": true}],
//     "closed_windows": [9],
//     "recording": {"first_frame": true, "ends_after_frames": 20},
//     "failures": {"enumerate_monitors": "could not list monitors",
//                  "restore_window": {"message": "...", "exit_code": 1}}
//   }
//
// Every member is optional. A monitor's "index" defaults to its position, a
// window's "handle" to its position plus one; absent window fields stay absent.
// "recording" gives the platform a frame source that shows a plain picture the
// size of what is recorded (without "first_frame" false, from the start; with
// "ends_after_frames", ending as a closed window would) and an encoder that
// writes a stand-in file: "fake-mp4\n", one "f" per frame and "\nfinished\n"
// once finished. Without it recordings fail as FakePlatform's do.
// "failures" keys are enumerate_monitors, enumerate_windows, capture,
// restore_window, start_recording_source and open_encoder. Unknown members are
// errors, so a misspelt script fails loudly instead of scripting nothing.
// Extend `apply_scripted_desktop` when the fake platform learns more.
[[nodiscard]] Status apply_scripted_desktop(FakePlatform& platform, const nlohmann::json& script);

// Reads and applies a scripted-desktop file onto a fresh FakePlatform.
[[nodiscard]] Result<std::shared_ptr<FakePlatform>> load_scripted_desktop(
    const std::filesystem::path& file);

}  // namespace vantle::testing
