#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vantle {

// A desktop rectangle in physical pixels; the origin is the primary monitor's
// top-left corner, other monitors may lie at negative coordinates.
struct Region {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    friend bool operator==(const Region&, const Region&) = default;
};

struct MonitorInfo {
    std::uint64_t index = 0;  // position in the enumeration; what users pass to --monitor
    std::string name;         // device name, possibly empty
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool primary = false;

    friend bool operator==(const MonitorInfo&, const MonitorInfo&) = default;
};

struct WindowInfo {
    std::uint64_t handle = 0;  // the system's handle; every later operation uses only this
    std::string title;         // exactly as read
    std::optional<std::string> process;  // executable file name, such as notepad.exe
    std::optional<std::uint32_t> pid;
    // The visible frame; the four are present or absent together (absent when minimized).
    std::optional<std::int32_t> x;
    std::optional<std::int32_t> y;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::optional<std::uint64_t> monitor;  // index of the monitor the window is on
    bool minimized = false;

    friend bool operator==(const WindowInfo&, const WindowInfo&) = default;
};

// An 8-bit picture: red, green, blue, alpha per pixel, top row first, no row gaps.
struct RgbaImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;

    friend bool operator==(const RgbaImage&, const RgbaImage&) = default;
};

// What a caller named.
struct WindowTarget {
    std::string title;  // never empty when produced by the grammar
    std::optional<std::string> process;
    friend bool operator==(const WindowTarget&, const WindowTarget&) = default;
};
struct MonitorTarget {
    std::uint64_t index = 0;
    friend bool operator==(const MonitorTarget&, const MonitorTarget&) = default;
};
struct RegionTarget {
    Region region;
    friend bool operator==(const RegionTarget&, const RegionTarget&) = default;
};
using CaptureTarget = std::variant<WindowTarget, MonitorTarget, RegionTarget>;

// A target after the checks for a still capture.
struct ResolvedWindow {
    WindowInfo window;
    friend bool operator==(const ResolvedWindow&, const ResolvedWindow&) = default;
};
struct ResolvedMonitor {
    MonitorInfo monitor;
    friend bool operator==(const ResolvedMonitor&, const ResolvedMonitor&) = default;
};
struct ResolvedRegion {
    Region region;
    std::optional<std::uint64_t> monitor;  // the monitor it overlaps most, if any
    friend bool operator==(const ResolvedRegion&, const ResolvedRegion&) = default;
};
using ResolvedTarget = std::variant<ResolvedWindow, ResolvedMonitor, ResolvedRegion>;

// A target ready for recording.
struct RecordWindow {
    WindowInfo window;
    friend bool operator==(const RecordWindow&, const RecordWindow&) = default;
};
struct RecordMonitor {
    MonitorInfo monitor;
    friend bool operator==(const RecordMonitor&, const RecordMonitor&) = default;
};
struct RecordRegion {
    Region region;
    MonitorInfo monitor;  // the monitor that wholly contains the region
    friend bool operator==(const RecordRegion&, const RecordRegion&) = default;
};
using RecordTarget = std::variant<RecordWindow, RecordMonitor, RecordRegion>;

// The monitor a desktop rectangle overlaps most (64-bit arithmetic; only
// positive overlaps count; on equal areas the later monitor wins), or none.
[[nodiscard]] std::optional<std::uint64_t> monitor_of_rect(
    const Region& rect, const std::vector<MonitorInfo>& monitors);

// Gives a listed window its visible frame and, as every desktop lists it, the
// monitor that frame overlaps most.
void place_window(WindowInfo& window, const Region& frame,
                  const std::vector<MonitorInfo>& monitors);

}  // namespace vantle
