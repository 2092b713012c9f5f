#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vantle::testing {

// A scripted desktop. Tests fill the public fields, run the code under test and
// then look at `calls()`, which records every operation in order as text such as
// "enumerate_windows", "restore_window 7" or "capture_region -10,-20,300x200 cursor".
// Every member is safe to call from several threads.
class FakePlatform : public Platform {
  public:
    // The scripted desktop.
    std::vector<MonitorInfo> monitors;
    std::vector<WindowInfo> windows;

    // Scripted failures: when set, the operation fails with this error.
    std::optional<CliError> monitors_error;
    std::optional<CliError> windows_error;
    std::optional<CliError> capture_error;
    std::optional<CliError> restore_error;
    std::optional<CliError> source_error;
    std::optional<CliError> encoder_error;

    // Pictures: per window handle, per monitor index; a region picture is cut
    // from `region_picture` when set, else a plain picture of the region's size.
    std::map<std::uint64_t, RgbaImage> window_pictures;
    std::map<std::uint64_t, RgbaImage> monitor_pictures;
    std::optional<RgbaImage> region_picture;

    // Handles of windows that no longer exist.
    std::vector<std::uint64_t> closed_windows;

    // Hooks for the recording operations; without them they fail with a clear
    // message. Later tests supply scripted sources and encoders here.
    std::function<CliResult<std::unique_ptr<FrameSource>>(const RecordTarget&, bool)> make_source;
    std::function<CliResult<std::unique_ptr<VideoEncoder>>(
        const std::filesystem::path&, std::uint32_t, std::uint32_t, std::uint32_t)>
        make_encoder;

    // Runs inside a call just before it returns; lets a test change the desktop
    // at an exact moment (say, close a window during a delay).
    std::function<void(const std::string& call)> on_call;

    [[nodiscard]] std::vector<std::string> calls() const;
    void clear_calls();

    CliResult<std::vector<MonitorInfo>> enumerate_monitors() override;
    CliResult<std::vector<WindowInfo>> enumerate_windows() override;
    CliResult<RgbaImage> capture_window(const WindowInfo& window, bool cursor) override;
    CliResult<RgbaImage> capture_monitor(const MonitorInfo& monitor, bool cursor) override;
    CliResult<RgbaImage> capture_region(const Region& region, bool cursor) override;
    CliStatus restore_window(const WindowInfo& window) override;
    void minimize_window(const WindowInfo& window) override;
    bool window_exists(const WindowInfo& window) override;
    CliResult<std::unique_ptr<FrameSource>> start_recording_source(const RecordTarget& target,
                                                                   bool cursor) override;
    CliResult<std::unique_ptr<VideoEncoder>> open_encoder(const std::filesystem::path& path,
                                                          std::uint32_t width, std::uint32_t height,
                                                          std::uint32_t fps) override;

  private:
    void record(std::string call);

    mutable std::recursive_mutex mutex_;
    std::vector<std::string> calls_;
};

// A picture of the given size filled with one RGBA colour.
[[nodiscard]] RgbaImage solid_image(std::uint32_t width, std::uint32_t height,
                                    std::uint32_t rgba = 0x336699FF);

// Builders for scripted records.
[[nodiscard]] MonitorInfo make_monitor(std::uint64_t index, std::int32_t x, std::int32_t y,
                                       std::uint32_t width, std::uint32_t height,
                                       bool primary = false, std::string name = {});
[[nodiscard]] WindowInfo make_window(std::uint64_t handle, std::string title,
                                     std::optional<std::string> process, std::uint32_t pid,
                                     Region frame, std::optional<std::uint64_t> monitor);
[[nodiscard]] WindowInfo make_minimized_window(std::uint64_t handle, std::string title,
                                               std::optional<std::string> process,
                                               std::uint32_t pid);

// Two side-by-side 1920x1080 monitors (the primary at 0,0) and three windows:
// "Untitled - Notepad" (notepad.exe, 4242), "Calculator" minimized (no process,
// pid 77) and "Report.docx" (winword.exe, 900) on the second monitor.
[[nodiscard]] std::shared_ptr<FakePlatform> make_standard_desktop();

}  // namespace vantle::testing
