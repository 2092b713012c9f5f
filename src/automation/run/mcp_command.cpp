#include "automation/run/mcp_command.h"

#include "automation/mcp/server.h"
#include "config/config.h"
#include "record/console_control.h"

namespace vantle {

std::uint32_t run_mcp_command(const Mcp& /*command*/, const PlatformPtr& platform, Reader& in,
                              Writer& out, Writer& /*err*/) {
    McpServer server(platform, load_settings);
    // SIGTERM, SIGINT and SIGHUP (on Windows the console's events) end the
    // server as the end of its input does: every recording finishes its file
    // and the exit status is 0. A close of the console waits for that.
    (void)install_console_control_handler();
    server.interrupted = interrupt_requested;
    const int status = server.serve(in, out);
    set_recording_finished();
    return static_cast<std::uint32_t>(status);
}

}  // namespace vantle
