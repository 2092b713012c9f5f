#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>

#include "automation/run/targets.h"
#include "platform/platform.h"
#include "platform/records.h"
#include "record/frame_clock.h"
#include "record/recorder.h"
#include "record/recording_id.h"
#include "support/cli_error.h"
#include "support/sleep.h"

namespace vantle {

// What the record operation is asked to do; the `Record` command's fields, or
// the automation server's record_start arguments.
struct RecordRequest {
    std::filesystem::path out;  // destination MP4 as the caller wrote it; may be relative
    CaptureTarget target;
    std::uint32_t fps = 30;             // 1 to 60
    std::optional<double> max_seconds;  // positive and finite when present
    bool cursor = false;
    bool restore = false;  // a minimized window is shown for the recording, minimized after
    bool allow_desktop = false;
    // Handed to the recorder's wait for the first frame (see RecordOptions).
    StopCheck give_up;
};

// A finished recording.
struct RecordResult {
    std::filesystem::path path;  // absolute path of the finished MP4
    std::uint32_t width = 0;     // the video's size: the first frame's, rounded down to even
    std::uint32_t height = 0;
    TargetDescription target;  // as a capture of the same target describes it
    RecordingId id;
    double seconds = 0;  // frames / fps
    std::uint64_t frames = 0;

    friend bool operator==(const RecordResult&, const RecordResult&) = default;
};

// Records the request's target into its destination: resolves the target for
// recording, restores a minimized window when allowed, runs the recorder on the
// temporary sibling and moves the finished file over the destination. The
// destination is only ever touched by that final move. On every failure the
// temporary is removed and a restored window is minimized again. `on_started`,
// `stop_check` and `clock` go to the recorder unchanged; a restored window is
// given its time to draw itself through `sleep`.
[[nodiscard]] CliResult<RecordResult> run_record(Platform& platform, const RecordRequest& request,
                                                 const RecordingId& id, const OnStarted& on_started,
                                                 const StopCheck& stop_check, FrameClock& clock,
                                                 const Sleeper& sleep = sleep_milliseconds);

// The record result object that `vantle record --json` prints and record_stop
// returns: "frames", "height", "id", "monitor", "path", "seconds" (rounded to
// thousandths, always a floating-point number), "target", "width".
[[nodiscard]] nlohmann::json record_result_json(const RecordResult& result);

// The started event object {"event":"started","id":<id>}.
[[nodiscard]] nlohmann::json started_event_json(const RecordingId& id);

}  // namespace vantle
