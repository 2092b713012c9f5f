#include "automation/run/record_command.h"

#include "automation/run/record_operation.h"
#include "automation/run/runner.h"
#include "record/console_control.h"
#include "record/frame_clock.h"
#include "record/stop_protocol.h"
#include "support/json_line.h"
#include "support/paths.h"

namespace vantle {

std::uint32_t run_record_command(const Record& command, const PlatformPtr& platform, Writer& out,
                                 Writer& err) {
    const RecordingId id = new_recording_id();
    auto events = create_recording_events(id);
    if (!events) {
        return print_failure(err, events.error());
    }
    (void)install_console_control_handler();
    // The schedule starts before the target is resolved: setup time is already
    // due, and the first frames are written back to back until it is made up.
    MonotonicFrameClock clock;

    RecordRequest request;
    request.out = path_from_utf8(command.out);
    request.target = command.target;
    request.fps = command.fps;
    request.max_seconds = command.max_seconds;
    request.cursor = command.cursor;
    request.restore = command.restore;
    request.allow_desktop = command.allow_desktop;
    const OnStarted on_started = [&](const RecordingId& started) {
        if (command.json) {
            (void)out.write(json_line(started_event_json(started)));
            (void)out.flush();
        }
        (void)err.write("vantle: recording started, id " + started +
                        "; stop it with `vantle-cli record --stop " + started + "` or Ctrl+C\n");
        (void)err.flush();
    };
    auto result =
        run_record(*platform, request, id, on_started, command_line_stop_check(*events), clock);
    std::uint32_t status = 0;
    if (!result) {
        status = print_failure(err, result.error());
    } else if (command.json) {
        (void)out.write(json_line(record_result_json(*result)));
    } else {
        (void)out.write(path_to_utf8(result->path) + "\n");
    }
    (void)out.flush();

    events->signal_done();
    set_recording_finished();
    return status;
}

}  // namespace vantle
