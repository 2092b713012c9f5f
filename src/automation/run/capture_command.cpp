#include "automation/run/capture_command.h"

#include "automation/run/capture.h"
#include "automation/run/runner.h"
#include "support/json_line.h"
#include "support/paths.h"

namespace vantle {

std::uint32_t run_capture_command(const Capture& command, const PlatformPtr& platform, Writer& out,
                                  Writer& err) {
    CaptureRequest request;
    request.out = path_from_utf8(command.out);
    request.target = command.target;
    request.delay_ms = command.delay_ms;
    request.cursor = command.cursor;
    request.restore = command.restore;
    request.allow_desktop = command.allow_desktop;
    auto outcome = run_capture(*platform, request);
    if (!outcome) {
        return print_failure(err, outcome.error());
    }
    if (command.json) {
        (void)out.write(json_line(capture_result_json(*outcome)));
    } else {
        (void)out.write(path_to_utf8(outcome->path) + "\n");
    }
    return to_status(ExitCode::kOk);
}

}  // namespace vantle
