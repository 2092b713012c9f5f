#include "automation/run/record_operation.h"

#include <cmath>
#include <variant>

#include "automation/run/capture.h"
#include "support/files.h"
#include "support/paths.h"

namespace vantle {

namespace {

// The window to minimize again afterwards, when the recording has to restore one.
std::optional<WindowInfo> window_to_restore(const ResolvedRecordTarget& target) {
    if (const auto* window = std::get_if<RecordWindow>(&target.record);
        window != nullptr && window->window.minimized) {
        return window->window;
    }
    return std::nullopt;
}

}  // namespace

CliResult<RecordResult> run_record(Platform& platform, const RecordRequest& request,
                                   const RecordingId& id, const OnStarted& on_started,
                                   const StopCheck& stop_check, FrameClock& clock,
                                   const Sleeper& sleep) {
    auto target =
        resolve_record_target(platform, request.target, request.allow_desktop, request.restore);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    auto absolute = absolute_path(request.out);
    if (!absolute) {
        return std::unexpected(std::move(absolute.error()));
    }
    const std::filesystem::path tmp = temporary_path(*absolute);
    // The destination is held for the whole run, so a second recording to it
    // is refused rather than clearing this one's temporary. A stale temporary,
    // or a link planted under its name, is removed and never written through;
    // a folder that cannot take the file fails here, before a window is
    // touched or a frame recorded.
    auto claim = claim_destination(*absolute);
    if (!claim) {
        return std::unexpected(std::move(claim.error()));
    }

    const std::optional<WindowInfo> restored = window_to_restore(*target);
    if (restored) {
        if (auto shown = platform.restore_window(*restored); !shown) {
            remove_file_quietly(tmp);
            return std::unexpected(std::move(shown.error()));
        }
        sleep(kRestoreSettleMilliseconds);
    }

    const RecordOptions options{request.fps, request.max_seconds, request.cursor, request.give_up};
    auto recorded =
        run_recording(platform, target->record, options, tmp, id, on_started, stop_check, clock);
    CliStatus placed;
    if (recorded) {
        placed = replace_file(tmp, *absolute);
    }
    if (restored) {
        platform.minimize_window(*restored);
    }
    if (!recorded || !placed) {
        remove_file_quietly(tmp);
        return std::unexpected(recorded ? std::move(placed.error()) : std::move(recorded.error()));
    }
    return RecordResult{
        *absolute, recorded->width,   recorded->height, describe_target(target->resolved),
        id,        recorded->seconds, recorded->frames};
}

nlohmann::json record_result_json(const RecordResult& result) {
    nlohmann::json json = {
        {"frames", result.frames},
        {"height", result.height},
        {"id", result.id},
        {"path", path_to_utf8(result.path)},
        // A double keeps the ".0" of whole values (2.0, not 2).
        {"seconds", std::round(result.seconds * 1000.0) / 1000.0},
        {"target", target_json(result.target)},
        {"width", result.width},
    };
    json["monitor"] = result.target.monitor ? nlohmann::json(*result.target.monitor) : nullptr;
    return json;
}

nlohmann::json started_event_json(const RecordingId& id) {
    return nlohmann::json{{"event", "started"}, {"id", id}};
}

}  // namespace vantle
