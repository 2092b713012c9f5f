#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

#include "record/frame.h"
#include "support/error.h"
#include "support/logger.h"

namespace vantle::x11 {

// The encoders tried, in order: hardware first, then software.
inline constexpr std::string_view kH264Encoders[] = {"h264_vaapi", "h264_nvenc", "libx264",
                                                     "libopenh264"};

// Whether an encoder of that name runs on dedicated hardware (decides the
// fallback log line only).
[[nodiscard]] bool is_hardware_encoder(std::string_view name);

// Where the encoder's log records go. The encoder may live in a module of its
// own (encoder_module.h) with no logger of its own, so the program passes its
// process logger in; null drops the records.
using EncoderLog = void (*)(LogLevel level, std::string_view target, std::string_view message);

// Creates or replaces the H.264 MP4 at `path` with frames of width x height (both
// even) at `fps` (0 counts as 1), trying `encoders` in order. Frame i is shown at
// i / fps seconds. Failures carry the last encoder's refusal.
[[nodiscard]] Result<std::unique_ptr<VideoEncoder>> open_ffmpeg_encoder(
    const std::filesystem::path& path, std::uint32_t width, std::uint32_t height, std::uint32_t fps,
    std::span<const std::string_view> encoders = kH264Encoders, EncoderLog log = nullptr);

}  // namespace vantle::x11
