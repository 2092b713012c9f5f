#include "platform/win/wgc.h"

namespace vantle::wgc {

namespace {

std::unexpected<CliError> unavailable() {
    return std::unexpected(
        CliError::failed("Windows.Graphics.Capture is not available on this system"));
}

}  // namespace

// Until the graphics-capture pipeline is built, the service reads as missing,
// which is what a system without it reports.
CliResult<RgbaImage> capture_window(const WindowInfo&, bool) {
    return unavailable();
}

CliResult<std::unique_ptr<FrameSource>> start_recording_source(const RecordTarget&, bool) {
    return unavailable();
}

}  // namespace vantle::wgc
