#include "automation/mcp/arguments.h"

#include <limits>

namespace vantle::mcp {

using nlohmann::json;

const json* find_argument(const json& arguments, const char* name) {
    if (!arguments.is_object()) {
        return nullptr;
    }
    const auto it = arguments.find(name);
    return it == arguments.end() ? nullptr : &*it;
}

std::optional<std::string> text_argument(const json& arguments, const char* name) {
    const json* value = find_argument(arguments, name);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

bool flag_argument(const json& arguments, const char* name) {
    const json* value = find_argument(arguments, name);
    return value != nullptr && value->is_boolean() && value->get<bool>();
}

std::optional<std::uint64_t> non_negative_integer(const json& value) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    }
    return std::nullopt;
}

std::optional<std::int64_t> signed_integer(const json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    return std::nullopt;
}

namespace {

constexpr const char* kRegionShape = "region is {x, y, width, height}";
constexpr const char* kRegionValues =
    "region is {x, y, width, height} with a positive width and height";

std::expected<CaptureTarget, std::string> region_target(const json& value) {
    if (!value.is_object()) {
        return std::unexpected(kRegionShape);
    }
    std::int64_t fields[4] = {};
    const char* names[4] = {"x", "y", "width", "height"};
    for (int i = 0; i < 4; ++i) {
        const json* member = find_argument(value, names[i]);
        const std::optional<std::int64_t> number =
            member != nullptr ? signed_integer(*member) : std::nullopt;
        // Values that do not fit the 32-bit fields are refused, not wrapped: a
        // wrapped coordinate would name a place the caller never asked for.
        if (!number || *number < std::numeric_limits<std::int32_t>::min() ||
            *number > std::numeric_limits<std::int32_t>::max()) {
            return std::unexpected(kRegionValues);
        }
        fields[i] = *number;
    }
    if (fields[2] <= 0 || fields[3] <= 0) {
        return std::unexpected(kRegionValues);
    }
    return RegionTarget{
        Region{static_cast<std::int32_t>(fields[0]), static_cast<std::int32_t>(fields[1]),
               static_cast<std::uint32_t>(fields[2]), static_cast<std::uint32_t>(fields[3])}};
}

}  // namespace

std::expected<CaptureTarget, std::string> parse_target_arguments(const json& arguments,
                                                                 const SettingsProvider& settings) {
    const std::optional<std::string> window = text_argument(arguments, "window");
    const json* monitor = find_argument(arguments, "monitor");
    const json* region = find_argument(arguments, "region");
    const int given = (window ? 1 : 0) + (monitor != nullptr ? 1 : 0) + (region != nullptr ? 1 : 0);
    if (given == 0) {
        return std::unexpected("Name a window by its exact title (list_windows shows them).");
    }
    if (given > 1) {
        return std::unexpected("Give one target: window, monitor or region.");
    }
    if (window) {
        if (window->empty()) {
            return std::unexpected("The window title is empty.");
        }
        return WindowTarget{*window, text_argument(arguments, "process")};
    }
    if (!settings().automation_allow_desktop) {
        return std::unexpected(
            "Capturing a whole monitor or a region is off in Vantle's settings (Automation: \"Let "
            "automation capture the whole desktop\"). Name a window instead; list_windows shows "
            "them.");
    }
    if (monitor != nullptr) {
        const std::optional<std::uint64_t> index = non_negative_integer(*monitor);
        if (!index) {
            return std::unexpected("monitor is an index from list_windows' monitors");
        }
        return MonitorTarget{*index};
    }
    return region_target(*region);
}

}  // namespace vantle::mcp
