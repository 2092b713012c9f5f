#pragma once

#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vantle {

// The four JSON-RPC error codes the server answers with.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;

// Deeper messages are refused as parse errors.
inline constexpr int kMaxNesting = 128;

[[nodiscard]] nlohmann::json success_response(const nlohmann::json& id, nlohmann::json result);
[[nodiscard]] nlohmann::json error_response(const nlohmann::json& id, int code,
                                            std::string message);

// One JSON text, nested at most kMaxNesting deep, or the parser's description
// of the first fault (without the "parse error: " prefix).
[[nodiscard]] std::expected<nlohmann::json, std::string> parse_message(std::string_view text);

// The answer to "initialize" for the client's params.
[[nodiscard]] nlohmann::json initialize_result(const nlohmann::json& params);

}  // namespace vantle
