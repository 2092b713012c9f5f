#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "support/error.h"

namespace vantle {

// The parts of the H.264 MP4 encoder that do not depend on the system's media
// framework, so that the Media Foundation and the FFmpeg encoders agree on them.

// Bits per second asked of the encoder: width * height * fps / 10 in 64 bits,
// kept within [1 000 000, 50 000 000].
[[nodiscard]] std::uint32_t encoder_bitrate(std::uint32_t width, std::uint32_t height,
                                            std::uint32_t fps);

// One frame's duration in 100-nanosecond units: 10 000 000 / max(fps, 1), truncated.
[[nodiscard]] std::uint64_t frame_duration_100ns(std::uint32_t fps);

// When frame `index` starts, in 100-nanosecond units: index * frame duration.
[[nodiscard]] std::uint64_t sample_time_100ns(std::uint64_t index, std::uint64_t frame_duration);

// Refuses an odd width or height with "H.264 needs even dimensions, not <w>x<h>".
[[nodiscard]] Status check_even_size(std::uint32_t width, std::uint32_t height);

// The checks a write makes before it touches the file: "the file is already
// closed" after finish, and "a frame of <length> bytes for a <expected>-byte
// canvas" when the picture does not have exactly width * height * 4 bytes.
[[nodiscard]] Status check_frame_write(bool open, std::size_t length, std::uint32_t width,
                                       std::uint32_t height);

// "the H.264 encoder refused <w>x<h> at <fps> fps": the context of the last
// attempt's error once every encoder has refused.
[[nodiscard]] std::string encoder_refused_message(std::uint32_t width, std::uint32_t height,
                                                  std::uint32_t fps);

// The information line logged when a hardware encoder refuses and a later
// encoder is tried; `error` is the refusal's own text without its causes.
[[nodiscard]] std::string hardware_fallback_message(std::string_view error);

// One way of opening the encoder, tried in order: hardware encoders first.
template <typename Encoder>
struct EncoderAttempt {
    bool hardware = false;
    std::function<Result<Encoder>()> open;
};

// Tries the attempts in order and returns the first that opens. Between
// attempts `before_retry` runs (it removes what a failed attempt left behind);
// after a failed hardware attempt `on_hardware_refused` gets its error. Only
// the last attempt's error reaches the caller, under encoder_refused_message.
template <typename Encoder>
[[nodiscard]] Result<Encoder> open_first_encoder(
    std::span<const EncoderAttempt<Encoder>> attempts, std::uint32_t width, std::uint32_t height,
    std::uint32_t fps, const std::function<void()>& before_retry,
    const std::function<void(const Error&)>& on_hardware_refused) {
    std::optional<Error> last;
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        if (i > 0 && before_retry) {
            before_retry();
        }
        Result<Encoder> opened = attempts[i].open();
        if (opened) {
            return opened;
        }
        if (attempts[i].hardware && on_hardware_refused) {
            on_hardware_refused(opened.error());
        }
        last = std::move(opened.error());
    }
    Error cause = last ? std::move(*last) : Error("no H.264 encoder is available");
    return std::unexpected(std::move(cause).context(encoder_refused_message(width, height, fps)));
}

}  // namespace vantle
