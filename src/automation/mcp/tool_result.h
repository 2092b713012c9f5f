#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vantle::mcp {

// Content items of a tool result.
[[nodiscard]] nlohmann::json text_item(std::string text);
[[nodiscard]] nlohmann::json png_item(std::string base64_data);

// {"content": content, "isError": false}.
[[nodiscard]] nlohmann::json tool_success(nlohmann::json content);
// A success with one text item: `object` serialised compactly.
[[nodiscard]] nlohmann::json tool_json(const nlohmann::json& object);
// {"content": [text_item(message)], "isError": true}.
[[nodiscard]] nlohmann::json tool_error(std::string message);

}  // namespace vantle::mcp
