#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/x11/ffmpeg_encoder.h"
#include "record/frame.h"
#include "support/error.h"

namespace vantle::x11 {

// The FFmpeg encoder is built as a module of its own, loaded by the first
// recording: FFmpeg's libraries bring in well over a hundred shared libraries
// of codecs, whose loading and relocation would otherwise be paid by every
// start of the program, captures and listings included.

// The module's file, beside the program's executable or, once installed, in
// VANTLE_INSTALLED_MODULE_FOLDER relative to the program's folder (set by the
// build from the install layout).
inline constexpr std::string_view kEncoderModuleFile = "vantle-ffmpeg.so";
// The one symbol the module exports: a function returning its table.
inline constexpr const char* kEncoderModuleEntry = "vantle_ffmpeg_encoder_module";
// Raised whenever the table below changes, so that a module left over from
// another build is refused rather than called.
inline constexpr std::uint32_t kEncoderModuleVersion = 1;

struct EncoderModule {
    std::uint32_t version = 0;
    std::uint32_t size = 0;  // sizeof(EncoderModule) in the module's build
    Result<std::unique_ptr<VideoEncoder>> (*open)(const std::filesystem::path& path,
                                                  std::uint32_t width, std::uint32_t height,
                                                  std::uint32_t fps, EncoderLog log) = nullptr;
};

using EncoderModuleEntry = const EncoderModule* (*)();

// open_ffmpeg_encoder through the module, which is loaded on the first call and
// stays loaded. Fails with the loader's reason when the module is missing,
// cannot be loaded or belongs to another build. Safe from any thread.
[[nodiscard]] Result<std::unique_ptr<VideoEncoder>> open_module_encoder(
    const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
    std::uint32_t fps);

}  // namespace vantle::x11
