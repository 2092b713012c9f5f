#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "record/frame.h"
#include "record/frame_clock.h"
#include "record/recording_id.h"
#include "support/cli_error.h"

namespace vantle {

// True when the recording is to stop now. Consulted once after every written
// frame, on the recording's thread; must not block.
using StopCheck = std::function<bool()>;

// Told the recording's id once the first frame is in and the encoder is open;
// from then on the recording counts as started. Runs on the recording's thread.
using OnStarted = std::function<void(const RecordingId&)>;

inline constexpr std::chrono::milliseconds kFirstFrameTimeout{3000};

struct RecordOptions {
    std::uint32_t fps = 30;             // 1 to 60 from every caller; 0 is treated as 1
    std::optional<double> max_seconds;  // positive when present
    bool cursor = false;
    // Looked at while the first frame is awaited: when it turns true, the
    // recording gives up at once without a file (the automation server is
    // ending). Empty: the whole wait is sat out.
    StopCheck give_up;
};

struct RecordOutcome {
    std::uint64_t frames = 0;
    double seconds = 0;       // frames / max(fps, 1)
    std::uint32_t width = 0;  // the video's (even) size
    std::uint32_t height = 0;

    friend bool operator==(const RecordOutcome&, const RecordOutcome&) = default;
};

// How far a recording's ticks fell behind their schedule. Only the ticks after
// its first second count: that second also makes up for the setup (target,
// first picture, encoder), which is due from the start.
struct RecordLag {
    std::uint64_t ticks = 0;             // ticks after the first second
    std::uint64_t late_ticks = 0;        // of those, reached more than one period after their time
    std::chrono::nanoseconds worst{0};   // how late the latest of them came
    std::chrono::nanoseconds at_end{0};  // how late the last tick came

    friend bool operator==(const RecordLag&, const RecordLag&) = default;
};

struct FrameLoopOutcome {
    std::uint64_t frames = 0;
    double seconds = 0;
    RecordLag lag;

    friend bool operator==(const FrameLoopOutcome&, const FrameLoopOutcome&) = default;
};

// Records `target` into `path`: starts the platform's frame source, waits up to
// three seconds for a first picture, opens the encoder at that picture's size
// rounded down to even, calls `on_started`, runs the frame loop and finishes the
// file. A recording that fell behind (see `lag_warning`) is logged as a
// warning once it has succeeded. The source is always destroyed before the encoder is finished, and
// an opened encoder is always finished, also after a failed write. The caller owns `path` and
// deletes it on failure.
[[nodiscard]] CliResult<RecordOutcome> run_recording(
    Platform& platform, const RecordTarget& target, const RecordOptions& options,
    const std::filesystem::path& path, const RecordingId& id, const OnStarted& on_started,
    const StopCheck& stop_check, FrameClock& clock);

// The constant-rate loop: frame i is written at the clock's offset i * (1 s / fps),
// repeating the last picture when no new one has arrived, until `max_frames`,
// `stop_check` or the end of the source. Pictures are anchored at the top-left
// of a canvas of the first frame's even size; a smaller picture is drawn on
// opaque black. At least one frame is always written.
[[nodiscard]] CliResult<FrameLoopOutcome> run_frame_loop(FrameSource& source, VideoEncoder& encoder,
                                                         FrameHandle first_frame, std::uint32_t fps,
                                                         std::optional<std::uint64_t> max_frames,
                                                         const StopCheck& stop_check,
                                                         FrameClock& clock);

// The warning for a recording that fell behind: more than one in twenty of the
// ticks after its first second came late. It tells by how much, since such a
// video plays faster than what it shows happened. Empty for a recording that
// kept up.
[[nodiscard]] std::optional<std::string> lag_warning(const RecordLag& lag, std::uint64_t frames,
                                                     std::uint32_t fps);

// fps * max_seconds rounded half away from zero, saturated into 64 bits (NaN and
// negatives give 0) and raised to at least 1; absent without a limit.
[[nodiscard]] std::optional<std::uint64_t> max_frames_for(std::uint32_t fps,
                                                          std::optional<double> max_seconds);

}  // namespace vantle
