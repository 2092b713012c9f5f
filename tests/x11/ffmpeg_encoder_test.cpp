#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/x11/ffmpeg_encoder.h"
#include "x11/process_output.h"

namespace vantle::x11 {
namespace {

namespace fs = std::filesystem;

class FfmpegEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vantle-encoder-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A BGRA canvas of one colour per frame so that each frame differs.
    static std::vector<std::uint8_t> canvas(std::uint32_t w, std::uint32_t h, std::uint8_t shade) {
        std::vector<std::uint8_t> pixels(std::size_t{w} * h * 4);
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            pixels[i] = shade;
            pixels[i + 1] = static_cast<std::uint8_t>(255 - shade);
            pixels[i + 2] = 64;
            pixels[i + 3] = 255;
        }
        return pixels;
    }

    fs::path dir_;
};

// Frame i's colour as (blue, green, red): each 32 steps from its neighbours' in
// one channel at least, so a decoded frame tells which one it is despite the loss.
std::array<std::uint8_t, 3> frame_colour(std::uint64_t i) {
    return {static_cast<std::uint8_t>(i % 8 * 32 + 16), static_cast<std::uint8_t>(i / 8 * 32 + 16),
            64};
}

TEST_F(FfmpegEncoderTest, WritesAnMp4ThatFfprobeReadsWithEveryFrameAtItsTime) {
    const fs::path file = dir_ / "out.mp4";
    auto encoder = open_ffmpeg_encoder(file, 96, 64, 30);
    ASSERT_TRUE(encoder) << encoder.error().render();
    for (std::uint64_t i = 0; i < 60; ++i) {
        std::vector<std::uint8_t> pixels(std::size_t{96} * 64 * 4, 255);
        const auto colour = frame_colour(i);
        for (std::size_t at = 0; at < pixels.size(); at += 4) {
            std::copy(colour.begin(), colour.end(),
                      pixels.begin() + static_cast<std::ptrdiff_t>(at));
        }
        ASSERT_TRUE((*encoder)->write_frame(pixels.data(), pixels.size(), i));
    }
    ASSERT_TRUE((*encoder)->finish());
    EXPECT_TRUE((*encoder)->finish()) << "a second finish does nothing";
    const auto pixels = canvas(96, 64, 0);
    const auto late = (*encoder)->write_frame(pixels.data(), pixels.size(), 60);
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error().message, "the file is already closed");

    const VideoProbe probe = probe_video(file);
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.width, 96u);
    EXPECT_EQ(probe.height, 64u);
    EXPECT_EQ(probe.frames, 60u);
    EXPECT_EQ(probe.frame_rate, "30/1");
    EXPECT_DOUBLE_EQ(probe.duration, 2.0);
    EXPECT_DOUBLE_EQ(probe.start_time, 0.0);

    // Decoded independently: every frame shows its own colour, in order, at i/30 s.
    const CommandOutput rgb = run_command(
        {"ffmpeg", "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_EQ(rgb.status, 0);
    constexpr std::size_t kFrameBytes = 96 * 64 * 3;
    ASSERT_EQ(rgb.out.size(), 60 * kFrameBytes);
    for (std::uint64_t i = 0; i < 60; ++i) {
        const auto [blue, green, red] = frame_colour(i);
        // The middle pixel, away from the chroma edges.
        const std::size_t at = i * kFrameBytes + (32 * 96 + 48) * 3;
        const int want[] = {red, green, blue};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(static_cast<unsigned char>(rgb.out[at + k]), want[k], 12)
                << "frame " << i << " channel " << k;
        }
    }
    const CommandOutput times =
        run_command({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                     "frame=best_effort_timestamp_time", "-of", "csv=p=0", file.string()});
    ASSERT_EQ(times.status, 0);
    std::istringstream lines(times.out);
    std::vector<double> seconds;
    // A frame with side data gets an empty field after its time, and a line of its own.
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ',') {
            seconds.push_back(std::stod(line.substr(0, line.find(','))));
        }
    }
    ASSERT_EQ(seconds.size(), 60u);
    for (std::size_t i = 0; i < seconds.size(); ++i) {
        EXPECT_NEAR(seconds[i], static_cast<double>(i) / 30, 0.0005) << "frame " << i;
    }
}

