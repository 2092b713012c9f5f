#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/records.h"
#include "record/frame.h"
#include "support/cli_error.h"

namespace vantle {

// Every operation that touches the desktop. One instance per process, shared by
// reference counting between the runner, the automation server and its
// recording threads, so every member must be safe to call from several threads
// at once. Failures are CliErrors with exit code 1 whose message is the rendered
// error chain; no member prints anything.
class Platform {
  public:
    virtual ~Platform() = default;

    // Monitors in enumeration order, afresh on every call; each index equals its
    // position. An empty list is a success.
    [[nodiscard]] virtual CliResult<std::vector<MonitorInfo>> enumerate_monitors() = 0;
    // Top-level windows in the system's order, topmost first, afresh on every call.
    [[nodiscard]] virtual CliResult<std::vector<WindowInfo>> enumerate_windows() = 0;
    // A picture of the window itself (uses only the handle), even when covered.
    [[nodiscard]] virtual CliResult<RgbaImage> capture_window(const WindowInfo& window,
                                                              bool cursor) = 0;
    // A picture of the monitor (uses only the index).
    [[nodiscard]] virtual CliResult<RgbaImage> capture_monitor(const MonitorInfo& monitor,
                                                               bool cursor) = 0;
    // A picture of the region, clipped to the desktop; fails when none of it is on it.
    [[nodiscard]] virtual CliResult<RgbaImage> capture_region(const Region& region,
                                                              bool cursor) = 0;
    // Shows a minimized window without activating it; returns once it is no longer
    // minimized, or fails with a message naming its title.
    [[nodiscard]] virtual CliStatus restore_window(const WindowInfo& window) = 0;
    // Minimizes without activating another window. Always succeeds.
    virtual void minimize_window(const WindowInfo& window) = 0;
    // Whether the handle still names a window.
    [[nodiscard]] virtual bool window_exists(const WindowInfo& window) = 0;
    // Starts a live capture without waiting for a frame; the caller owns it.
    [[nodiscard]] virtual CliResult<std::unique_ptr<FrameSource>> start_recording_source(
        const RecordTarget& target, bool cursor) = 0;
    // Creates or replaces the H.264 MP4 file at `path`; width and height are even.
    [[nodiscard]] virtual CliResult<std::unique_ptr<VideoEncoder>> open_encoder(
        const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
        std::uint32_t fps) = 0;
};

using PlatformPtr = std::shared_ptr<Platform>;

}  // namespace vantle
