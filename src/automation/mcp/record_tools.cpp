#include <cmath>
#include <system_error>

#include "automation/mcp/arguments.h"
#include "automation/mcp/output_path.h"
#include "automation/mcp/server.h"
#include "automation/mcp/start_channel.h"
#include "automation/mcp/thread_apartment.h"
#include "automation/mcp/tool_result.h"
#include "automation/mcp/tools.h"
#include "automation/run/record_operation.h"
#include "record/frame_clock.h"
#include "record/recording_id.h"
#include "record/stop_protocol.h"
#include "support/os_error.h"
#include "support/paths.h"

namespace vantle::mcp {

namespace {

using nlohmann::json;

// Closes the sending end however the thread body leaves, so a waiting
// record_start learns at once that no signal will come.
struct SenderGuard {
    std::shared_ptr<StartChannel> channel;
    ~SenderGuard() { channel->close_sender(); }
};

void recording_thread(PlatformPtr platform, RecordRequest request, RecordingId id,
                      std::shared_ptr<std::atomic<bool>> stop_flag,
                      std::shared_ptr<StartChannel> channel,
                      std::shared_ptr<RecordingThreadResult> result,
                      std::function<std::unique_ptr<FrameClock>()> make_clock, Sleeper sleep) {
    const SenderGuard guard{channel};
    try {
        const ThreadApartment apartment;
        auto events = create_recording_events(id);
        if (!events) {
            result->value = std::unexpected(std::move(events.error().message));
            return;
        }
        const StopCheck stop_check = automation_stop_check(stop_flag, *events);
        const OnStarted on_started = [&channel](const RecordingId& /*id*/) {
            (void)channel->send(StartSignal{true, {}});
        };
        const std::unique_ptr<FrameClock> clock = make_clock();
        auto outcome = run_record(*platform, request, id, on_started, stop_check, *clock, sleep);
        events->signal_done();
        if (!outcome) {
            (void)channel->send(StartSignal{false, outcome.error().message});
            result->value = std::unexpected(std::move(outcome.error().message));
            return;
        }
        result->value = record_result_json(*outcome);
    } catch (...) {
        // An abnormal end leaves no result; record_stop reports the crash.
        result->value.reset();
    }
}

}  // namespace

json record_start(McpServer& server, const json& arguments) {
    auto target = parse_target_arguments(arguments, server.settings_provider());
    if (!target) {
        return tool_error(std::move(target.error()));
    }
    auto path = resolve_output_path(arguments, server.settings_provider(), "mp4");
    if (!path) {
        return tool_error(std::move(path.error()));
    }
    RecordRequest request;
    request.out = *path;
    request.target = std::move(*target);
    if (const json* fps = find_argument(arguments, "fps")) {
        const std::optional<std::uint64_t> value = non_negative_integer(*fps);
        if (!value || *value < 1 || *value > 60) {
            return tool_error("fps is 1 to 60");
        }
        request.fps = static_cast<std::uint32_t>(*value);
    }
    if (const json* max_seconds = find_argument(arguments, "max_seconds")) {
        if (!max_seconds->is_number() || !std::isfinite(max_seconds->get<double>()) ||
            max_seconds->get<double>() <= 0) {
            return tool_error("max_seconds is a positive number");
        }
        request.max_seconds = max_seconds->get<double>();
    }
    request.cursor = flag_argument(arguments, "cursor");
    request.restore = flag_argument(arguments, "restore");
    request.allow_desktop = server.settings().automation_allow_desktop;
    request.give_up = [server_end = server.end] { return server_end->ended(); };

    const RecordingId id = new_recording_id();
    auto stop_flag = std::make_shared<std::atomic<bool>>(false);
    auto channel = std::make_shared<StartChannel>();
    auto result = std::make_shared<RecordingThreadResult>();
    const std::filesystem::path destination = *path;
    std::thread thread;
    try {
        thread = std::thread(recording_thread, server.platform(), std::move(request), id, stop_flag,
                             channel, result, server.make_frame_clock, server.sleep);
    } catch (const std::system_error& error) {
        return tool_error(os_error_text(error.code()));
    }

    StartSignal signal;
    const StartChannel::Wait wait = server.start_wait(*channel, signal);
    channel->close_receiver();
    if (wait == StartChannel::Wait::kSignal && signal.started) {
        auto absolute = absolute_path(destination);
        const std::filesystem::path reported = absolute ? *absolute : destination;
        server.recordings[id] = RunningRecording{reported, stop_flag, std::move(thread), result};
        return tool_json({{"event", "started"}, {"id", id}, {"path", path_to_utf8(reported)}});
    }
    if (wait == StartChannel::Wait::kSignal) {
        thread.join();
        return tool_error(std::move(signal.message));
    }
    stop_flag->store(true);
    thread.join();
    if (result->value && !result->value->has_value()) {
        return tool_error(result->value->error());
    }
    return tool_error("the recording did not start");
}

json record_stop(McpServer& server, const json& arguments) {
    const std::optional<std::string> id = text_argument(arguments, "id");
    if (!id) {
        return tool_error("record_stop needs the id record_start returned");
    }
    const auto found = server.recordings.find(*id);
    if (found == server.recordings.end()) {
        return tool_error("no recording " + *id + " is running here");
    }
    RunningRecording recording = std::move(found->second);
    server.recordings.erase(found);
    recording.stop_flag->store(true);
    recording.thread.join();
    const auto& value = recording.result->value;
    if (!value) {
        return tool_error("the recording thread crashed");
    }
    if (!value->has_value()) {
        return tool_error("the recording to " + path_to_utf8(recording.path) +
                          " failed: " + value->error());
    }
    return tool_json(**value);
}

}  // namespace vantle::mcp
