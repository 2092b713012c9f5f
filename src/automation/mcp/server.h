#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

// How a busy server learns that it has to end: its input ended or failed, or
// the process was asked to end (SIGTERM, SIGINT, SIGHUP, a console event).
// Every wait of a request watches it, so none outlasts it.
class ServerEnd {
  public:
    // Marks the end; safe from any thread and more than once.
    void end() {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
    }
    [[nodiscard]] bool ended() const {
        const std::lock_guard lock(mutex_);
        return ended_;
    }
    // Sleeps up to `milliseconds`; returns early, and true, once ended.
    bool sleep(std::uint64_t milliseconds) {
        const auto limit = std::chrono::milliseconds(static_cast<std::int64_t>(
            std::min<std::uint64_t>(milliseconds, std::uint64_t{1} << 40)));
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return ended_; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
};

// The automation server: JSON-RPC 2.0 over one line per message. Lines are
// read on a thread of their own, so the end of the input is seen while a
// request is still being handled; they are handled strictly in order, each
// answered before the next is handled. Only the dispatching thread touches
// `recordings`.
class McpServer {
  public:
    McpServer(PlatformPtr platform, SettingsProvider settings);
    McpServer(const McpServer&) = delete;
    McpServer& operator=(const McpServer&) = delete;
    // Stops and joins whatever recordings are still running.
    ~McpServer();

    // Runs the connection until the input ends, a read fails, a line is not
    // UTF-8, a reply cannot be written or `interrupted` turns true; then stops
    // every running recording and waits for its file. Lines read before the
    // input ended are still handled, but no wait of theirs outlasts the end.
    // Always returns 0.
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

    // Set once the server has to end; the tools' waits watch it.
    const std::shared_ptr<ServerEnd> end = std::make_shared<ServerEnd>();
    // Polled while serving, when set: the process was asked to end (the
    // command sets it to the interrupt flag of its signal or console handler).
    std::function<bool()> interrupted;

    // How record_start waits for a recording's start signal (up to kStartWait).
    mcp::StartWait start_wait = mcp::wait_for_start;
    // How the tools wait (a capture's delay, a restored window's time to draw
    // itself) and how a recording paces its frames (the clock is made on the
    // recording's thread just before it records); tests and the fuzzer put in
    // ones that never really wait.
    Sleeper sleep = [server_end = end](std::uint64_t milliseconds) {
        (void)server_end->sleep(milliseconds);
    };
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
