#include "record/stop_protocol.h"

#include <utility>

#include "record/console_control.h"

namespace vantle {

CliError no_recording_running(const RecordingId& id) {
    return CliError::refused("no recording " + id + " is running");
}

CliError stop_not_finished(const RecordingId& id, std::chrono::nanoseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout).count();
    return CliError::failed("recording " + id +
                            " was asked to stop but has not finished its file after " +
                            std::to_string(seconds) + " s");
}

CliError could_not_create_events(const std::string& error_text) {
    return CliError::failed("could not create the stop event: " + error_text);
}

std::string rendezvous_name(const RecordingId& id) {
    return "invalid.vantle.app.record." + id;
}

StopCheck command_line_stop_check(const RecordingEvents& events) {
    return [&events] { return interrupt_requested() || events.stop_requested(); };
}

StopCheck automation_stop_check(std::shared_ptr<const std::atomic<bool>> stop_flag,
                                const RecordingEvents& events) {
    return [flag = std::move(stop_flag), &events] {
        return flag->load(std::memory_order_relaxed) || events.stop_requested();
    };
}

}  // namespace vantle
