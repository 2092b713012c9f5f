#include "automation/run/targets.h"

#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "support/utf.h"

namespace vantle {

namespace {

constexpr std::string_view kDesktopRefusal =
    "a monitor or region capture shows the whole desktop, so it needs --allow-desktop";

// The edges of a rectangle in 64 bits, where sums of 32-bit fields cannot overflow.
struct Edges {
    std::int64_t left;
    std::int64_t top;
    std::int64_t right;
    std::int64_t bottom;
};

Edges edges_of(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height) {
    return {x, y, std::int64_t{x} + width, std::int64_t{y} + height};
}

bool contains(const Edges& outer, const Edges& inner) {
    return outer.left <= inner.left && outer.top <= inner.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

std::string region_text(const Region& region) {
    return std::to_string(region.x) + "," + std::to_string(region.y) + "," +
           std::to_string(region.width) + "," + std::to_string(region.height);
}

std::string window_description(const WindowTarget& target) {
    std::string text = double_quoted(target.title);
    if (target.process) {
        text += " in " + escape_control_characters(*target.process);
    }
    return text;
}

std::string match_list(const std::vector<const WindowInfo*>& matches) {
    std::string list;
    for (const WindowInfo* window : matches) {
        if (!list.empty()) {
            list += ", ";
        }
        list += escape_control_characters(window->process.value_or("?"));
        list += " pid ";
        list += window->pid ? std::to_string(*window->pid) : "?";
    }
    return list;
}

CliResult<ResolvedTarget> resolve_monitor(Platform& platform, const MonitorTarget& target) {
    auto monitors = platform.enumerate_monitors();
    if (!monitors) {
        return std::unexpected(std::move(monitors.error()));
    }
    if (target.index < monitors->size()) {
        return ResolvedMonitor{(*monitors)[target.index]};
    }
    return std::unexpected(CliError::refused(
        "there is no monitor " + std::to_string(target.index) + "; this desktop has " +
        std::to_string(monitors->size()) + " (numbered from 0)"));
}

CliResult<ResolvedTarget> resolve_region(Platform& platform, const RegionTarget& target) {
    auto monitors = platform.enumerate_monitors();
    if (!monitors) {
        return std::unexpected(std::move(monitors.error()));
    }
    if (monitors->empty()) {
        return std::unexpected(CliError::failed("no monitors reported"));
    }
    Edges box = edges_of(monitors->front().x, monitors->front().y, monitors->front().width,
                         monitors->front().height);
    for (const MonitorInfo& monitor : *monitors) {
        const Edges edges = edges_of(monitor.x, monitor.y, monitor.width, monitor.height);
        box.left = std::min(box.left, edges.left);
        box.top = std::min(box.top, edges.top);
        box.right = std::max(box.right, edges.right);
        box.bottom = std::max(box.bottom, edges.bottom);
    }
    const Region& region = target.region;
    // Only the bounding box counts: a region in a gap between monitors of
    // different sizes is still on the desktop.
    if (!contains(box, edges_of(region.x, region.y, region.width, region.height))) {
        return std::unexpected(CliError::refused(
            "the region " + region_text(region) + " is not inside the desktop " +
            std::to_string(box.left) + "," + std::to_string(box.top) + "," +
            std::to_string(box.right - box.left) + "," + std::to_string(box.bottom - box.top)));
    }
    return ResolvedRegion{region, monitor_of_rect(region, *monitors)};
}

CliResult<ResolvedTarget> resolve_window(Platform& platform, const WindowTarget& target,
                                         bool restore) {
    auto windows = platform.enumerate_windows();
    if (!windows) {
        return std::unexpected(std::move(windows.error()));
    }
    std::optional<std::string> wanted_process;
    if (target.process) {
        wanted_process = normalize_process_name(*target.process);
    }
    std::vector<const WindowInfo*> matches;
    for (const WindowInfo& window : *windows) {
        if (window.title != target.title) {
            continue;
        }
        if (wanted_process &&
            (!window.process || normalize_process_name(*window.process) != *wanted_process)) {
            continue;
        }
        matches.push_back(&window);
    }
    const std::string description = window_description(target);
    if (matches.empty()) {
        return std::unexpected(CliError::refused("no window is titled " + description +
                                                 "; `vantle windows` lists them"));
    }
    if (matches.size() > 1) {
        return std::unexpected(CliError::refused(
            std::to_string(matches.size()) + " windows are titled " + description + " (" +
            match_list(matches) + "); add --process or make the title unique"));
    }
    const WindowInfo& window = *matches.front();
    if (window.minimized && !restore) {
        return std::unexpected(CliError{description +
                                            " is minimized; --restore shows it without taking "
                                            "focus, captures it and minimizes it again",
                                        ExitCode::kMinimized});
    }
    return ResolvedWindow{window};
}

}  // namespace

std::string normalize_process_name(std::string_view name) {
    std::string text(trim_unicode_white_space(name));
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    constexpr std::string_view kExe = ".exe";
    if (text.ends_with(kExe)) {
        text.resize(text.size() - kExe.size());
    }
    return text;
}

CliResult<ResolvedTarget> resolve_target(Platform& platform, const CaptureTarget& target,
                                         bool allow_desktop, bool restore) {
    if (!allow_desktop && !std::holds_alternative<WindowTarget>(target)) {
        return std::unexpected(CliError::refused(std::string(kDesktopRefusal)));
    }
    return std::visit(
        [&](const auto& named) -> CliResult<ResolvedTarget> {
            using Named = std::decay_t<decltype(named)>;
            if constexpr (std::is_same_v<Named, WindowTarget>) {
                return resolve_window(platform, named, restore);
            } else if constexpr (std::is_same_v<Named, MonitorTarget>) {
                return resolve_monitor(platform, named);
            } else {
                return resolve_region(platform, named);
            }
        },
        target);
}

CliResult<ResolvedRecordTarget> resolve_record_target(Platform& platform,
                                                      const CaptureTarget& target,
                                                      bool allow_desktop, bool restore) {
    auto resolved = resolve_target(platform, target, allow_desktop, restore);
    if (!resolved) {
        return std::unexpected(std::move(resolved.error()));
    }
    if (const auto* window = std::get_if<ResolvedWindow>(&*resolved)) {
        return ResolvedRecordTarget{RecordWindow{window->window}, *resolved};
    }
    if (const auto* monitor = std::get_if<ResolvedMonitor>(&*resolved)) {
        return ResolvedRecordTarget{RecordMonitor{monitor->monitor}, *resolved};
    }
    const Region region = std::get<ResolvedRegion>(*resolved).region;
    auto monitors = platform.enumerate_monitors();
    if (!monitors) {
        return std::unexpected(std::move(monitors.error()));
    }
    const Edges wanted = edges_of(region.x, region.y, region.width, region.height);
    for (const MonitorInfo& monitor : *monitors) {
        if (contains(edges_of(monitor.x, monitor.y, monitor.width, monitor.height), wanted)) {
            return ResolvedRecordTarget{RecordRegion{region, monitor}, *resolved};
        }
    }
    return std::unexpected(CliError::refused("a recorded region has to lie on one monitor"));
}

TargetDescription describe_target(const ResolvedTarget& target) {
    if (const auto* window = std::get_if<ResolvedWindow>(&target)) {
        return {"window", window->window.title, window->window.process, window->window.pid,
                window->window.monitor};
    }
    if (const auto* monitor = std::get_if<ResolvedMonitor>(&target)) {
        return {"monitor", std::nullopt, std::nullopt, std::nullopt, monitor->monitor.index};
    }
    return {"region", std::nullopt, std::nullopt, std::nullopt,
            std::get<ResolvedRegion>(target).monitor};
}

nlohmann::json target_json(const TargetDescription& description) {
    const auto or_null = [](const auto& value) -> nlohmann::json {
        if (value) {
            return *value;
        }
        return nullptr;
    };
    return nlohmann::json{{"kind", description.kind},
                          {"pid", or_null(description.pid)},
                          {"process", or_null(description.process)},
                          {"title", or_null(description.title)}};
}

}  // namespace vantle
