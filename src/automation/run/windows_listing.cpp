#include "automation/run/windows_listing.h"

#include "support/json_line.h"
#include "support/utf.h"

namespace vantle {

namespace {

template <typename T>
nlohmann::json or_null(const std::optional<T>& value) {
    if (!value) {
        return nullptr;
    }
    return *value;
}

// A member's JSON text; a missing member reads as null like an absent value.
std::string text_of(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) {
        return "null";
    }
    return json_text(*found);
}

// A string member's bare text, or `fallback` when it is not a string. The text
// is made well-formed UTF-8 as its JSON form would be.
std::string bare_of(const nlohmann::json& object, const char* name, std::string_view fallback) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string()) {
        return std::string(fallback);
    }
    return utf8_lossy(found->get_ref<const std::string&>());
}

bool is_true(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

const nlohmann::json& array_of(const nlohmann::json& listing, const char* name) {
    static const nlohmann::json kEmpty = nlohmann::json::array();
    const auto found = listing.find(name);
    if (found == listing.end() || !found->is_array()) {
        return kEmpty;
    }
    return *found;
}

}  // namespace

nlohmann::json monitor_json(const MonitorInfo& monitor) {
    return {
        {"height", monitor.height}, {"index", monitor.index},
        {"name", monitor.name},     {"primary", monitor.primary},
        {"width", monitor.width},   {"x", monitor.x},
        {"y", monitor.y},
    };
}

nlohmann::json window_json(const WindowInfo& window) {
    return {
        {"height", or_null(window.height)},
        {"minimized", window.minimized},
        {"monitor", or_null(window.monitor)},
        {"pid", or_null(window.pid)},
        {"process", or_null(window.process)},
        {"title", window.title},
        {"width", or_null(window.width)},
        {"x", or_null(window.x)},
        {"y", or_null(window.y)},
    };
}

nlohmann::json windows_listing_json(const std::vector<MonitorInfo>& monitors,
                                    const std::vector<WindowInfo>& windows) {
    nlohmann::json monitor_list = nlohmann::json::array();
    for (const MonitorInfo& monitor : monitors) {
        monitor_list.push_back(monitor_json(monitor));
    }
    nlohmann::json window_list = nlohmann::json::array();
    for (const WindowInfo& window : windows) {
        window_list.push_back(window_json(window));
    }
    nlohmann::json listing = nlohmann::json::object();
    listing["monitors"] = std::move(monitor_list);
    listing["windows"] = std::move(window_list);
    return listing;
}

std::string windows_listing_text(const nlohmann::json& listing) {
    std::string text;
    for (const nlohmann::json& window : array_of(listing, "windows")) {
        text += text_of(window, "title");
        text += "  [";
        text += bare_of(window, "process", "?");
        text += " pid ";
        text += text_of(window, "pid");
        text += "]  ";
        if (is_true(window, "minimized")) {
            text += "minimized";
        } else {
            text += text_of(window, "width") + "x" + text_of(window, "height") + " at " +
                    text_of(window, "x") + "," + text_of(window, "y") + "  monitor " +
                    text_of(window, "monitor");
        }
        text += '\n';
    }
    for (const nlohmann::json& monitor : array_of(listing, "monitors")) {
        text += "monitor " + text_of(monitor, "index") + ": " + text_of(monitor, "width") + "x" +
                text_of(monitor, "height") + " at " + text_of(monitor, "x") + "," +
                text_of(monitor, "y");
        if (is_true(monitor, "primary")) {
            text += " (primary)";
        }
        text += "  ";
        text += bare_of(monitor, "name", "");
        text += '\n';
    }
    return text;
}

}  // namespace vantle
