#pragma once

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace vantle {
class McpServer;
}

namespace vantle::mcp {

// Each tool takes its "arguments" object and returns a tool result; failures
// are tool results with "isError" true, never JSON-RPC errors.
[[nodiscard]] nlohmann::json list_windows(Platform& platform, const nlohmann::json& arguments);
[[nodiscard]] nlohmann::json capture(McpServer& server, const nlohmann::json& arguments);
[[nodiscard]] nlohmann::json record_start(McpServer& server, const nlohmann::json& arguments);
[[nodiscard]] nlohmann::json record_stop(McpServer& server, const nlohmann::json& arguments);

}  // namespace vantle::mcp
