#include "record/encoder_rules.h"

#include <algorithm>
#include <string>

namespace vantle {

namespace {
constexpr std::uint64_t kMinBitrate = 1'000'000;
constexpr std::uint64_t kMaxBitrate = 50'000'000;
constexpr std::uint64_t kHundredNanosPerSecond = 10'000'000;

std::string size_text(std::uint32_t width, std::uint32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}
}  // namespace

std::uint32_t encoder_bitrate(std::uint32_t width, std::uint32_t height, std::uint32_t fps) {
    // 2^32 * 2^32 would overflow even 64 bits; saturate the product instead.
    const std::uint64_t pixels = std::uint64_t{width} * std::uint64_t{height};
    std::uint64_t rate = 0;
    if (fps != 0 && pixels > UINT64_MAX / fps) {
        rate = kMaxBitrate;
    } else {
        rate = pixels * fps / 10;
    }
    return static_cast<std::uint32_t>(std::clamp(rate, kMinBitrate, kMaxBitrate));
}

std::uint64_t frame_duration_100ns(std::uint32_t fps) {
    return kHundredNanosPerSecond / std::max<std::uint64_t>(fps, 1);
}

std::uint64_t sample_time_100ns(std::uint64_t index, std::uint64_t frame_duration) {
    return index * frame_duration;
}

Status check_even_size(std::uint32_t width, std::uint32_t height) {
    if (width % 2 != 0 || height % 2 != 0) {
        return std::unexpected(
            Error("H.264 needs even dimensions, not " + size_text(width, height)));
    }
    return {};
}

Status check_frame_write(bool open, std::size_t length, std::uint32_t width, std::uint32_t height) {
    if (!open) {
        return std::unexpected(Error("the file is already closed"));
    }
    const std::uint64_t expected = std::uint64_t{width} * height * 4;
    if (length != expected) {
        return std::unexpected(Error("a frame of " + std::to_string(length) + " bytes for a " +
                                     std::to_string(expected) + "-byte canvas"));
    }
    return {};
}

std::string encoder_refused_message(std::uint32_t width, std::uint32_t height, std::uint32_t fps) {
    return "the H.264 encoder refused " + size_text(width, height) + " at " + std::to_string(fps) +
           " fps";
}

std::string hardware_fallback_message(std::string_view error) {
    return "the hardware encoder would not take it (" + std::string(error) +
           "); using the software one";
}

}  // namespace vantle
