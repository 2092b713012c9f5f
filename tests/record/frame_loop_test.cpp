#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "fakes/fake_recording.h"
#include "record/recorder.h"

namespace vantle {
namespace {

using std::chrono::nanoseconds;
using testing::FakeFrameClock;
using testing::RecordingEncoder;
using testing::RecordingLog;
using testing::ScriptedFrameSource;
using testing::solid_frame;

constexpr std::uint32_t kRed = 0xFFFF0000;
constexpr std::uint32_t kGreen = 0xFF00FF00;
constexpr std::uint32_t kBlue = 0xFF0000FF;
constexpr std::uint32_t kBlack = 0xFF000000;

// A frame whose every pixel holds its own coordinates, so a test can tell which
// source pixel landed where: B = x, G = y, R = tag, A = 255.
FrameHandle coordinate_frame(std::uint32_t width, std::uint32_t height, std::uint8_t tag) {
    auto frame = std::make_shared<Frame>();
    frame->width = width;
    frame->height = height;
    frame->pixels.resize(std::size_t{width} * height * 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = &frame->pixels[(std::size_t{y} * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = tag;
            p[3] = 255;
        }
    }
    return frame;
}

std::uint32_t pixel_at(const std::vector<std::uint8_t>& canvas, std::uint32_t canvas_width,
                       std::uint32_t x, std::uint32_t y) {
    std::uint32_t word = 0;
    std::memcpy(&word, &canvas[(std::size_t{y} * canvas_width + x) * 4], 4);
    return word;
}

std::uint32_t coordinate_word(std::uint32_t x, std::uint32_t y, std::uint8_t tag) {
    return x | (y << 8) | (std::uint32_t{tag} << 16) | 0xFF000000;
}

// The loop with its fakes; a test adjusts the scripts, then calls run().
struct LoopFixture {
    std::shared_ptr<RecordingLog> log = std::make_shared<RecordingLog>();
    ScriptedFrameSource::Script source_script;
    RecordingEncoder::Script encoder_script;
    FakeFrameClock clock;
    std::uint32_t fps = 30;
    std::optional<std::uint64_t> max_frames;
    StopCheck stop_check = [] { return false; };

    CliResult<FrameLoopOutcome> run() {
        ScriptedFrameSource source(source_script, log);
        RecordingEncoder encoder(encoder_script, log);
        return run_frame_loop(source, encoder, source_script.first, fps, max_frames, stop_check,
                              clock);
    }

    [[nodiscard]] std::vector<std::uint32_t> top_left_per_write() const {
        std::vector<std::uint32_t> words;
        for (const auto& write : log->writes) {
            words.push_back(pixel_at(write.pixels, 1, 0, 0));
        }
        return words;
    }
};

TEST(FrameLoop, WritesFpsTimesMaxSecondsFramesOnTheFixedSchedule) {
    struct Case {
        std::uint32_t fps;
        double max_seconds;
        std::uint64_t frames;
        double seconds;
    } cases[] = {
        {30, 2.0, 60, 2.0}, {7, 0.1, 1, 1.0 / 7},     // 0.7 rounds to 1
        {60, 0.5, 30, 0.5}, {30, 1e-9, 1, 1.0 / 30},  // rounds to 0, raised to 1
        {1, 2.5, 3, 3.0},                             // halves round away from zero
        {0, 2.0, 1, 1.0},                             // a zero rate counts as 1 where it divides
    };
    for (const Case& c : cases) {
        LoopFixture fixture;
        fixture.source_script.first = solid_frame(4, 4, kRed);
        fixture.encoder_script.keep_pixels = false;
        fixture.fps = c.fps;
        fixture.max_frames = max_frames_for(c.fps, c.max_seconds);
        auto outcome = fixture.run();
        ASSERT_TRUE(outcome) << outcome.error().message;
        EXPECT_EQ(outcome->frames, c.frames) << c.fps << " fps, " << c.max_seconds << " s";
        EXPECT_DOUBLE_EQ(outcome->seconds, c.seconds) << c.fps << " fps, " << c.max_seconds;

        ASSERT_EQ(fixture.log->writes.size(), c.frames);
        for (std::size_t i = 0; i < fixture.log->writes.size(); ++i) {
            EXPECT_EQ(fixture.log->writes[i].index, i);
        }
        // A sleep between every two frames, each aimed at the start plus i periods.
        const std::uint64_t period = 1'000'000'000ULL / std::max<std::uint32_t>(c.fps, 1);
        ASSERT_EQ(fixture.clock.offsets.size(), c.frames - 1);
        for (std::size_t i = 0; i < fixture.clock.offsets.size(); ++i) {
            EXPECT_EQ(fixture.clock.offsets[i], nanoseconds((i + 1) * period));
        }
    }
}

TEST(FrameLoop, TickPeriodIsTheIntegerNanosecondDivision) {
    LoopFixture fixture;
    fixture.source_script.first = solid_frame(2, 2, kRed);
    fixture.fps = 60;
    fixture.max_frames = 3;
    ASSERT_TRUE(fixture.run());
    EXPECT_EQ(fixture.clock.offsets,
              (std::vector<nanoseconds>{nanoseconds(16'666'666), nanoseconds(33'333'332)}));
}

TEST(MaxFrames, RoundsAndSaturates) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::uint32_t fps;
        std::optional<double> max_seconds;
        std::optional<std::uint64_t> frames;
    } cases[] = {
        {30, std::nullopt, std::nullopt},
        {30, 2.0, 60},
        {1, 0.5, 1},
        {1, 1.5, 2},
        {10, 0.25, 3},  // 2.5 rounds away from zero
        {60, 1e30, std::numeric_limits<std::uint64_t>::max()},
        {60, inf, std::numeric_limits<std::uint64_t>::max()},
        {30, nan, 1},
        {30, -4.0, 1},
        {0, 10.0, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(max_frames_for(c.fps, c.max_seconds), c.frames)
            << c.fps << " fps, " << c.max_seconds.value_or(-1);
    }
}

TEST(FrameLoop, RepeatsTheLastPictureUntilANewOneArrives) {
    LoopFixture fixture;
    fixture.source_script.first = solid_frame(2, 2, kRed);
    fixture.source_script.at_call = {{3, solid_frame(2, 2, kGreen)}, {5, solid_frame(2, 2, kBlue)}};
    fixture.max_frames = 8;
    auto outcome = fixture.run();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->frames, 8U);
    EXPECT_EQ(fixture.top_left_per_write(),
              (std::vector<std::uint32_t>{kRed, kRed, kRed, kGreen, kGreen, kBlue, kBlue, kBlue}));
}

TEST(FrameLoop, NewPicturesAreToldApartByHandleNotByPixels) {
    // Pixels changed behind an unchanged handle (which no real source does) stay
    // unseen: a repeat costs no copy, and only a new handle is copied in. (An
    // odd width makes the loop copy into its canvas; a frame as wide as the
    // canvas is encoded where it lies, which only a source that broke the
    // immutability of its frames could tell.)
    auto shared = std::make_shared<Frame>(*solid_frame(3, 2, kRed));
    LoopFixture fixture;
    fixture.source_script.first = shared;
    fixture.source_script.at_call = {{1, shared}, {3, solid_frame(3, 2, kBlue)}};
    fixture.max_frames = 4;
    fixture.clock.on_sleep = [&](nanoseconds) {
        std::memcpy(shared->pixels.data(), &kGreen, 4);  // mutation the loop must not see
    };
    ASSERT_TRUE(fixture.run());
    EXPECT_EQ(fixture.top_left_per_write(), (std::vector<std::uint32_t>{kRed, kRed, kRed, kBlue}));
}

TEST(FrameLoop, AnchorsPicturesTopLeftCroppingLargerAndBlackeningAroundSmaller) {
    LoopFixture fixture;
    fixture.source_script.first = coordinate_frame(5, 3, 1);  // canvas 4x2
    fixture.source_script.at_call = {
        {1, coordinate_frame(7, 6, 2)},  // larger: cropped
        {2, coordinate_frame(3, 1, 3)},  // smaller: on black
        {3, coordinate_frame(6, 1, 4)},  // wider but lower: still on black
        {4, coordinate_frame(4, 2, 5)},  // exactly the canvas: the black is gone
        {5, coordinate_frame(4, 3, 6)},  // as wide, taller: its top rows
        {6, coordinate_frame(3, 1, 7)},  // smaller again: on black once more
    };
    fixture.max_frames = 7;
    ASSERT_TRUE(fixture.run());
    ASSERT_EQ(fixture.log->writes.size(), 7U);

    const auto expect_canvas = [&](std::size_t write, auto expected_at) {
        const auto& pixels = fixture.log->writes[write].pixels;
        ASSERT_EQ(pixels.size(), 4U * 2 * 4) << "write " << write;
        for (std::uint32_t y = 0; y < 2; ++y) {
            for (std::uint32_t x = 0; x < 4; ++x) {
                EXPECT_EQ(pixel_at(pixels, 4, x, y), expected_at(x, y))
                    << "write " << write << " at " << x << "," << y;
            }
        }
    };
    expect_canvas(0, [](std::uint32_t x, std::uint32_t y) { return coordinate_word(x, y, 1); });
    expect_canvas(1, [](std::uint32_t x, std::uint32_t y) { return coordinate_word(x, y, 2); });
    expect_canvas(2, [](std::uint32_t x, std::uint32_t y) {
        return x < 3 && y < 1 ? coordinate_word(x, y, 3) : kBlack;
    });
    expect_canvas(3, [](std::uint32_t x, std::uint32_t y) {
        return y < 1 ? coordinate_word(x, y, 4) : kBlack;
    });
    expect_canvas(4, [](std::uint32_t x, std::uint32_t y) { return coordinate_word(x, y, 5); });
    expect_canvas(5, [](std::uint32_t x, std::uint32_t y) { return coordinate_word(x, y, 6); });
    expect_canvas(6, [](std::uint32_t x, std::uint32_t y) {
        return x < 3 && y < 1 ? coordinate_word(x, y, 7) : kBlack;
    });
}

TEST(FrameLoop, ChecksForAStopAfterEveryFrameAndOnlyBeforeSleeping) {
    struct Case {
        int stop_on_call;  // the stop check's answer turns true on this call (1-based)
        std::optional<std::uint64_t> max_frames;
        std::uint64_t frames;
        int checks;
    } cases[] = {
        {1, std::nullopt, 1, 1},  // a stop that came before the loop: one frame
        {4, std::nullopt, 4, 4},
        {4, 2, 2, 1},  // the frame limit is looked at first
    };
    for (const Case& c : cases) {
        LoopFixture fixture;
        fixture.source_script.first = solid_frame(2, 2, kRed);
        fixture.max_frames = c.max_frames;
        int checks = 0;
        fixture.stop_check = [&] { return ++checks >= c.stop_on_call; };
        auto outcome = fixture.run();
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->frames, c.frames) << "stop on call " << c.stop_on_call;
        EXPECT_EQ(checks, c.checks) << "stop on call " << c.stop_on_call;
        EXPECT_EQ(fixture.clock.offsets.size(), c.frames - 1);
    }
}

