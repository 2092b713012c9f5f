// The bound on a capture's reply line, through the built program on a private
// X server: a window of noise, a whole monitor and a region across the whole
// desktop each come back in one reply line within the bound, with a preview
// that decodes (ffmpeg) to the size its summary names, and a file that keeps
// every pixel; a small picture comes back exactly as before, the file's own PNG.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "fakes/png_bytes.h"
#include "x11/process_output.h"
#include "x11/x_server.h"

namespace vantle::x11 {
namespace {

namespace fs = std::filesystem;

using testing::from_base64;

constexpr std::size_t kBound = 1'000'000;

// How many RGBA bytes ffmpeg decodes from a PNG file.
std::size_t decoded_bytes(const fs::path& file) {
    return run_command({"ffmpeg", "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt",
                        "rgba", "-"})
        .out.size();
}

std::string read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class McpPreviewX11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vantle-preview-x11-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "invalid.vantle.app");
        std::ofstream(dir_ / "invalid.vantle.app" / "config.json")
            << R"({"automation_allow_desktop":true})";
        ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        server_.reset();
        fs::remove_all(dir_);
    }

    // The reply line to one capture, line feed included.
    std::string capture(ChildProcess& mcp, const nlohmann::json& arguments) {
        const nlohmann::json request{{"jsonrpc", "2.0"},
                                     {"id", ++id_},
                                     {"method", "tools/call"},
                                     {"params", {{"name", "capture"}, {"arguments", arguments}}}};
        EXPECT_TRUE(mcp.write_line(request.dump()));
        const std::optional<std::string> line = mcp.read_line(std::chrono::seconds(120));
        EXPECT_TRUE(line) << "no reply to " << arguments.dump();
        return line ? *line + "\n" : std::string();
    }

    // A reply past the rule: within the bound, the summary naming the size the
    // preview decodes to, smaller than the rule's; the file at full size.
    void expect_shrunk(const std::string& line, const fs::path& file, std::uint32_t width,
                       std::uint32_t height) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_LE(line.size(), kBound);
        const nlohmann::json reply = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(reply.is_object()) << line.substr(0, 300);
        const nlohmann::json& content = reply["result"]["content"];
        ASSERT_EQ(content.size(), 3u) << line.substr(0, 300);
        EXPECT_EQ(reply["result"]["isError"], false);
        const std::string summary = content[1].value("text", "");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            summary, m,
            std::regex("Preview scaled to (\\d+)x(\\d+); the " + std::to_string(width) + "x" +
                       std::to_string(height) + " file at (.*) keeps every pixel\\.")))
            << summary;
        EXPECT_EQ(m[3].str(), file.string());
        const auto w = static_cast<std::uint32_t>(std::stoul(m[1].str()));
        const auto h = static_cast<std::uint32_t>(std::stoul(m[2].str()));
        EXPECT_LT(std::max(w, h), std::min<std::uint32_t>(1568, std::max(width, height)));
        const fs::path preview = dir_ / "preview.png";
        { std::ofstream(preview, std::ios::binary) << from_base64(content[2].value("data", "")); }
        EXPECT_EQ(decoded_bytes(preview), std::size_t{w} * h * 4);
        EXPECT_EQ(decoded_bytes(file), std::size_t{width} * height * 4);
    }

    fs::path dir_;
    std::unique_ptr<XServer> server_;
    int id_ = 0;
};

TEST_F(McpPreviewX11Test, EveryCaptureReplyFitsTheBound) {
    server_ = XServer::start("1400x900x24");
    ASSERT_TRUE(server_) << "Xvfb did not start";
    // A desktop-like backdrop, a window of noise over most of it, and a small one.
    const auto desktop = server_->open_window(
        {"--title", "desktop", "--desktop", "--pattern", "--pos", "0,0", "--size", "1400x900"});
    ASSERT_TRUE(desktop);
    const auto noisy = server_->open_window(
        {"--title", "noise", "--noise", "--pos", "100,100", "--size", "1000x700"});
    ASSERT_TRUE(noisy);
    const auto small = server_->open_window(
        {"--title", "small", "--noise", "--pos", "1150,50", "--size", "200x150"});
    ASSERT_TRUE(small);

    const std::unique_ptr<ChildProcess> mcp = ChildProcess::start({VANTLE_CLI, "mcp"});
    ASSERT_TRUE(mcp);

    const fs::path window = dir_ / "noise.png";
    expect_shrunk(capture(*mcp, {{"window", "noise"}, {"out", window.string()}}), window, 1000,
                  700);
    const fs::path monitor = dir_ / "monitor.png";
    expect_shrunk(capture(*mcp, {{"monitor", 0}, {"out", monitor.string()}}), monitor, 1400, 900);
    const fs::path region = dir_ / "region.png";
    expect_shrunk(
        capture(*mcp, {{"region", {{"x", 0}, {"y", 400}, {"width", 1400}, {"height", 300}}},
                       {"out", region.string()}}),
        region, 1400, 300);

    // Small enough for the bound: the preview is the file's own PNG, as ever.
    const fs::path shot = dir_ / "small.png";
    const std::string line = capture(*mcp, {{"window", "small"}, {"out", shot.string()}});
    const nlohmann::json reply = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(reply.is_object());
    const nlohmann::json& content = reply["result"]["content"];
    ASSERT_EQ(content.size(), 3u);
    EXPECT_EQ(content[1]["text"], "200x150 capture written to " + shot.string());
    EXPECT_EQ(from_base64(content[2].value("data", "")), read_bytes(shot));

    mcp->close_input();
    EXPECT_EQ(mcp->wait(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace vantle::x11
