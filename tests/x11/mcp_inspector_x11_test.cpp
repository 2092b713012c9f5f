// A second real client: the MCP Inspector's command-line mode (its npm package,
// pinned by tests/automation/mcp/inspector) drives the real vantle-cli on a
// private X server. It starts the server from a host configuration file of the
// kind the guide shows, lists the tools, lists the windows and captures one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

namespace fs = std::filesystem;

class McpInspectorX11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vantle-inspector-x11-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // One Inspector run against the server that `config` names; its output
    // parsed as JSON (null when it is not).
    nlohmann::json inspect(const fs::path& config, const std::vector<std::string>& method) {
        std::vector<std::string> argv{VANTLE_NODE,     VANTLE_MCP_INSPECTOR, "--cli", "--config",
                                      config.string(), "--server",           "vantle"};
        argv.insert(argv.end(), method.begin(), method.end());
        const CommandOutput out = run_command(argv);
        EXPECT_EQ(out.status, 0) << out.out;
        return nlohmann::json::parse(out.out, nullptr, false);
    }

    fs::path dir_;
};

TEST_F(McpInspectorX11Test, ListsTheToolsAndWindowsAndCaptures) {
    const std::unique_ptr<XServer> server = XServer::start("800x600x24");
    ASSERT_TRUE(server) << "Xvfb did not start";
    ASSERT_TRUE(server->start_window_manager()) << "openbox did not start";
    const auto window = server->open_window(
        {"--title", "Inspector Test", "--color", "CC6633", "--pos", "40,40", "--size", "300x200"});
    ASSERT_TRUE(window) << "the test window did not come up";

    // The server's environment is what the configuration gives it: the
    // Inspector passes on only a few variables of its own.
    const fs::path config = dir_ / "mcp.json";
    std::ofstream(config) << nlohmann::json{
        {"mcpServers",
         {{"vantle",
           {{"command", VANTLE_CLI},
            {"args", {"mcp"}},
            {"env", {{"DISPLAY", server->display()}, {"XDG_CONFIG_HOME", dir_.string()}}}}}}}};

    const nlohmann::json listed = inspect(config, {"--method", "tools/list"});
    std::vector<std::string> names;
    for (const nlohmann::json& tool : listed.value("tools", nlohmann::json::array())) {
        names.push_back(tool.value("name", ""));
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"list_windows", "capture", "record_start", "record_stop"}))
        << listed.dump();

    const nlohmann::json windows =
        inspect(config, {"--method", "tools/call", "--tool-name", "list_windows", "--tool-arg",
                         "title_contains=inspector"});
    ASSERT_EQ(windows.value("isError", true), false) << windows.dump();
    const nlohmann::json listing =
        nlohmann::json::parse(windows["content"][0].value("text", ""), nullptr, false);
    ASSERT_TRUE(listing.is_object()) << windows.dump();
    ASSERT_EQ(listing["windows"].size(), 1u) << listing.dump();
    EXPECT_EQ(listing["windows"][0]["title"], "Inspector Test");

    const fs::path shot = dir_ / "inspected.png";
    const nlohmann::json captured =
        inspect(config, {"--method", "tools/call", "--tool-name", "capture", "--tool-arg",
                         "window=Inspector Test", "--tool-arg", "out=" + shot.string()});
    ASSERT_EQ(captured.value("isError", true), false) << captured.dump();
    const nlohmann::json& content = captured["content"];
    ASSERT_EQ(content.size(), 3u) << captured.dump();
    const nlohmann::json result =
        nlohmann::json::parse(content[0].value("text", ""), nullptr, false);
    EXPECT_EQ(result["path"], shot.string());
    EXPECT_EQ(result["width"], listing["windows"][0]["width"]);
    EXPECT_EQ(content[1]["text"], std::to_string(result.value("width", 0)) + "x" +
                                      std::to_string(result.value("height", 0)) +
                                      " capture written to " + shot.string());
    EXPECT_EQ(content[2]["type"], "image");
    EXPECT_EQ(content[2]["mimeType"], "image/png");
    // The file as an independent decoder reads it: the window's size, its colour.
    const CommandOutput decoded = run_command(
        {"ffmpeg", "-v", "error", "-i", shot.string(), "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
    EXPECT_EQ(decoded.out.size(),
              std::size_t{result.value("width", 0u)} * result.value("height", 0u) * 4);
}

}  // namespace
}  // namespace vantle::x11
