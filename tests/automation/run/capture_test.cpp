#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "automation/run/capture.h"
#include "fakes/fake_platform.h"
#include "support/json_line.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;
using testing::FakePlatform;

// A picture whose every pixel differs, so a decode that shifts or drops
// anything shows.
RgbaImage pattern_image(std::uint32_t width, std::uint32_t height) {
    RgbaImage image{width, height, {}};
    image.pixels.resize(std::size_t{width} * height * 4);
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        image.pixels[i] = static_cast<std::uint8_t>(i * 7 + i / 13);
    }
    return image;
}

// Decodes with libpng, independently of the encoder under test.
std::optional<RgbaImage> decode_png_file(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    RgbaImage decoded{image.width, image.height, {}};
    decoded.pixels.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, decoded.pixels.data(), 0, nullptr) == 0) {
        return std::nullopt;
    }
    return decoded;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The standard desktop, a fresh current directory, and a sleeper that notes
// each wait together with how many platform calls came before it.
class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantle-capture-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        previous_ = fs::current_path();
        fs::current_path(pattern);
        dir_ = fs::current_path();
        platform_ = testing::make_standard_desktop();
        sleep_ = [this](std::uint64_t ms) { sleeps_.push_back({ms, platform_->calls().size()}); };
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    CliResult<CaptureOutcome> capture(const CaptureRequest& request) {
        return run_capture(*platform_, request, sleep_);
    }
    static CaptureRequest window_request(std::string title) {
        CaptureRequest request;
        request.out = "shot.png";
        request.target = WindowTarget{std::move(title), {}};
        return request;
    }
    [[nodiscard]] std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    struct Sleep {
        std::uint64_t ms;
        std::size_t after_calls;
        friend bool operator==(const Sleep&, const Sleep&) = default;
    };

    fs::path previous_;
    fs::path dir_;
    std::shared_ptr<FakePlatform> platform_;
    std::vector<Sleep> sleeps_;
    Sleeper sleep_;
};

TEST_F(CaptureTest, WindowIsCheckedCapturedEncodedAndWritten) {
    // The picture's own size is reported, not the window's listed 800x600.
    platform_->window_pictures[7] = pattern_image(37, 21);
    auto outcome = capture(window_request("Untitled - Notepad"));
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(platform_->calls(), (std::vector<std::string>{"enumerate_windows", "window_exists 7",
                                                            "capture_window 7"}));
    EXPECT_TRUE(sleeps_.empty());
    EXPECT_EQ(outcome->path, dir_ / "shot.png");
    EXPECT_EQ(outcome->width, 37u);
    EXPECT_EQ(outcome->height, 21u);
    EXPECT_EQ(outcome->image, platform_->window_pictures[7]);
    EXPECT_EQ(decode_png_file(dir_ / "shot.png"), platform_->window_pictures[7]);
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
    EXPECT_EQ(
        json_text(capture_result_json(*outcome)),
        R"({"height":21,"monitor":0,"path":")" + (dir_ / "shot.png").string() +
            R"(","target":{"kind":"window","pid":4242,"process":"notepad.exe","title":"Untitled - Notepad"},"width":37})");
}

// The hook gets the picture before anything is written, and keeps it; a hook
// on a capture that then fails to be written still holds a whole picture.
TEST_F(CaptureTest, OnPictureGetsThePictureBeforeTheFileIsWritten) {
    platform_->window_pictures[7] = pattern_image(37, 21);
    for (const bool writable : {true, false}) {
        CaptureRequest request = window_request("Untitled - Notepad");
        if (!writable) {
            request.out = dir_ / "missing" / "shot.png";
        }
        std::shared_ptr<const RgbaImage> taken;
        bool file_there = true;
        request.on_picture = [&](std::shared_ptr<const RgbaImage> picture) {
            taken = std::move(picture);
            file_there = fs::exists(request.out);
        };
        auto outcome = capture(request);
        EXPECT_EQ(outcome.has_value(), writable);
        ASSERT_NE(taken, nullptr);
        EXPECT_FALSE(file_there);
        EXPECT_EQ(*taken, platform_->window_pictures[7]);
        if (writable) {
            EXPECT_EQ(outcome->width, 37u);
            EXPECT_TRUE(outcome->image.pixels.empty());
            EXPECT_EQ(decode_png_file(dir_ / "shot.png"), platform_->window_pictures[7]);
        }
    }
}

TEST_F(CaptureTest, MinimizedWindowIsRestoredCapturedAndMinimizedAgain) {
    CaptureRequest request = window_request("Calculator");
    request.restore = true;
    request.cursor = true;
    auto outcome = capture(request);
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(platform_->calls(),
              (std::vector<std::string>{"enumerate_windows", "window_exists 8", "restore_window 8",
                                        "capture_window 8 cursor", "minimize_window 8"}));
    // The settle wait falls between the restore and the capture.
    EXPECT_EQ(sleeps_, (std::vector<Sleep>{{350, 3}}));
    EXPECT_EQ(
        json_text(capture_result_json(*outcome)),
        R"({"height":48,"monitor":null,"path":")" + (dir_ / "shot.png").string() +
            R"(","target":{"kind":"window","pid":77,"process":null,"title":"Calculator"},"width":64})");
}

TEST_F(CaptureTest, RestoredWindowIsMinimizedAgainWhenTheCaptureFails) {
    platform_->capture_error = CliError::failed("no frame arrived: the window is gone");
    CaptureRequest request = window_request("Calculator");
    request.restore = true;
    auto outcome = capture(request);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), *platform_->capture_error);
    EXPECT_EQ(platform_->calls(),
              (std::vector<std::string>{"enumerate_windows", "window_exists 8", "restore_window 8",
                                        "capture_window 8", "minimize_window 8"}));
    EXPECT_TRUE(entries().empty());
}