TEST(FrameLoop, EndsWithTheFramesSoFarWhenTheSourceEnds) {
    LoopFixture fixture;
    fixture.source_script.first = solid_frame(2, 2, kRed);
    fixture.source_script.end_at_call = 4;
    auto outcome = fixture.run();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->frames, 5U);
    EXPECT_DOUBLE_EQ(outcome->seconds, 5.0 / 30);
}

TEST(FrameLoop, AFailedWriteEndsTheLoopWithThatError) {
    LoopFixture fixture;
    fixture.source_script.first = solid_frame(2, 2, kRed);
    fixture.encoder_script.fail_write_at = 2;
    auto outcome = fixture.run();
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), CliError::failed("could not encode frame 2"));
    EXPECT_EQ(fixture.log->writes.size(), 2U);
}

TEST(FrameLoop, RefusesAFirstFrameBelowTwoPixels) {
    for (auto [w, h] : {std::pair{1U, 200U}, std::pair{200U, 1U}, std::pair{0U, 0U}}) {
        LoopFixture fixture;
        fixture.source_script.first = solid_frame(w, h, kRed);
        auto outcome = fixture.run();
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error().message, "a " + std::to_string(w) + "x" + std::to_string(h) +
                                               " picture is too small to record");
        EXPECT_TRUE(fixture.log->writes.empty());
    }
}

