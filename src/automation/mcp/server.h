#pragma once

#include <atomic>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "automation/mcp/start_channel.h"
#include "automation/mcp/transport.h"
#include "config/config.h"
#include "platform/platform.h"
#include "record/frame_clock.h"
#include "support/sleep.h"
#include "support/writer.h"

namespace vantle {

// What a recording thread leaves behind: the record result object, or the
// error message. Empty when the thread ended abnormally. Written by the thread
// before it ends and read only after joining it.
struct RecordingThreadResult {
    std::optional<std::expected<nlohmann::json, std::string>> value;
};

// A recording that record_start started and record_stop has not stopped yet.
struct RunningRecording {
    std::filesystem::path path;  // absolute, as record_start reported it
    std::shared_ptr<std::atomic<bool>> stop_flag;
    std::thread thread;  // joined exactly once
    std::shared_ptr<RecordingThreadResult> result;
};

// The automation server: JSON-RPC 2.0 over one line per message. Strictly
// sequential: each line is handled completely and answered before the next is
// read. Only the dispatching thread touches `recordings`.
class McpServer {
  public:
    McpServer(PlatformPtr platform, SettingsProvider settings);
    McpServer(const McpServer&) = delete;
    McpServer& operator=(const McpServer&) = delete;
    // Stops and joins whatever recordings are still running.
    ~McpServer();

    // Runs the connection until the input ends, a read fails, a line is not
    // UTF-8 or a reply cannot be written; then stops every running recording
    // and waits for its file. Always returns 0.
    int serve(Reader& input, Writer& output);

    // The reply to one line (already trimmed): none for blank lines,
    // notifications and batches without replies.
    [[nodiscard]] std::optional<nlohmann::json> handle_line(std::string_view line);

    // The reply to one JSON value that is not an array, or none. A capture's
    // reply takes at most `room` bytes as written (no line feed); the first form
    // gives it the whole line.
    [[nodiscard]] std::optional<nlohmann::json> handle_message(const nlohmann::json& message);
    [[nodiscard]] std::optional<nlohmann::json> handle_message(const nlohmann::json& message,
                                                               std::size_t room);

    [[nodiscard]] const PlatformPtr& platform() const { return platform_; }
    // Loads the settings afresh.
    [[nodiscard]] Config settings() const { return settings_(); }
    [[nodiscard]] const SettingsProvider& settings_provider() const { return settings_; }

    // Sets every recording's stop flag, then joins each thread, discarding the outcomes.
    void stop_all_recordings();

    std::map<std::string, RunningRecording> recordings;

    // How record_start waits for a recording's start signal (up to kStartWait).
    mcp::StartWait start_wait = mcp::wait_for_start;
    // How the tools wait (a capture's delay, a restored window's time to draw
    // itself) and how a recording paces its frames (the clock is made on the
    // recording's thread just before it records); tests and the fuzzer put in
    // ones that never really wait.
    Sleeper sleep = sleep_milliseconds;
    std::function<std::unique_ptr<FrameClock>()> make_frame_clock = [] {
        return std::make_unique<MonotonicFrameClock>();
    };
    // The longest line `serve` takes (bytes before the line feed); longer ones
    // are thrown away unread and answered with a parse error.
    std::size_t max_line_bytes = kMaxLineBytes;
    // The longest line a reply with a capture's preview may take, line feed
    // included; tests put in small ones to reach the shrinking with small pictures.
    std::size_t max_reply_bytes = kMaxReplyBytes;

  private:
    [[nodiscard]] nlohmann::json call_tool(const nlohmann::json& id, const nlohmann::json& params,
                                           std::size_t room);

    PlatformPtr platform_;
    SettingsProvider settings_;
};

}  // namespace vantle
