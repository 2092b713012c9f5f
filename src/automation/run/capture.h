#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "automation/run/targets.h"
#include "platform/platform.h"
#include "platform/records.h"
#include "support/cli_error.h"
#include "support/sleep.h"

namespace vantle {

// How long a window that was just restored from minimized is given to draw
// itself before it is captured or recorded.
inline constexpr std::uint64_t kRestoreSettleMilliseconds = 350;

// What the capture operation is asked to do; the command line and the
// automation server fill it differently.
struct CaptureRequest {
    std::filesystem::path out;  // as the caller named it (the system's bytes); may be relative
    CaptureTarget target;
    std::uint64_t delay_ms = 0;  // waited after resolving the target
    // Looked at after the delay: when it is true, nothing is captured (the
    // automation server is ending and has cut the delay short).
    std::function<bool()> give_up;
    bool cursor = false;
    bool restore = false;  // allow a minimized window; it is minimized again afterwards
    bool allow_desktop = false;
    // Handed the picture as soon as it is taken, before it is encoded and
    // written, for work that can go on beside that (the automation server's
    // preview). The outcome's image is then left empty.
    std::function<void(std::shared_ptr<const RgbaImage>)> on_picture;
};

// What a capture produced.
struct CaptureOutcome {
    std::filesystem::path path;  // absolute path of the written PNG
    std::uint32_t width = 0;     // of the stored picture, as the platform returned it
    std::uint32_t height = 0;
    TargetDescription target;
    RgbaImage image;  // the picture itself, for previews (unless on_picture took it); never printed
};

// Resolves the target, waits the delay, takes the picture (showing a minimized
// window for the moment of the capture and minimizing it again whatever the
// capture's result), encodes it as PNG and writes it atomically to the
// absolute form of `request.out`. Every wait goes through `sleep`. Refusals and
// platform failures come back unchanged; nothing is written on any failure.
[[nodiscard]] CliResult<CaptureOutcome> run_capture(Platform& platform,
                                                    const CaptureRequest& request,
                                                    const Sleeper& sleep = sleep_milliseconds);

// The capture result object shared by `capture --json` and the automation
// server: "height", "monitor", "path" (UTF-8, U+FFFD for what is not Unicode),
// "target" and "width".
[[nodiscard]] nlohmann::json capture_result_json(const CaptureOutcome& outcome);

}  // namespace vantle
