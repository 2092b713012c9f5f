#include "automation/run/capture.h"

#include <variant>

#include "support/files.h"
#include "support/paths.h"
#include "support/png.h"
#include "support/utf.h"

namespace vantle {

namespace {

CliResult<RgbaImage> capture_window(Platform& platform, const WindowInfo& window,
                                    const CaptureRequest& request, const Sleeper& sleep) {
    if (!platform.window_exists(window)) {
        return std::unexpected(
            CliError::refused("the window " + double_quoted(window.title) + " has closed"));
    }
    if (window.minimized) {
        if (auto restored = platform.restore_window(window); !restored) {
            return std::unexpected(std::move(restored.error()));
        }
        sleep(kRestoreSettleMilliseconds);
    }
    auto image = platform.capture_window(window, request.cursor);
    if (window.minimized) {
        platform.minimize_window(window);
    }
    return image;
}

CliResult<RgbaImage> take_picture(Platform& platform, const ResolvedTarget& target,
                                  const CaptureRequest& request, const Sleeper& sleep) {
    if (const auto* window = std::get_if<ResolvedWindow>(&target)) {
        return capture_window(platform, window->window, request, sleep);
    }
    if (const auto* monitor = std::get_if<ResolvedMonitor>(&target)) {
        return platform.capture_monitor(monitor->monitor, request.cursor);
    }
    return platform.capture_region(std::get<ResolvedRegion>(target).region, request.cursor);
}

}  // namespace

CliResult<CaptureOutcome> run_capture(Platform& platform, const CaptureRequest& request,
                                      const Sleeper& sleep) {
    auto target = resolve_target(platform, request.target, request.allow_desktop, request.restore);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    if (request.delay_ms > 0) {
        sleep(request.delay_ms);
        if (request.give_up && request.give_up()) {
            return std::unexpected(
                CliError::failed("the server is ending; the capture's delay was cut short and "
                                 "nothing was captured"));
        }
    }
    auto image = take_picture(platform, *target, request, sleep);
    if (!image) {
        return std::unexpected(std::move(image.error()));
    }
    // Shared with what on_picture starts, which may outlive this call's failures.
    std::shared_ptr<const RgbaImage> shared;
    if (request.on_picture) {
        shared = std::make_shared<const RgbaImage>(std::move(*image));
        request.on_picture(shared);
    }
    const RgbaImage& picture = shared ? *shared : *image;
    auto png = encode_png(picture.width, picture.height, picture.pixels);
    if (!png) {
        return std::unexpected(CliError::from(png.error()));
    }
    auto path = absolute_path(request.out);
    if (!path) {
        return std::unexpected(std::move(path.error()));
    }
    if (auto written = write_file_atomically(*path, *png); !written) {
        return std::unexpected(std::move(written.error()));
    }
    CaptureOutcome outcome;
    outcome.path = std::move(*path);
    outcome.width = picture.width;
    outcome.height = picture.height;
    outcome.target = describe_target(*target);
    if (!shared) {
        outcome.image = std::move(*image);
    }
    return outcome;
}

nlohmann::json capture_result_json(const CaptureOutcome& outcome) {
    nlohmann::json monitor = nullptr;
    if (outcome.target.monitor) {
        monitor = *outcome.target.monitor;
    }
    return nlohmann::json{{"height", outcome.height},
                          {"monitor", std::move(monitor)},
                          {"path", path_to_utf8(outcome.path)},
                          {"target", target_json(outcome.target)},
                          {"width", outcome.width}};
}

}  // namespace vantle
