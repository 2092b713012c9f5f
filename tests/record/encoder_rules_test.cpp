#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/encoder_rules.h"

namespace vantle {
namespace {

TEST(EncoderRules, BitrateIsAPixelRateTenthWithinItsBounds) {
    struct Case {
        std::uint32_t width, height, fps, expected;
    } cases[] = {
        {1920, 1080, 30, 6'220'800},  {640, 480, 30, 1'000'000},
        {7680, 4320, 60, 50'000'000}, {2, 2, 1, 1'000'000},
        {1920, 1080, 0, 1'000'000},   {4294967295u, 4294967295u, 60, 50'000'000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encoder_bitrate(c.width, c.height, c.fps), c.expected)
            << c.width << "x" << c.height << "@" << c.fps;
    }
}

TEST(EncoderRules, FrameDurationTruncatesAndFrameIStartsAtITimesIt) {
    EXPECT_EQ(frame_duration_100ns(30), 333'333u);
    EXPECT_EQ(frame_duration_100ns(60), 166'666u);
    EXPECT_EQ(frame_duration_100ns(24), 416'666u);
    EXPECT_EQ(frame_duration_100ns(1), 10'000'000u);
    EXPECT_EQ(frame_duration_100ns(0), 10'000'000u);
    EXPECT_EQ(sample_time_100ns(30, frame_duration_100ns(30)), 9'999'990u);
    EXPECT_EQ(sample_time_100ns(0, frame_duration_100ns(30)), 0u);
}

TEST(EncoderRules, SizeAndWriteChecksUseTheirMessages) {
    EXPECT_TRUE(check_even_size(1920, 1080));
    EXPECT_EQ(check_even_size(1921, 1080).error().render(),
              "H.264 needs even dimensions, not 1921x1080");
    EXPECT_EQ(check_even_size(2, 3).error().render(), "H.264 needs even dimensions, not 2x3");

    EXPECT_TRUE(check_frame_write(true, 16, 2, 2));
    EXPECT_EQ(check_frame_write(true, 15, 2, 2).error().render(),
              "a frame of 15 bytes for a 16-byte canvas");
    EXPECT_EQ(check_frame_write(false, 16, 2, 2).error().render(), "the file is already closed");
}

// Records the order in which the attempts and the hooks run.
struct Trace {
    std::vector<std::string> events;
    EncoderAttempt<int> attempt(std::string name, bool hardware, bool succeeds) {
        return {hardware, [this, name, succeeds]() -> Result<int> {
                    events.push_back("open " + name);
                    if (succeeds) {
                        return static_cast<int>(events.size());
                    }
                    return std::unexpected(Error(name + " failed").context(name + " refused"));
                }};
    }
    std::function<void()> retry() {
        return [this] { events.push_back("cleanup"); };
    }
    std::function<void(const Error&)> refused() {
        return [this](const Error& e) { events.push_back("log " + e.message()); };
    }
};

TEST(EncoderRules, HardwareFirstThenSoftwareWithOnlyTheLastErrorReported) {
    {
        Trace t;
        const std::vector attempts = {t.attempt("hw", true, false), t.attempt("sw", false, true)};
        const Result<int> opened =
            open_first_encoder<int>(attempts, 640, 480, 30, t.retry(), t.refused());
        ASSERT_TRUE(opened);
        EXPECT_EQ(t.events,
                  (std::vector<std::string>{"open hw", "log hw refused", "cleanup", "open sw"}));
    }
    {
        Trace t;
        const std::vector attempts = {t.attempt("hw", true, true), t.attempt("sw", false, true)};
        ASSERT_TRUE(open_first_encoder<int>(attempts, 640, 480, 30, t.retry(), t.refused()));
        EXPECT_EQ(t.events, (std::vector<std::string>{"open hw"}));
    }
    {
        Trace t;
        const std::vector attempts = {t.attempt("hw", true, false), t.attempt("sw1", false, false),
                                      t.attempt("sw2", false, false)};
        const Result<int> opened =
            open_first_encoder<int>(attempts, 640, 480, 30, t.retry(), t.refused());
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().render(),
                  "the H.264 encoder refused 640x480 at 30 fps: sw2 refused: sw2 failed");
        EXPECT_EQ(t.events, (std::vector<std::string>{"open hw", "log hw refused", "cleanup",
                                                      "open sw1", "cleanup", "open sw2"}));
    }
}

}  // namespace
}  // namespace vantle