// The work of every tick (encoding, above all) is simulated by moving the fake
// clock's time on before the next tick's sleep, so how far a recording falls
// behind is exact and the same on every run.
TEST(FrameLoop, CountsTheTicksAfterTheFirstSecondThatCameLate) {
    using std::chrono::milliseconds;
    constexpr nanoseconds kPeriod(33'333'333);
    struct Case {
        const char* name;
        nanoseconds setup;                             // already spent when the loop starts
        std::function<nanoseconds(std::size_t)> cost;  // of tick k
        RecordLag lag;
        std::optional<std::string> warning;
    } cases[] = {
        {"every tick within its period", nanoseconds(0),
         [](std::size_t) { return milliseconds(20); },
         RecordLag{60, 0, nanoseconds(0), nanoseconds(0)}, std::nullopt},
        {"a slow start made up within the first second", milliseconds(700),
         [](std::size_t) { return milliseconds(10); },
         RecordLag{60, 0, milliseconds(1000) - 30 * kPeriod, nanoseconds(0)}, std::nullopt},
        {"every tick slower than its period: the video plays fast", nanoseconds(0),
         [](std::size_t) { return milliseconds(50); },
         RecordLag{60, 60, 89 * (milliseconds(50) - kPeriod), 89 * (milliseconds(50) - kPeriod)},
         "the recording fell behind: 60 of the 60 frames after its first second (100%) were "
         "taken late, by up to 1.5 s; its 3.0 s of video took 4.5 s to record, so it plays 1.49 "
         "times as fast as it happened"},
        {"one stall late on four ticks, then caught up", nanoseconds(0),
         [](std::size_t k) { return k == 40 ? milliseconds(190) : milliseconds(0); },
         RecordLag{60, 4, milliseconds(190) - kPeriod, nanoseconds(0)},
         "the recording fell behind: 4 of the 60 frames after its first second (7%) were taken "
         "late, by up to 0.2 s; its 3.0 s of video took 3.0 s to record"},
        {"one stall late on three ticks: 5% is not more than 5%", nanoseconds(0),
         [](std::size_t k) { return k == 40 ? milliseconds(150) : milliseconds(0); },
         RecordLag{60, 3, milliseconds(150) - kPeriod, nanoseconds(0)}, std::nullopt},
    };
    for (const Case& c : cases) {
        LoopFixture fixture;
        fixture.source_script.first = solid_frame(2, 2, kRed);
        fixture.encoder_script.keep_pixels = false;
        fixture.max_frames = 90;
        fixture.clock.now = c.setup;
        fixture.clock.on_sleep = [&](nanoseconds) {
            fixture.clock.now += c.cost(fixture.clock.offsets.size() - 1);
        };
        auto outcome = fixture.run();
        ASSERT_TRUE(outcome) << outcome.error().message;
        EXPECT_EQ(outcome->frames, 90U) << c.name;
        EXPECT_EQ(outcome->seconds, 3.0) << c.name;
        EXPECT_EQ(outcome->lag, c.lag) << c.name;
        EXPECT_EQ(lag_warning(outcome->lag, outcome->frames, 30), c.warning) << c.name;
    }
    // Under a second there is nothing to judge, however late.
    EXPECT_EQ(lag_warning(RecordLag{}, 29, 30), std::nullopt);
}

