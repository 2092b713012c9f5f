// The MCP TypeScript SDK's client (tests/automation/mcp/client) against the
// real vantle-cli on a private X server with a window manager and one window.
#include <gtest/gtest.h>

#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

TEST(McpSdkClientOnX11, DrivesTheProgramThroughEveryTool) {
    const std::unique_ptr<XServer> server = XServer::start("800x600x24");
    ASSERT_TRUE(server) << "Xvfb did not start";
    ASSERT_TRUE(server->start_window_manager()) << "openbox did not start";
    const std::optional<XServer::Window> window = server->open_window(
        {"--title", "Client Test", "--color", "3366CC", "--pos", "50,50", "--size", "320x200"});
    ASSERT_TRUE(window) << "the test window did not come up";
    const CommandOutput out =
        run_command({VANTLE_NODE, VANTLE_MCP_CLIENT, "--binary", VANTLE_CLI, "--env",
                     "DISPLAY=" + server->display(), "--window", "Client Test"});
    EXPECT_EQ(out.status, 0) << out.out;
}

}  // namespace
}  // namespace vantle::x11
