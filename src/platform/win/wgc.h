#pragma once

#include <memory>

#include "platform/records.h"
#include "record/frame.h"
#include "support/cli_error.h"

// Window pictures and every recording come from the system's graphics-capture
// service on a Direct3D 11 device; monitor and region stills do not (GDI).
namespace vantle::wgc {

// One picture of the window itself (only its handle is used), even when it is
// covered; the pointer is drawn by the service when `cursor` is set. Fails with
// exit code 1, leaving nothing behind.
[[nodiscard]] CliResult<RgbaImage> capture_window(const WindowInfo& window, bool cursor);

// A live source on a window, a monitor or a rectangle of one monitor. Returns
// without waiting for the first frame; the caller owns the source and may poll
// it from another thread.
[[nodiscard]] CliResult<std::unique_ptr<FrameSource>> start_recording_source(
    const RecordTarget& target, bool cursor);

}  // namespace vantle::wgc
