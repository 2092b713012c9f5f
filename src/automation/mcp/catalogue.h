#pragma once

#include <nlohmann/json.hpp>

#include "config/config.h"

namespace vantle::mcp {

// The descriptions of the four tools in their fixed order. Only
// automation_allow_desktop is read: it decides whether capture and record_start
// advertise monitor and region targets.
[[nodiscard]] nlohmann::json tool_catalogue(const Config& settings);

}  // namespace vantle::mcp
