// The entry point of the encoder module (encoder_module.h); the module is
// built with hidden visibility, so this is all it exports.
#include "platform/x11/encoder_module.h"

namespace {

vantle::Result<std::unique_ptr<vantle::VideoEncoder>> open_encoder(
    const std::filesystem::path& path, std::uint32_t width, std::uint32_t height, std::uint32_t fps,
    vantle::x11::EncoderLog log) {
    return vantle::x11::open_ffmpeg_encoder(path, width, height, fps, vantle::x11::kH264Encoders,
                                            log);
}

constexpr vantle::x11::EncoderModule kModule{vantle::x11::kEncoderModuleVersion,
                                             sizeof(vantle::x11::EncoderModule), &open_encoder};

}  // namespace

extern "C" __attribute__((visibility("default"))) const vantle::x11::EncoderModule*
vantle_ffmpeg_encoder_module() {
    return &kModule;
}
