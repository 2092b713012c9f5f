#include "automation/run/record_stop_command.h"

#include <nlohmann/json.hpp>

#include "automation/run/runner.h"
#include "record/stop_protocol.h"
#include "support/json_line.h"

namespace vantle {

std::uint32_t run_record_stop_command(const RecordStop& command, Writer& out, Writer& err) {
    if (auto stopped = request_stop(command.id, kStopTimeout); !stopped) {
        return print_failure(err, stopped.error());
    }
    if (command.json) {
        (void)out.write(json_line(nlohmann::json{{"id", command.id}, {"stopped", true}}));
    }
    return 0;
}

}  // namespace vantle
