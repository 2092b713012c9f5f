#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace vantle {
class McpServer;
}

namespace vantle::mcp {

// Each tool takes its "arguments" object and returns a tool result; failures
// are tool results with "isError" true, never JSON-RPC errors.
[[nodiscard]] nlohmann::json list_windows(Platform& platform, const nlohmann::json& arguments);
// capture's result takes at most `room` bytes as written, unless even a
// 1-pixel preview cannot make it fit; the preview shrinks to fit it.
[[nodiscard]] nlohmann::json capture(McpServer& server, const nlohmann::json& arguments,
                                     std::size_t room = SIZE_MAX);
[[nodiscard]] nlohmann::json record_start(McpServer& server, const nlohmann::json& arguments);
[[nodiscard]] nlohmann::json record_stop(McpServer& server, const nlohmann::json& arguments);

}  // namespace vantle::mcp
