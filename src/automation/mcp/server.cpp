#include "automation/mcp/server.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>

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

namespace {

// Lines read ahead of the dispatcher. The reader waits while more than a few
// lines' worth is queued, so a client that floods the server is held back by
// its pipe as before.
class Inbox {
  public:
    struct Item {
        LineReader::Status status;
        std::string line;
    };

    explicit Inbox(std::size_t max_held) : max_held_(max_held) {}

    // Queues a line; false once the dispatcher has stopped taking them.
    bool push(Item item) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || held_ < max_held_; });
        if (closed_) {
            return false;
        }
        held_ += item.line.size();
        items_.push_back(std::move(item));
        changed_.notify_all();
        return true;
    }
    // The reader is done: the input ended or failed.
    void finish_input() {
        const std::lock_guard lock(mutex_);
        input_done_ = true;
        changed_.notify_all();
    }
    // Stops the dispatcher at once, whatever is still queued.
    void interrupt() {
        const std::lock_guard lock(mutex_);
        interrupted_ = true;
        changed_.notify_all();
    }
    // The dispatcher is done; a waiting reader gives up.
    void close() {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    // The next line; none once the input is done and drained, or interrupted.
    std::optional<Item> pop() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return interrupted_ || !items_.empty() || input_done_; });
        if (interrupted_ || items_.empty()) {
            return std::nullopt;
        }
        Item item = std::move(items_.front());
        items_.pop_front();
        held_ -= item.line.size();
        changed_.notify_all();
        return item;
    }
    // Waits up to `limit` for the reader to be done.
    bool wait_input_done(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return input_done_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> items_;
    std::size_t held_ = 0;
    std::size_t max_held_;
    bool input_done_ = false;
    bool interrupted_ = false;
    bool closed_ = false;
};

constexpr std::chrono::milliseconds kInterruptPoll{50};
// How long the end of serving waits for the reader to finish by itself before
// leaving it blocked in its read (the process is about to end).
constexpr std::chrono::milliseconds kReaderGrace{200};

}  // namespace

int McpServer::serve(Reader& input, Writer& output) {
    auto inbox = std::make_shared<Inbox>(std::max<std::size_t>(max_line_bytes, 1) * 2);
    std::thread reader([&input, inbox, server_end = end, limit = max_line_bytes] {
        LineReader lines(input, limit);
        for (;;) {
            std::string line;
            const LineReader::Status status = lines.next(line);
            if (status != LineReader::Status::kLine && status != LineReader::Status::kTooLong) {
                break;
            }
            if (!inbox->push({status, std::move(line)})) {
                break;
            }
        }
        // Whatever is still being handled must not wait on: the client is gone.
        server_end->end();
        inbox->finish_input();
    });
    std::thread watcher;
    if (interrupted) {
        watcher = std::thread([this, inbox] {
            while (!end->sleep(static_cast<std::uint64_t>(kInterruptPoll.count()))) {
                if (interrupted()) {
                    inbox->interrupt();
                    end->end();
                }
            }
        });
    }

    while (const std::optional<Inbox::Item> item = inbox->pop()) {
        std::optional<json> reply;
        if (item->status == LineReader::Status::kLine) {
            reply = handle_line(item->line);
        } else {
            // Unread, so nothing is known of it: answered like a line that is not JSON.
            reply = error_response(nullptr, kParseError,
                                   "parse error: the line is longer than " +
                                       std::to_string(max_line_bytes) + " bytes");
        }
        if (reply && !write_reply(output, *reply)) {
            break;
        }
    }
    end->end();
    inbox->close();
    stop_all_recordings();
    if (watcher.joinable()) {
        watcher.join();
    }
    // A client that closed our output, or a signal, can leave the input open:
    // the reader then stays in its read until the process ends.
    if (inbox->wait_input_done(kReaderGrace)) {
        reader.join();
    } else {
        reader.detach();
    }
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
