#include "automation/run/mcp_command.h"

#include "automation/run/runner.h"

namespace vantle {

std::uint32_t run_mcp_command(const Mcp& /*command*/, const PlatformPtr& /*platform*/,
                              Reader& /*in*/, Writer& /*out*/, Writer& err) {
    return print_failure(err, CliError::failed("`mcp` is not available in this build yet"));
}

}  // namespace vantle
