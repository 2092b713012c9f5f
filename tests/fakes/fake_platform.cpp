#include "fakes/fake_platform.h"

#include <algorithm>

namespace vantle::testing {

namespace {

std::string region_text(const Region& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

std::string cursor_suffix(bool cursor) {
    return cursor ? " cursor" : "";
}

std::string target_text(const RecordTarget& target) {
    if (const auto* w = std::get_if<RecordWindow>(&target)) {
        return "window " + std::to_string(w->window.handle);
    }
    if (const auto* m = std::get_if<RecordMonitor>(&target)) {
        return "monitor " + std::to_string(m->monitor.index);
    }
    const auto& r = std::get<RecordRegion>(target);
    return "region " + region_text(r.region) + " on " + std::to_string(r.monitor.index);
}

}  // namespace

RgbaImage solid_image(std::uint32_t width, std::uint32_t height, std::uint32_t rgba) {
    RgbaImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(std::size_t{width} * height * 4);
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
        image.pixels[i] = static_cast<std::uint8_t>(rgba >> 24);
        image.pixels[i + 1] = static_cast<std::uint8_t>(rgba >> 16);
        image.pixels[i + 2] = static_cast<std::uint8_t>(rgba >> 8);
        image.pixels[i + 3] = static_cast<std::uint8_t>(rgba);
    }
    return image;
}

MonitorInfo make_monitor(std::uint64_t index, std::int32_t x, std::int32_t y, std::uint32_t width,
                         std::uint32_t height, bool primary, std::string name) {
    MonitorInfo monitor;
    monitor.index = index;
    monitor.name = std::move(name);
    monitor.x = x;
    monitor.y = y;
    monitor.width = width;
    monitor.height = height;
    monitor.primary = primary;
    return monitor;
}

WindowInfo make_window(std::uint64_t handle, std::string title, std::optional<std::string> process,
                       std::uint32_t pid, Region frame, std::optional<std::uint64_t> monitor) {
    WindowInfo window;
    window.handle = handle;
    window.title = std::move(title);
    window.process = std::move(process);
    window.pid = pid;
    window.x = frame.x;
    window.y = frame.y;
    window.width = frame.width;
    window.height = frame.height;
    window.monitor = monitor;
    return window;
}

WindowInfo make_minimized_window(std::uint64_t handle, std::string title,
                                 std::optional<std::string> process, std::uint32_t pid) {
    WindowInfo window;
    window.handle = handle;
    window.title = std::move(title);
    window.process = std::move(process);
    window.pid = pid;
    window.minimized = true;
    return window;
}

std::shared_ptr<FakePlatform> make_standard_desktop() {
    auto platform = std::make_shared<FakePlatform>();
    platform->monitors = {make_monitor(0, 0, 0, 1920, 1080, true, "\\\\.\\DISPLAY1"),
                          make_monitor(1, 1920, 0, 1920, 1080, false, "\\\\.\\DISPLAY2")};
    platform->windows = {
        make_window(7, "Untitled - Notepad", "notepad.exe", 4242, {100, 50, 800, 600}, 0),
        make_minimized_window(8, "Calculator", std::nullopt, 77),
        make_window(9, "Report.docx", "winword.exe", 900, {2000, 100, 1024, 768}, 1),
    };
    return platform;
}

std::vector<std::string> FakePlatform::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

void FakePlatform::clear_calls() {
    const std::lock_guard lock(mutex_);
    calls_.clear();
}

void FakePlatform::record(std::string call) {
    std::function<void(const std::string&)> hook;
    {
        const std::lock_guard lock(mutex_);
        calls_.push_back(call);
        hook = on_call;
    }
    if (hook) {
        hook(call);
    }
}

CliResult<std::vector<MonitorInfo>> FakePlatform::enumerate_monitors() {
    record("enumerate_monitors");
    const std::lock_guard lock(mutex_);
    if (monitors_error) {
        return std::unexpected(*monitors_error);
    }
    return monitors;
}

CliResult<std::vector<WindowInfo>> FakePlatform::enumerate_windows() {
    record("enumerate_windows");
    const std::lock_guard lock(mutex_);
    if (windows_error) {
        return std::unexpected(*windows_error);
    }
    return windows;
}

CliResult<RgbaImage> FakePlatform::capture_window(const WindowInfo& window, bool cursor) {
    record("capture_window " + std::to_string(window.handle) + cursor_suffix(cursor));
    const std::lock_guard lock(mutex_);
    if (capture_error) {
        return std::unexpected(*capture_error);
    }
    if (auto it = window_pictures.find(window.handle); it != window_pictures.end()) {
        return it->second;
    }
    return solid_image(window.width.value_or(64), window.height.value_or(48));
}

CliResult<RgbaImage> FakePlatform::capture_monitor(const MonitorInfo& monitor, bool cursor) {
    record("capture_monitor " + std::to_string(monitor.index) + cursor_suffix(cursor));
    const std::lock_guard lock(mutex_);
    if (capture_error) {
        return std::unexpected(*capture_error);
    }
    if (auto it = monitor_pictures.find(monitor.index); it != monitor_pictures.end()) {
        return it->second;
    }
    return solid_image(monitor.width, monitor.height);
}

CliResult<RgbaImage> FakePlatform::capture_region(const Region& region, bool cursor) {
    record("capture_region " + region_text(region) + cursor_suffix(cursor));
    const std::lock_guard lock(mutex_);
    if (capture_error) {
        return std::unexpected(*capture_error);
    }
    if (region_picture) {
        return *region_picture;
    }
    return solid_image(region.width, region.height);
}

CliStatus FakePlatform::restore_window(const WindowInfo& window) {
    record("restore_window " + std::to_string(window.handle));
    const std::lock_guard lock(mutex_);
    if (restore_error) {
        return std::unexpected(*restore_error);
    }
    return {};
}

void FakePlatform::minimize_window(const WindowInfo& window) {
    record("minimize_window " + std::to_string(window.handle));
}

bool FakePlatform::window_exists(const WindowInfo& window) {
    record("window_exists " + std::to_string(window.handle));
    const std::lock_guard lock(mutex_);
    return std::find(closed_windows.begin(), closed_windows.end(), window.handle) ==
           closed_windows.end();
}

CliResult<std::unique_ptr<FrameSource>> FakePlatform::start_recording_source(
    const RecordTarget& target, bool cursor) {
    record("start_recording_source " + target_text(target) + cursor_suffix(cursor));
    std::function<CliResult<std::unique_ptr<FrameSource>>(const RecordTarget&, bool)> make;
    {
        const std::lock_guard lock(mutex_);
        if (source_error) {
            return std::unexpected(*source_error);
        }
        make = make_source;
    }
    if (!make) {
        return std::unexpected(CliError::failed("the fake platform has no scripted frame source"));
    }
    return make(target, cursor);
}

CliResult<std::unique_ptr<VideoEncoder>> FakePlatform::open_encoder(
    const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
    std::uint32_t fps) {
    record("open_encoder " + std::to_string(width) + "x" + std::to_string(height) + " " +
           std::to_string(fps));
    std::function<CliResult<std::unique_ptr<VideoEncoder>>(
        const std::filesystem::path&, std::uint32_t, std::uint32_t, std::uint32_t)>
        make;
    {
        const std::lock_guard lock(mutex_);
        if (encoder_error) {
            return std::unexpected(*encoder_error);
        }
        make = make_encoder;
    }
    if (!make) {
        return std::unexpected(CliError::failed("the fake platform has no scripted encoder"));
    }
    return make(path, width, height, fps);
}

}  // namespace vantle::testing
