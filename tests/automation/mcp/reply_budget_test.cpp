// The bound on a capture's reply line: a preview whose reply fits goes out as
// the size rule makes it, byte for byte; one that does not is scaled further,
// with the same filter and rounding, until the whole line fits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "automation/mcp/preview.h"
#include "automation/mcp/server.h"
#include "fakes/fake_platform.h"
#include "fakes/png_bytes.h"
#include "support/json_line.h"

namespace vantle {
namespace {

using nlohmann::json;
using testing::from_base64;
using testing::png_size;

// Every pixel different: the PNG cannot shrink it.
RgbaImage noise(std::uint32_t width, std::uint32_t height) {
    RgbaImage image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4)};
    std::uint32_t seed = 88172645u;
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        image.pixels[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(seed);
    }
    return image;
}

TEST(PreviewRoom, AFittingPreviewIsTheRulesOwn) {
    const RgbaImage picture = noise(1600, 40);
    const auto unbounded = mcp::make_preview(picture);
    ASSERT_TRUE(unbounded.has_value());
    const std::size_t exact = unbounded->png.size();
    const auto at_the_bound =
        mcp::make_preview(picture, [exact](mcp::PreviewSize) { return exact; });
    ASSERT_TRUE(at_the_bound.has_value());
    EXPECT_EQ(at_the_bound->width, 1568u);
    EXPECT_EQ(at_the_bound->png, unbounded->png);
}

TEST(PreviewRoom, ShrinksWithTheSameRoundingUntilItFits) {
    const RgbaImage picture = noise(300, 200);
    for (const std::size_t room : {std::size_t{150'000}, std::size_t{20'000}, std::size_t{900}}) {
        std::vector<mcp::PreviewSize> asked;
        const auto preview = mcp::make_preview(picture, [&](mcp::PreviewSize size) {
            asked.push_back(size);
            return room;
        });
        ASSERT_TRUE(preview.has_value());
        EXPECT_LE(preview->png.size(), room) << room;
        const std::uint32_t longer = std::max(preview->width, preview->height);
        EXPECT_EQ(mcp::preview_size(300, 200, longer),
                  (mcp::PreviewSize{preview->width, preview->height}));
        EXPECT_EQ(png_size(std::string(preview->png.begin(), preview->png.end())),
                  std::make_pair(preview->width, preview->height));
        // Sized from the bytes per pixel, not halved blindly: close to the room,
        // in a few attempts.
        EXPECT_GT(preview->png.size(), room / 2) << room;
        EXPECT_LE(asked.size(), 4u) << room;
    }
}

TEST(PreviewRoom, WithNoRoomAtAllTheCopyIsOnePixelLong) {
    const auto preview = mcp::make_preview(noise(300, 200), [](mcp::PreviewSize) { return 0; });
    ASSERT_TRUE(preview.has_value());
    EXPECT_EQ(preview->width, 1u);
    EXPECT_EQ(preview->height, 1u);
}

// The server, with a small bound so that a small noisy window passes it.
class ReplyBudget : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("vantle-budget-test-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        platform_ = std::make_shared<testing::FakePlatform>();
        platform_->monitors = {testing::make_monitor(0, 0, 0, 1920, 1080, true, "DISPLAY1")};
        platform_->windows = {testing::make_window(7, "Noise", "noise.exe", 7, {0, 0, 300, 200}, 0),
                              testing::make_window(8, "Flat", "flat.exe", 8, {0, 0, 300, 200}, 0)};
        platform_->window_pictures[7] = noise(300, 200);
        server_ = std::make_unique<McpServer>(platform_, default_config);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    json capture_request(const json& id, const std::string& window, const std::string& file) {
        return {{"id", id},
                {"method", "tools/call"},
                {"params",
                 {{"name", "capture"},
                  {"arguments", {{"window", window}, {"out", (folder_ / file).string()}}}}}};
    }
    // The reply line as written, line feed included.
    std::string line(const json& request) {
        const auto reply = server_->handle_line(json_text(request));
        return reply ? json_line(*reply) : std::string();
    }

    // Checks one capture reply: the summary names the preview's size, the PNG
    // states it, it follows the rounding rule, and the file keeps every pixel.
    void expect_scaled(const json& reply, const std::string& file) {
        const json& content = reply["result"]["content"];
        ASSERT_EQ(content.size(), 3u) << reply.dump();
        const auto [width, height] = png_size(from_base64(content[2]["data"]));
        EXPECT_LT(width, 300u);
        EXPECT_EQ(mcp::preview_size(300, 200, std::max(width, height)),
                  (mcp::PreviewSize{width, height}));
        EXPECT_EQ(content[1]["text"], "Preview scaled to " + std::to_string(width) + "x" +
                                          std::to_string(height) + "; the 300x200 file at " +
                                          (folder_ / file).string() + " keeps every pixel.");
        std::ifstream in(folder_ / file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(png_size(bytes), std::make_pair(300u, 200u));
    }

    std::filesystem::path folder_;
    std::shared_ptr<testing::FakePlatform> platform_;
    std::unique_ptr<McpServer> server_;
};

TEST_F(ReplyBudget, AReplyAtTheBoundIsUnchangedAndOneByteLessScales) {
    const std::string whole = line(capture_request(1, "Noise", "a.png"));
    ASSERT_FALSE(whole.empty());
    EXPECT_NE(whole.find("\"300x200 capture written to "), std::string::npos);

    server_->max_reply_bytes = whole.size();
    EXPECT_EQ(line(capture_request(1, "Noise", "a.png")), whole);

    server_->max_reply_bytes = whole.size() - 1;
    const std::string scaled = line(capture_request(1, "Noise", "b.png"));
    EXPECT_LE(scaled.size(), whole.size() - 1);
    expect_scaled(json::parse(scaled), "b.png");
}

TEST_F(ReplyBudget, TheIdAndEveryReplyOfABatchCountAgainstTheBound) {
    server_->max_reply_bytes = 40'000;
    const std::string long_id(20'000, 'i');
    const std::string single = line(capture_request(long_id, "Noise", "a.png"));
    EXPECT_LE(single.size(), 40'000u);
    expect_scaled(json::parse(single), "a.png");

    const std::string batch = line(
        json::array({capture_request(1, "Noise", "b.png"), capture_request(2, "Flat", "flat.png"),
                     capture_request(3, "Noise", "c.png")}));
    EXPECT_LE(batch.size(), 40'000u);
    const json replies = json::parse(batch);
    ASSERT_EQ(replies.size(), 3u);
    expect_scaled(replies[0], "b.png");
    expect_scaled(replies[2], "c.png");

    // An id that leaves no room: the reply still carries all three items, the
    // preview as small as a picture gets.
    const json crowded =
        json::parse(line(capture_request(std::string(40'000, 'i'), "Noise", "d.png")));
    const json& content = crowded["result"]["content"];
    ASSERT_EQ(content.size(), 3u);
    EXPECT_EQ(png_size(from_base64(content[2]["data"])), std::make_pair(1u, 1u));
}

}  // namespace
}  // namespace vantle
