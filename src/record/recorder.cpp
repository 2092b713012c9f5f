#include "record/recorder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/logger.h"

namespace vantle {

namespace {

constexpr std::string_view kLogTarget = "vantle_lib::record";
constexpr std::uint8_t kOpaqueBlack[4] = {0, 0, 0, 255};  // blue, green, red, alpha

CliError too_small(const Frame& frame) {
    return CliError::failed("a " + std::to_string(frame.width) + "x" +
                            std::to_string(frame.height) + " picture is too small to record");
}

bool is_too_small(const Frame& frame) {
    return frame.width < 2 || frame.height < 2;
}

class Canvas {
  public:
    Canvas(std::uint32_t width, std::uint32_t height)
        : width_(width), height_(height), pixels_(std::size_t{width} * height * 4) {}

    void fill_black() {
        for (std::size_t i = 0; i < pixels_.size(); i += 4) {
            std::memcpy(&pixels_[i], kOpaqueBlack, 4);
        }
    }

    // Top-left anchored: a larger frame loses its right columns and bottom rows.
    void copy_in(const Frame& frame) {
        check_frame_buffer(frame);
        const std::uint32_t rows = std::min(frame.height, height_);
        const std::size_t row_bytes = std::size_t{std::min(frame.width, width_)} * 4;
        const std::size_t source_stride = std::size_t{frame.width} * 4;
        const std::size_t canvas_stride = std::size_t{width_} * 4;
        for (std::uint32_t r = 0; r < rows; ++r) {
            std::memcpy(pixels_.data() + r * canvas_stride, frame.pixels.data() + r * source_stride,
                        row_bytes);
        }
    }

    [[nodiscard]] bool covers(const Frame& frame) const {
        return frame.width >= width_ && frame.height >= height_;
    }
    [[nodiscard]] const std::uint8_t* data() const { return pixels_.data(); }
    [[nodiscard]] std::size_t size() const { return pixels_.size(); }

