#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/records.h"

namespace vantle {

// One monitor as the listing prints it: "height", "index", "name", "primary",
// "width", "x", "y".
[[nodiscard]] nlohmann::json monitor_json(const MonitorInfo& monitor);

// One window as the listing prints it: "height", "minimized", "monitor", "pid",
// "process", "title", "width", "x", "y", absent values as null. The handle is
// not part of it.
[[nodiscard]] nlohmann::json window_json(const WindowInfo& window);

// {"monitors":[...],"windows":[...]} in the order given. `vantle windows --json`
// prints it and the automation server's list_windows tool returns it.
[[nodiscard]] nlohmann::json windows_listing_json(const std::vector<MonitorInfo>& monitors,
                                                  const std::vector<WindowInfo>& windows);

// The human listing, built from the JSON object above so every value shows as
// its JSON text: one line per window, then one line per monitor.
[[nodiscard]] std::string windows_listing_text(const nlohmann::json& listing);

}  // namespace vantle