TEST_F(CaptureTest, FailedRestoreStopsBeforeTheCapture) {
    platform_->restore_error = CliError::failed("\"Calculator\" did not come back from minimized");
    CaptureRequest request = window_request("Calculator");
    request.restore = true;
    EXPECT_EQ(capture(request).error(), *platform_->restore_error);
    EXPECT_EQ(platform_->calls(), (std::vector<std::string>{"enumerate_windows", "window_exists 8",
                                                            "restore_window 8"}));
    EXPECT_TRUE(entries().empty());
}

TEST_F(CaptureTest, WindowClosedDuringTheDelayIsRefusedAndNothingIsWritten) {
    CaptureRequest request = window_request("Untitled - Notepad");
    request.delay_ms = 2000;
    sleep_ = [this](std::uint64_t ms) {
        sleeps_.push_back({ms, platform_->calls().size()});
        platform_->closed_windows.push_back(7);
    };
    auto outcome = capture(request);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), CliError::refused("the window \"Untitled - Notepad\" has closed"));
    // The delay runs after the target was resolved.
    EXPECT_EQ(sleeps_, (std::vector<Sleep>{{2000, 1}}));
    EXPECT_EQ(platform_->calls(),
              (std::vector<std::string>{"enumerate_windows", "window_exists 7"}));
    EXPECT_TRUE(entries().empty());
}

TEST_F(CaptureTest, MonitorAndRegionTargets) {
    platform_->monitor_pictures[1] = pattern_image(16, 9);
    CaptureRequest request;
    request.out = "sub/../monitor.png";
    request.target = MonitorTarget{1};
    request.allow_desktop = true;
    request.cursor = true;
    auto outcome = capture(request);
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(platform_->calls(),
              (std::vector<std::string>{"enumerate_monitors", "capture_monitor 1 cursor"}));
    EXPECT_EQ(outcome->path, dir_ / "monitor.png");
    EXPECT_EQ(decode_png_file(outcome->path), platform_->monitor_pictures[1]);
    EXPECT_EQ(
        json_text(capture_result_json(*outcome)),
        R"({"height":9,"monitor":1,"path":")" + outcome->path.string() +
            R"(","target":{"kind":"monitor","pid":null,"process":null,"title":null},"width":16})");

    platform_->clear_calls();
    platform_->monitors[1].height = 1000;
    request.out = dir_ / "region.png";
    request.target = RegionTarget{{2000, 1030, 10, 10}};
    request.cursor = false;
    outcome = capture(request);
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(platform_->calls(),
              (std::vector<std::string>{"enumerate_monitors", "capture_region 2000,1030,10x10"}));
    EXPECT_EQ(
        json_text(capture_result_json(*outcome)),
        R"({"height":10,"monitor":null,"path":")" + outcome->path.string() +
            R"(","target":{"kind":"region","pid":null,"process":null,"title":null},"width":10})");
    EXPECT_EQ(entries(), (std::vector<std::string>{"monitor.png", "region.png"}));
}

TEST_F(CaptureTest, RefusalsAndPlatformFailuresComeOutUnchanged) {
    CaptureRequest request;
    request.out = "shot.png";
    request.target = MonitorTarget{0};
    EXPECT_EQ(capture(request).error().exit_code, ExitCode::kRefused);
    EXPECT_TRUE(platform_->calls().empty());

    request.target = WindowTarget{"Calculator", {}};
    request.delay_ms = 500;
    EXPECT_EQ(capture(request).error().exit_code, ExitCode::kMinimized);
    EXPECT_TRUE(sleeps_.empty());

    request.allow_desktop = true;
    request.target = RegionTarget{{0, 0, 10, 10}};
    platform_->capture_error = CliError::failed("could not copy the screen: BitBlt failed");
    EXPECT_EQ(capture(request).error(), *platform_->capture_error);
    EXPECT_TRUE(entries().empty());
}

TEST_F(CaptureTest, ExistingFileIsReplacedOnSuccessAndKeptOnFailure) {
    std::ofstream(dir_ / "shot.png") << "old picture";
    platform_->capture_error = CliError::failed("capture failed");
    EXPECT_FALSE(capture(window_request("Untitled - Notepad")));
    EXPECT_EQ(contents(dir_ / "shot.png"), "old picture");

    platform_->capture_error.reset();
    ASSERT_TRUE(capture(window_request("Untitled - Notepad")));
    EXPECT_EQ(decode_png_file(dir_ / "shot.png"), testing::solid_image(800, 600));
    EXPECT_EQ(entries(), std::vector<std::string>{"shot.png"});
}

TEST_F(CaptureTest, DestinationFailures) {
    CaptureRequest request = window_request("Untitled - Notepad");
    request.out = "";
    EXPECT_EQ(capture(request).error(), CliError::failed(": cannot make an empty path absolute"));

    request.out = "missing/shot.png";
    auto outcome = capture(request);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().exit_code, ExitCode::kFailed);
    EXPECT_TRUE(outcome.error().message.starts_with("could not write " +
                                                    (dir_ / "missing/shot.png").string() + ": "))
        << outcome.error().message;
    EXPECT_TRUE(entries().empty());
}

TEST_F(CaptureTest, PictureTheEncoderRefusesFailsWithItsMessage) {
    RgbaImage broken = pattern_image(4, 4);
    broken.pixels.resize(10);
    platform_->window_pictures[7] = broken;
    auto outcome = capture(window_request("Untitled - Notepad"));
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().exit_code, ExitCode::kFailed);
    EXPECT_FALSE(outcome.error().message.empty());
    EXPECT_TRUE(entries().empty());
}

}  // namespace
}  // namespace vantle
