// Recordings of the built vantle-cli checked by what they show: a test window
// paints a running clock (the milliseconds since it started, as 20 blocks), and
// every frame of a window, a monitor and a region recording of it is decoded
// with ffmpeg and read back, so a recorder that repeats a picture, falls behind
// or puts frames out of order fails here even when the file's size and frame
// count are right.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

namespace fs = std::filesystem;

// The clock's blocks as test_window.cpp draws them.
constexpr std::uint32_t kClockBits = 20;
constexpr std::uint32_t kClockBlock = 24;

struct DecodedVideo {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::string> frames;  // RGB bytes, one string per frame
    std::vector<double> seconds;      // each frame's presentation time
};

// Every frame of a video and its time, decoded by ffmpeg and ffprobe.
DecodedVideo decode(const fs::path& file) {
    DecodedVideo video;
    const VideoProbe probe = probe_video(file);
    video.width = probe.width;
    video.height = probe.height;
    const std::size_t frame_size = std::size_t{video.width} * video.height * 3;
    const CommandOutput raw = run_command(
        {"ffmpeg", "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    if (raw.status != 0 || frame_size == 0) {
        return video;
    }
    for (std::size_t at = 0; at + frame_size <= raw.out.size(); at += frame_size) {
        video.frames.push_back(raw.out.substr(at, frame_size));
    }
    const CommandOutput times =
        run_command({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                     "frame=best_effort_timestamp_time", "-of", "csv=p=0", file.string()});
    std::istringstream lines(times.out);
    // A frame with side data gets an empty field after its time, and a line of its own.
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ',') {
            video.seconds.push_back(std::stod(line.substr(0, line.find(','))));
        }
    }
    return video;
}

// The clock a frame shows with its blocks' top left at (x, y); -1 where a
// block is neither near white nor near black, which a clean picture never is.
std::int64_t read_clock(const DecodedVideo& video, const std::string& frame, std::uint32_t x,
                        std::uint32_t y) {
    std::int64_t value = 0;
    for (std::uint32_t bit = 0; bit < kClockBits; ++bit) {
        const std::uint32_t cx = x + bit * kClockBlock + kClockBlock / 2;
        const std::uint32_t cy = y + kClockBlock / 2;
        const std::size_t i = (std::size_t{cy} * video.width + cx) * 3;
        if (i + 2 >= frame.size()) {
            return -1;
        }
        int sum = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            sum += static_cast<unsigned char>(frame[i + k]);
        }
        if (sum > 3 * 200) {
            value = value * 2 + 1;
        } else if (sum < 3 * 55) {
            value = value * 2;
        } else {
            return -1;
        }
    }
    return value;
}

