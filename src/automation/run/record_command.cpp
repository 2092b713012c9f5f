#include "automation/run/record_command.h"

#include "automation/run/runner.h"

namespace vantle {

std::uint32_t run_record_command(const Record& /*command*/, const PlatformPtr& /*platform*/,
                                 Writer& /*out*/, Writer& err) {
    return print_failure(err, CliError::failed("`record` is not available in this build yet"));
}

}  // namespace vantle
