#include "automation/run/record_stop_command.h"

#include "automation/run/runner.h"

namespace vantle {

std::uint32_t run_record_stop_command(const RecordStop& /*command*/, Writer& /*out*/, Writer& err) {
    return print_failure(err,
                         CliError::failed("`record --stop` is not available in this build yet"));
}

}  // namespace vantle