using FrameLoopDeathTest = ::testing::Test;

TEST(FrameLoopDeathTest, AShortFrameBufferAbortsBeforeAnythingIsCopied) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto broken = std::make_shared<Frame>(*solid_frame(4, 4, kRed));
    broken->pixels.resize(4 * 4 * 4 - 1);
    const auto run_with_broken_frame = [&broken] {
        LoopFixture fixture;
        fixture.source_script.first = solid_frame(4, 4, kRed);
        fixture.source_script.at_call = {{1, broken}};
        fixture.max_frames = 3;
        (void)fixture.run();
    };
    EXPECT_DEATH(run_with_broken_frame(), "a frame's buffer always matches its size");
    EXPECT_DEATH((void)to_rgba(*broken), "a frame's buffer always matches its size");
}

TEST(ToRgba, SwapsBlueAndRedAndMakesEveryPixelOpaque) {
    Frame frame;
    frame.width = 2;
    frame.height = 1;
    frame.pixels = {1, 2, 3, 0, 10, 20, 30, 128, 99};  // one byte beyond the size is ignored
    const RgbaImage image = to_rgba(frame);
    EXPECT_EQ(image.width, 2U);
    EXPECT_EQ(image.height, 1U);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{3, 2, 1, 255, 30, 20, 10, 255}));
}

}  // namespace
}  // namespace vantle
