#include "automation/mcp/protocol.h"

#include <array>

#include "vantle/version.h"

namespace vantle {

namespace {

constexpr std::array<std::string_view, 4> kProtocolVersions{"2025-11-25", "2025-06-18",
                                                            "2025-03-26", "2024-11-05"};

constexpr std::string_view kInstructions =
    "Vantle captures and records windows on this desktop. Name a window by its exact title "
    "(list_windows shows them, with the process that owns each); a title that matches no window "
    "or several is refused. A covered window is captured as itself. Capturing a whole monitor or "
    "a region is off unless the user turns it on in Vantle's settings.";

struct TooDeep {};

// nlohmann's texts read "[json.exception.parse_error.101] parse error at line 1,
// column 2: syntax error ..."; the reply puts the fault first and the place after it.
std::string describe(const nlohmann::json::parse_error& error) {
    std::string_view text = error.what();
    if (const auto close = text.find("] ");
        text.starts_with("[json.exception.") && close != std::string_view::npos) {
        text.remove_prefix(close + 2);
    }
    constexpr std::string_view kAt = "parse error at ";
    if (text.starts_with(kAt)) {
        const std::string_view rest = text.substr(kAt.size());
        if (const auto colon = rest.find(": "); colon != std::string_view::npos) {
            return std::string(rest.substr(colon + 2)) + " at " +
                   std::string(rest.substr(0, colon));
        }
    }
    if (text.starts_with("parse error: ")) {
        text.remove_prefix(13);
    }
    return std::string(text);
}

}  // namespace

nlohmann::json success_response(const nlohmann::json& id, nlohmann::json result) {
    return {{"id", id}, {"jsonrpc", "2.0"}, {"result", std::move(result)}};
}

nlohmann::json error_response(const nlohmann::json& id, int code, std::string message) {
    return {{"error", {{"code", code}, {"message", std::move(message)}}},
            {"id", id},
            {"jsonrpc", "2.0"}};
}

std::expected<nlohmann::json, std::string> parse_message(std::string_view text) {
    // The callback's depth counts the containers around the one that starts.
    const nlohmann::json::parser_callback_t limit =
        [](int depth, nlohmann::json::parse_event_t event, nlohmann::json& /*parsed*/) {
            if ((event == nlohmann::json::parse_event_t::object_start ||
                 event == nlohmann::json::parse_event_t::array_start) &&
                depth >= kMaxNesting) {
                throw TooDeep{};
            }
            return true;
        };
    try {
        nlohmann::json value = nlohmann::json::parse(text, limit);
        // The parser takes a NUL byte outside a string for the end of the text and
        // would let whatever follows it pass unseen; a NUL inside a string or before
        // the value is already its own error, so one found here trails the value.
        if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
            return std::unexpected(
                "syntax error while parsing value - unexpected NUL byte; expected end of "
                "input at line 1, column " +
                std::to_string(nul + 1));
        }
        return value;
    } catch (const nlohmann::json::parse_error& error) {
        return std::unexpected(describe(error));
    } catch (const TooDeep&) {
        return std::unexpected("nesting deeper than " + std::to_string(kMaxNesting) +
                               " arrays or objects");
    } catch (const nlohmann::json::exception& error) {
        return std::unexpected(std::string(error.what()));
    }
}

nlohmann::json initialize_result(const nlohmann::json& params) {
    std::string version(kProtocolVersions.front());
    if (params.is_object()) {
        const auto it = params.find("protocolVersion");
        if (it != params.end() && it->is_string()) {
            for (std::string_view known : kProtocolVersions) {
                if (it->get_ref<const std::string&>() == known) {
                    version = known;
                }
            }
        }
    }
    return {
        {"capabilities", {{"tools", {{"listChanged", false}}}}},
        {"instructions", kInstructions},
        {"protocolVersion", version},
        {"serverInfo", {{"name", "vantle"}, {"title", "Vantle"}, {"version", VANTLE_VERSION}}},
    };
}

}  // namespace vantle