// How a recording at `fps` of a clock that ticks every few milliseconds must
// look: one frame per period, each stamped i periods from the start, clocks in
// order, and once the schedule has caught up with the setup, each frame
// showing the clock as it was at its own time give or take one period, with no
// picture repeated beyond what a late capture explains.
::testing::AssertionResult follows_the_clock(const DecodedVideo& video, std::size_t want_frames,
                                             int fps, std::uint32_t clock_x,
                                             std::uint32_t clock_y) {
    if (video.frames.size() != want_frames || video.seconds.size() != want_frames) {
        return ::testing::AssertionFailure()
               << video.frames.size() << " frames and " << video.seconds.size()
               << " timestamps decoded, expected " << want_frames;
    }
    const double period = 1.0 / fps;
    const auto period_ms = static_cast<std::int64_t>(std::llround(period * 1000));
    std::vector<std::int64_t> clocks;
    std::vector<std::int64_t> stamps;  // milliseconds from the first frame
    for (std::size_t i = 0; i < video.frames.size(); ++i) {
        const double stamp = video.seconds[i] - video.seconds[0];
        if (std::abs(stamp - static_cast<double>(i) * period) > 0.002) {
            return ::testing::AssertionFailure()
                   << "frame " << i << " is stamped " << stamp << " s after the first, not "
                   << static_cast<double>(i) * period;
        }
        stamps.push_back(std::llround(stamp * 1000));
        clocks.push_back(read_clock(video, video.frames[i], clock_x, clock_y));
        if (clocks.back() < 0) {
            return ::testing::AssertionFailure() << "frame " << i << " shows no readable clock";
        }
    }
    std::ostringstream shown;
    for (const std::int64_t c : clocks) {
        shown << ' ' << c - clocks[0];
    }
    for (std::size_t i = 1; i < clocks.size(); ++i) {
        if (clocks[i] < clocks[i - 1]) {
            return ::testing::AssertionFailure()
                   << "frame " << i << " goes back in time; clocks since the first:" << shown.str();
        }
    }
    // How far each frame's clock lags its own time: the recorder's latency,
    // the same for every frame of a steady recording, which the least lag of
    // the last third gives. The time spent starting the capture and the
    // encoder is already due when the first frame is written, so the first
    // frames go out back to back, repeating the first picture until the
    // source sends another, then showing newer pictures than a steady frame
    // would (a smaller lag). At least the last third is steady.
    std::int64_t latency = INT64_MAX;
    for (std::size_t i = clocks.size() * 2 / 3; i < clocks.size(); ++i) {
        latency = std::min(latency, stamps[i] - clocks[i]);
    }
    std::size_t steady = 0;
    while (steady < clocks.size() * 2 / 3 &&
           (clocks[steady] == clocks[0] || stamps[steady] - clocks[steady] < latency - period_ms)) {
        ++steady;
    }
    // From there every change is in the video within one frame period of when
    // it was painted: no frame shows a picture older than that.
    for (std::size_t i = steady; i < clocks.size(); ++i) {
        if (stamps[i] - clocks[i] > latency + period_ms) {
            return ::testing::AssertionFailure()
                   << "frame " << i << " shows the clock " << stamps[i] - clocks[i] - latency
                   << " ms later than the others, more than one frame period; clocks since the "
                      "first:"
                   << shown.str();
        }
    }
    // A capture that came late repeats the previous picture once; a recorder
    // stuck on a picture repeats it on and on.
    std::size_t repeats = 0;
    std::size_t longest_run = 1;
    std::size_t run = 1;
    for (std::size_t i = steady + 1; i < clocks.size(); ++i) {
        if (clocks[i] == clocks[i - 1]) {
            ++repeats;
            longest_run = std::max(longest_run, ++run);
        } else {
            run = 1;
        }
    }
    if (longest_run > 2 || repeats * 10 > clocks.size() - steady) {
        return ::testing::AssertionFailure()
               << repeats << " repeated pictures from frame " << steady << " on, the longest run "
               << longest_run << " frames; clocks since the first:" << shown.str();
    }
    return ::testing::AssertionSuccess();
}

TEST(RecordingContent, WindowMonitorAndRegionRecordingsFollowTheClockFrameByFrame) {
    const fs::path dir =
        fs::temp_directory_path() / ("vantle-recording-content-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    auto server = XServer::start("640x480x24");
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->start_window_manager());
    // One window the window manager frames, for the window recording; one it
    // leaves where it is put, so its clock is at a known place on the monitor.
    auto framed = server->open_window(
        {"--title", "clock", "--color", "404040", "--size", "520x48", "--clock", "10,12"});
    ASSERT_TRUE(framed);
    auto placed =
        server->open_window({"--title", "placed clock", "--color", "404040", "--pos", "40,400",
                             "--size", "520x48", "--override-redirect", "--clock", "10,12"});
    ASSERT_TRUE(placed);
    // The window recording shows the frame, decorations included.
    const auto [left, right, top, bottom] = frame_extents(framed->id);

    constexpr int kFps = 10;
    constexpr int kSeconds = 3;
    const struct {
        const char* kind;
        std::vector<std::string> target;
        std::uint32_t clock_x, clock_y;
    } cases[] = {
        {"window", {"--window", "clock"}, left + 10, top + 12},
        {"monitor", {"--monitor", "0", "--allow-desktop"}, 50, 412},
        {"region", {"--region", "30,390,540,70", "--allow-desktop"}, 20, 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        const fs::path file = dir / (std::string(c.kind) + ".mp4");
        std::vector<std::string> argv = {VANTLE_CLI,      "record",
                                         "--fps",         std::to_string(kFps),
                                         "--max-seconds", std::to_string(kSeconds),
                                         "--out",         file.string()};
        argv.insert(argv.end(), c.target.begin(), c.target.end());
        const CommandOutput out = run_command(argv);
        ASSERT_EQ(out.status, 0) << out.out;
        const DecodedVideo video = decode(file);
        EXPECT_TRUE(follows_the_clock(video, kFps * kSeconds, kFps, c.clock_x, c.clock_y));
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vantle::x11
