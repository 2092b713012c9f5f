#include "automation/run/mcp_command.h"

#include "automation/mcp/server.h"
#include "config/config.h"

namespace vantle {

std::uint32_t run_mcp_command(const Mcp& /*command*/, const PlatformPtr& platform, Reader& in,
                              Writer& out, Writer& /*err*/) {
    McpServer server(platform, load_settings);
    return static_cast<std::uint32_t>(server.serve(in, out));
}

}  // namespace vantle