  private:
    std::uint32_t width_;
    std::uint32_t height_;
    std::vector<std::uint8_t> pixels_;
};

std::string with_decimals(double value, int digits) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

}  // namespace

std::optional<std::string> lag_warning(const RecordLag& lag, std::uint64_t frames,
                                       std::uint32_t fps) {
    if (lag.ticks == 0 || lag.late_ticks * 20 <= lag.ticks) {
        return std::nullopt;
    }
    const double video = static_cast<double>(frames) / std::max<std::uint32_t>(fps, 1);
    // The last tick's lateness is what the recording ran over its video's length.
    const double real = video + std::chrono::duration<double>(lag.at_end).count();
    const auto share = static_cast<unsigned>(
        std::lround(100.0 * static_cast<double>(lag.late_ticks) / static_cast<double>(lag.ticks)));
    std::string text = "the recording fell behind: " + std::to_string(lag.late_ticks) + " of the " +
                       std::to_string(lag.ticks) + " frames after its first second (" +
                       std::to_string(share) + "%) were taken late, by up to " +
                       with_decimals(std::chrono::duration<double>(lag.worst).count(), 1) +
                       " s; its " + with_decimals(video, 1) + " s of video took " +
                       with_decimals(real, 1) + " s to record";
    if (real >= video * 1.01) {
        text += ", so it plays " + with_decimals(real / video, 2) + " times as fast as it happened";
    }
    return text;
}

std::optional<std::uint64_t> max_frames_for(std::uint32_t fps, std::optional<double> max_seconds) {
    if (!max_seconds) {
        return std::nullopt;
    }
    const double rounded = std::round(static_cast<double>(fps) * *max_seconds);
    std::uint64_t frames = 0;
    if (std::isnan(rounded) || rounded <= 0) {
        frames = 0;
    } else if (rounded >= 18446744073709551616.0) {  // 2^64
        frames = std::numeric_limits<std::uint64_t>::max();
    } else {
        frames = static_cast<std::uint64_t>(rounded);
    }
    return std::max<std::uint64_t>(frames, 1);
}

CliResult<FrameLoopOutcome> run_frame_loop(FrameSource& source, VideoEncoder& encoder,
                                           FrameHandle first_frame, std::uint32_t fps,
                                           std::optional<std::uint64_t> max_frames,
                                           const StopCheck& stop_check, FrameClock& clock) {
    if (!first_frame) {
        return std::unexpected(
            CliError::failed("no frame arrived within 3 seconds; nothing was recorded"));
    }
    if (is_too_small(*first_frame)) {
        return std::unexpected(too_small(*first_frame));
    }
    const std::uint32_t canvas_width = first_frame->width & ~1U;
    const std::uint32_t canvas_height = first_frame->height & ~1U;
    // A frame whose rows are as wide as the canvas already is the canvas's
    // picture (its first rows), so it is encoded where it lies; the canvas is
    // made only for a frame of another width or of fewer rows. Every new frame
    // decides all of the canvas's pixels, so nothing is lost by skipping it.
    std::optional<Canvas> canvas;
    const std::uint8_t* picture = nullptr;
    const auto show = [&](const Frame& frame) {
        if (frame.width == canvas_width && frame.height >= canvas_height) {
            check_frame_buffer(frame);
            picture = frame.pixels.data();
            return;
        }
        if (!canvas) {
            canvas.emplace(canvas_width, canvas_height);
        }
        if (!canvas->covers(frame)) {
            canvas->fill_black();
        }
        canvas->copy_in(frame);
        picture = canvas->data();
    };
    const std::size_t picture_bytes = std::size_t{canvas_width} * canvas_height * 4;
    show(*first_frame);
    FrameHandle current = std::move(first_frame);

    const std::uint32_t rate = std::max<std::uint32_t>(fps, 1);
    const std::uint64_t period_ns = 1'000'000'000ULL / rate;
    const std::chrono::nanoseconds period(static_cast<std::int64_t>(period_ns));
    RecordLag lag;
    std::uint64_t i = 0;
    for (;;) {
        if (FrameHandle latest = source.latest_frame(); latest && latest != current) {
            show(*latest);
            current = std::move(latest);
        }
        if (auto written = encoder.write_frame(picture, picture_bytes, i); !written) {
            return std::unexpected(std::move(written.error()));
        }
        ++i;
        if (max_frames && i >= *max_frames) {
            break;
        }
        if (stop_check && stop_check()) {
            break;
        }
        if (source.has_ended()) {
            break;
        }
        const std::chrono::nanoseconds late =
            clock.sleep_until(std::chrono::nanoseconds(static_cast<std::int64_t>(i * period_ns)));
        lag.at_end = late;
        if (i >= rate) {
            ++lag.ticks;
            lag.late_ticks += late > period ? 1U : 0U;
            lag.worst = std::max(lag.worst, late);
        }
    }
    return FrameLoopOutcome{i, static_cast<double>(i) / static_cast<double>(rate), lag};
}

CliResult<RecordOutcome> run_recording(Platform& platform, const RecordTarget& target,
                                       const RecordOptions& options,
                                       const std::filesystem::path& path, const RecordingId& id,
                                       const OnStarted& on_started, const StopCheck& stop_check,
                                       FrameClock& clock) {
    auto started_source = platform.start_recording_source(target, options.cursor);
    if (!started_source) {
        return std::unexpected(std::move(started_source.error()));
    }
    std::unique_ptr<FrameSource> source = std::move(*started_source);

    FrameHandle first;
    if (options.give_up) {
        // In slices, so a server that has to end is not held up by a source
        // that is slow to deliver.
        constexpr std::chrono::milliseconds kSlice{50};
        const auto deadline = std::chrono::steady_clock::now() + kFirstFrameTimeout;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            first = source->wait_first_frame(std::min(left, kSlice));
            if (first || source->has_ended()) {
                break;
            }
            if (options.give_up()) {
                return std::unexpected(CliError::failed(
                    "the server is ending; the recording was given up before its first frame"));
            }
        }
    } else {
        first = source->wait_first_frame(kFirstFrameTimeout);
    }
    if (!first) {
        return std::unexpected(
            CliError::failed("no frame arrived within 3 seconds; nothing was recorded"));
    }
    if (is_too_small(*first)) {
        return std::unexpected(too_small(*first));
    }
    const std::uint32_t width = first->width & ~1U;
    const std::uint32_t height = first->height & ~1U;
    auto opened = platform.open_encoder(path, width, height, options.fps);
    if (!opened) {
        first.reset();
        source.reset();
        return std::unexpected(std::move(opened.error()));
    }
    std::unique_ptr<VideoEncoder> encoder = std::move(*opened);

    if (on_started) {
        on_started(id);
    }
    auto looped =
        run_frame_loop(*source, *encoder, std::move(first), options.fps,
                       max_frames_for(options.fps, options.max_seconds), stop_check, clock);
    // Stop the capture first: finishing the file can take a while, and the
    // capture's threads should not go on delivering pictures nobody reads.
    source.reset();
    auto finished = encoder->finish();
    encoder.reset();

    if (!looped) {
        return std::unexpected(std::move(looped.error()));
    }
    if (!finished) {
        return std::unexpected(std::move(finished.error()));
    }
    if (const auto warning = lag_warning(looped->lag, looped->frames, options.fps)) {
        log_warn(kLogTarget, *warning);
    }
    return RecordOutcome{looped->frames, looped->seconds, width, height};
}

}  // namespace vantle
