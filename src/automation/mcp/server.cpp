#include "automation/mcp/server.h"

#include "automation/mcp/catalogue.h"
#include "automation/mcp/protocol.h"
#include "automation/mcp/tools.h"
#include "automation/mcp/transport.h"
#include "support/json_line.h"

namespace vantle {

using nlohmann::json;

McpServer::McpServer(PlatformPtr platform, SettingsProvider settings)
    : platform_(std::move(platform)), settings_(std::move(settings)) {}

McpServer::~McpServer() {
    stop_all_recordings();
}

int McpServer::serve(Reader& input, Writer& output) {
    {
        LineReader lines(input, max_line_bytes);
        std::string line;
        for (;;) {
            const LineReader::Status status = lines.next(line);
            std::optional<json> reply;
            if (status == LineReader::Status::kLine) {
                reply = handle_line(line);
            } else if (status == LineReader::Status::kTooLong) {
                // Unread, so nothing is known of it: answered like a line that is not JSON.
                reply = error_response(nullptr, kParseError,
                                       "parse error: the line is longer than " +
                                           std::to_string(max_line_bytes) + " bytes");
            } else {
                break;
            }
            if (reply && !write_reply(output, *reply)) {
                break;
            }
        }
    }
    stop_all_recordings();
    return 0;
}

std::optional<json> McpServer::handle_line(std::string_view line) {
    if (line.empty()) {
        return std::nullopt;
    }
    auto message = parse_message(line);
    if (!message) {
        return error_response(nullptr, kParseError, "parse error: " + message.error());
    }
    if (!message->is_array()) {
        return handle_message(*message);
    }
    // The replies of a batch share one line: each gets what those before it left.
    json replies = json::array();
    std::size_t used = std::string_view("[]\n").size();
    for (const json& element : *message) {
        if (element.is_array()) {
            continue;
        }
        const std::size_t separator = replies.empty() ? 0 : 1;
        const std::size_t room =
            max_reply_bytes > used + separator ? max_reply_bytes - used - separator : 0;
        if (auto reply = handle_message(element, room)) {
            used += separator + json_text(*reply).size();
            replies.push_back(std::move(*reply));
        }
    }
    if (replies.empty()) {
        return std::nullopt;
    }
    return replies;
}

std::optional<json> McpServer::handle_message(const json& message) {
    return handle_message(message, max_reply_bytes > 0 ? max_reply_bytes - 1 : 0);
}

std::optional<json> McpServer::handle_message(const json& message, std::size_t room) {
    if (!message.is_object()) {
        return std::nullopt;
    }
    const auto id = message.find("id");
    const auto method = message.find("method");
    if (method == message.end() || !method->is_string()) {
        if (id == message.end()) {
            return std::nullopt;
        }
        return error_response(*id, kInvalidRequest, "invalid request");
    }
    if (id == message.end()) {
        return std::nullopt;
    }
    const auto params_it = message.find("params");
    const json params = params_it != message.end() ? *params_it : json(nullptr);
    const std::string& name = method->get_ref<const std::string&>();
    if (name == "ping") {
        return success_response(*id, json::object());
    }
    if (name == "initialize") {
        return success_response(*id, initialize_result(params));
    }
    if (name == "tools/list") {
        return success_response(*id, {{"tools", mcp::tool_catalogue(settings())}});
    }
    if (name == "tools/call") {
        return call_tool(*id, params, room);
    }
    return error_response(*id, kMethodNotFound, "method not found: " + name);
}

json McpServer::call_tool(const json& id, const json& params, std::size_t room) {
    std::string name;
    json arguments = json::object();
    if (params.is_object()) {
        if (const auto it = params.find("name"); it != params.end() && it->is_string()) {
            name = it->get<std::string>();
        }
        if (const auto it = params.find("arguments"); it != params.end() && it->is_object()) {
            arguments = *it;
        }
    }
    if (name == "list_windows") {
        return success_response(id, mcp::list_windows(*platform_, arguments));
    }
    if (name == "capture") {
        // What the reply around the tool result takes: "null" stands in for the result.
        const std::size_t around = json_text(success_response(id, nullptr)).size() - 4;
        return success_response(id,
                                mcp::capture(*this, arguments, room > around ? room - around : 0));
    }
    if (name == "record_start") {
        return success_response(id, mcp::record_start(*this, arguments));
    }
    if (name == "record_stop") {
        return success_response(id, mcp::record_stop(*this, arguments));
    }
    return error_response(id, kInvalidParams, "unknown tool: " + name);
}

void McpServer::stop_all_recordings() {
    // Every flag first, so the recordings wind down together rather than one by one.
    for (auto& [id, recording] : recordings) {
        recording.stop_flag->store(true);
    }
    for (auto& [id, recording] : recordings) {
        if (recording.thread.joinable()) {
            recording.thread.join();
        }
    }
    recordings.clear();
}

}  // namespace vantle
