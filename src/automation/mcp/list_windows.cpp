#include "automation/mcp/arguments.h"
#include "automation/mcp/text.h"
#include "automation/mcp/tool_result.h"
#include "automation/mcp/tools.h"
#include "automation/run/windows_listing.h"

namespace vantle::mcp {

namespace {

using nlohmann::json;

std::string title_of(const json& window) {
    const auto it = window.find("title");
    return it != window.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool process_matches(const json& window, const std::string& wanted) {
    const auto it = window.find("process");
    if (it == window.end() || !it->is_string()) {
        return false;
    }
    return to_ascii_lower(trim_white_space(it->get_ref<const std::string&>())) ==
           to_ascii_lower(trim_white_space(wanted));
}

}  // namespace

json list_windows(Platform& platform, const json& arguments) {
    auto monitors = platform.enumerate_monitors();
    if (!monitors) {
        return tool_error(monitors.error().message);
    }
    auto windows = platform.enumerate_windows();
    if (!windows) {
        return tool_error(windows.error().message);
    }
    json listing = windows_listing_json(*monitors, *windows);

    std::optional<std::string> title_filter = text_argument(arguments, "title_contains");
    if (title_filter) {
        *title_filter = to_lower(*title_filter);
    }
    const std::optional<std::string> process_filter = text_argument(arguments, "process");

    json kept = json::array();
    for (json& window : listing["windows"]) {
        if (title_filter && !title_filter->empty() &&
            to_lower(title_of(window)).find(*title_filter) == std::string::npos) {
            continue;
        }
        if (process_filter && !process_matches(window, *process_filter)) {
            continue;
        }
        kept.push_back(std::move(window));
    }
    listing["windows"] = std::move(kept);
    return tool_json(listing);
}

}  // namespace vantle::mcp