TEST_F(FfmpegEncoderTest, RefusesOddSizesAndWrongPictureLengths) {
    const fs::path file = dir_ / "odd.mp4";
    auto odd = open_ffmpeg_encoder(file, 1921, 1080, 30);
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error().render(), "H.264 needs even dimensions, not 1921x1080");
    EXPECT_FALSE(fs::exists(file));

    auto encoder = open_ffmpeg_encoder(file, 4, 4, 1);
    ASSERT_TRUE(encoder) << encoder.error().render();
    const auto pixels = canvas(4, 4, 9);
    const auto short_write = (*encoder)->write_frame(pixels.data(), pixels.size() - 1, 0);
    ASSERT_FALSE(short_write);
    EXPECT_EQ(short_write.error().message, "a frame of 63 bytes for a 64-byte canvas");
    ASSERT_TRUE((*encoder)->write_frame(pixels.data(), pixels.size(), 0));
    ASSERT_TRUE((*encoder)->finish());
    EXPECT_EQ(probe_video(file).frames, 1u);
}

TEST_F(FfmpegEncoderTest, FallsBackPastEncodersThatRefuseAndReportsOnlyTheLast) {
    const fs::path file = dir_ / "fallback.mp4";
    {
        const std::string_view order[] = {"h264_nvenc", "no_such_encoder", "libx264"};
        auto encoder = open_ffmpeg_encoder(file, 16, 16, 10, order);
        ASSERT_TRUE(encoder) << encoder.error().render();
        const auto pixels = canvas(16, 16, 1);
        ASSERT_TRUE((*encoder)->write_frame(pixels.data(), pixels.size(), 0));
        ASSERT_TRUE((*encoder)->finish());
        EXPECT_EQ(probe_video(file).codec, "h264");
    }
    {
        const fs::path refused = dir_ / "refused.mp4";
        const std::string_view order[] = {"h264_nvenc", "no_such_encoder"};
        auto encoder = open_ffmpeg_encoder(refused, 16, 16, 10, order);
        ASSERT_FALSE(encoder);
        EXPECT_EQ(encoder.error().render().rfind(
                      "the H.264 encoder refused 16x16 at 10 fps: h264_nvenc would not open", 0),
                  0u)
            << "the last encoder that is built in speaks: " << encoder.error().render();
        EXPECT_FALSE(fs::exists(refused)) << "a refused attempt leaves no file behind";
    }
    {
        const std::string_view order[] = {"no_such_encoder"};
        auto encoder = open_ffmpeg_encoder(dir_ / "none.mp4", 16, 16, 10, order);
        ASSERT_FALSE(encoder);
        EXPECT_EQ(encoder.error().render(),
                  "the H.264 encoder refused 16x16 at 10 fps: no_such_encoder is not in this "
                  "FFmpeg build");
    }
}

TEST_F(FfmpegEncoderTest, AnEncoderMissingFromTheBuildDoesNotHideWhyARealOneFailed) {
    // libx264 opens, but the file cannot be created: that is what gets reported,
    // not that the encoder after it is not built in.
    const fs::path file = dir_ / "no-such-folder" / "clip.mp4";
    const std::string_view order[] = {"libx264", "no_such_encoder"};
    auto encoder = open_ffmpeg_encoder(file, 16, 16, 10, order);
    ASSERT_FALSE(encoder);
    EXPECT_EQ(encoder.error().render(), "the H.264 encoder refused 16x16 at 10 fps: creating " +
                                            file.string() +
                                            ": No such file or directory (0x00000002)");
}

TEST_F(FfmpegEncoderTest, ALinkAtThePathIsNeitherFollowedNorReplaced) {
    const fs::path target = dir_ / "target.txt";
    std::ofstream(target) << "kept\n";
    const fs::path file = dir_ / "linked.mp4";
    fs::create_symlink(target, file);
    const std::string_view order[] = {"libx264"};
    auto encoder = open_ffmpeg_encoder(file, 16, 16, 10, order);
    ASSERT_FALSE(encoder);
    EXPECT_NE(encoder.error().render().find("creating " + file.string() +
                                            ": Too many levels of symbolic links"),
              std::string::npos)
        << encoder.error().render();
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept\n");
}

TEST_F(FfmpegEncoderTest, AnUnfinishedEncoderLeavesNoPlayableFile) {
    const fs::path file = dir_ / "unfinished.mp4";
    {
        auto encoder = open_ffmpeg_encoder(file, 16, 16, 10);
        ASSERT_TRUE(encoder);
        const auto pixels = canvas(16, 16, 1);
        ASSERT_TRUE((*encoder)->write_frame(pixels.data(), pixels.size(), 0));
    }
    EXPECT_EQ(probe_video(file).frames, 0u);
}

}  // namespace
}  // namespace vantle::x11
