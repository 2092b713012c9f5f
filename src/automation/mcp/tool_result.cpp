#include "automation/mcp/tool_result.h"

#include "support/json_line.h"

namespace vantle::mcp {

nlohmann::json text_item(std::string text) {
    return {{"type", "text"}, {"text", std::move(text)}};
}

nlohmann::json png_item(std::string base64_data) {
    return {{"type", "image"}, {"data", std::move(base64_data)}, {"mimeType", "image/png"}};
}

nlohmann::json tool_success(nlohmann::json content) {
    return {{"content", std::move(content)}, {"isError", false}};
}

nlohmann::json tool_json(const nlohmann::json& object) {
    return tool_success(nlohmann::json::array({text_item(json_text(object))}));
}

nlohmann::json tool_error(std::string message) {
    return {{"content", nlohmann::json::array({text_item(std::move(message))})}, {"isError", true}};
}

}  // namespace vantle::mcp
