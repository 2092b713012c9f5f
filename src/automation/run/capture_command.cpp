#include "automation/run/capture_command.h"

#include "automation/run/runner.h"

namespace vantle {

std::uint32_t run_capture_command(const Capture& /*command*/, const PlatformPtr& /*platform*/,
                                  Writer& /*out*/, Writer& err) {
    return print_failure(err, CliError::failed("`capture` is not available in this build yet"));
}

}  // namespace vantle
