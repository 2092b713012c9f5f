#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fakes/timed.h"
#include "record/capture_arrival.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;

// Long enough never to run out on a loaded machine; the waits below end early,
// and wait_at_once holds them to that.
constexpr milliseconds kGenerous{60'000};

FrameHandle wait_at_once(CaptureSourceState& state) {
    const auto [frame, took] = testing::timed([&] { return state.wait_first_frame(kGenerous); });
    EXPECT_LT(took, testing::kAtOnce) << "the first-frame wait ran on instead of returning";
    return frame;
}

// The byte a texture holds at (x, y), channel c: distinct enough that a copy
// from the wrong origin or pitch shows.
std::uint8_t texel(std::uint32_t x, std::uint32_t y, std::uint32_t c) {
    return static_cast<std::uint8_t>(x * 7 + y * 13 + c * 61);
}

TEST(CaptureArrivalRules, CopiedRectangleIsTheContentOrTheCropCutAtTheTexture) {
    struct Case {
        const char* what;
        std::uint32_t texture_width, texture_height;
        std::int32_t content_width, content_height;
        std::optional<CropRect> crop;
        CropRect expected;
    } cases[] = {
        {"whole surface", 100, 80, 100, 80, std::nullopt, {0, 0, 100, 80}},
        {"content smaller than the pool buffer", 100, 80, 60, 50, std::nullopt, {0, 0, 60, 50}},
        {"content grown past the pool buffer", 100, 80, 120, 90, std::nullopt, {0, 0, 100, 80}},
        {"no content", 100, 80, 0, 0, std::nullopt, {0, 0, 0, 0}},
        {"negative content", 100, 80, -5, 40, std::nullopt, {0, 0, 0, 40}},
        {"crop inside", 1920, 1080, 1920, 1080, CropRect{100, 50, 640, 480}, {100, 50, 640, 480}},
        {"crop past the right and bottom",
         1920,
         1080,
         1920,
         1080,
         CropRect{1800, 1000, 300, 200},
         {1800, 1000, 120, 80}},
        {"crop wholly outside",
         1920,
         1080,
         1920,
         1080,
         CropRect{1920, 0, 10, 10},
         {1920, 0, 0, 10}},
        {"crop ignores the content size", 1920, 1080, 0, 0, CropRect{0, 0, 10, 10}, {0, 0, 10, 10}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(arrival_copy_rect(c.texture_width, c.texture_height, c.content_width,
                                    c.content_height, c.crop),
                  c.expected)
            << c.what;
    }
}

TEST(CaptureArrivalRules, PoolIsRecreatedOnlyForANewNonEmptyContentSize) {
    struct Case {
        SurfaceSize pool;
        std::int32_t width, height;
        std::optional<SurfaceSize> expected;
    } cases[] = {
        {{100, 80}, 100, 80, std::nullopt},
        {{100, 80}, 120, 80, SurfaceSize{120, 80}},
        {{100, 80}, 100, 60, SurfaceSize{100, 60}},
        {{100, 80}, 0, 0, std::nullopt},
        {{100, 80}, 1, 0, std::nullopt},
        {{100, 80}, -1, 80, std::nullopt},
        {{100, 80}, 1, 1, SurfaceSize{1, 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pool_size_to_recreate(c.pool, c.width, c.height), c.expected)
            << c.width << "x" << c.height;
    }
}

TEST(CaptureArrivalRules, MappedRowsWiderThanThePictureBecomeATightFrame) {
    constexpr std::uint32_t kWidth = 3;
    constexpr std::uint32_t kHeight = 2;
    constexpr std::size_t kPitch = kWidth * 4 + 20;  // drivers pad rows
    std::vector<std::uint8_t> mapped(kPitch * kHeight, 0xEE);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) {
                mapped[y * kPitch + x * 4 + c] = texel(x, y, c);
            }
        }
    }
    const FrameHandle frame = frame_from_mapped_rows(mapped.data(), kPitch, kWidth, kHeight);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, kWidth);
    EXPECT_EQ(frame->height, kHeight);
    ASSERT_EQ(frame->pixels.size(), std::size_t{kWidth} * kHeight * 4);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            for (std::uint32_t c = 0; c < 4; ++c) {
                EXPECT_EQ(frame->pixels[(y * kWidth + x) * 4 + c], texel(x, y, c))
                    << x << "," << y << "," << c;
            }
        }
    }
}

TEST(CaptureArrivalRules, RegionCropAndMonitorCentreAcrossNegativeCoordinates) {
    MonitorInfo left;
    left.x = -1920;
    left.y = -200;
    left.width = 1920;
    left.height = 1081;
    const Region region{-1000, -100, 300, 200};
    EXPECT_EQ(region_crop(region, left), (CropRect{920, 100, 300, 200}));
    EXPECT_EQ(monitor_centre(left), (DesktopPoint{-960, 340}));

    MonitorInfo primary;
    primary.width = 2561;
    primary.height = 1439;
    EXPECT_EQ(monitor_centre(primary), (DesktopPoint{1280, 719}));
}

// One scripted delivery over a texture whose texel at (x, y) is texel(x, y, c).
// It records the calls and, from another thread, whether the device lock was
// held while the copy and the recreation ran.
class FakeArrival final : public CaptureArrival {
  public:
    FakeArrival(CaptureSourceState& state, Sizes sizes) : state_(state), sizes_(sizes) {}

    std::vector<std::string> events;
    bool has_frame = true;
    bool take_fails = false;
    bool copy_fails = false;
    bool recreate_fails = false;
    bool device_locked_during_calls = true;

    Result<std::optional<Sizes>> take() override {
        events.push_back("take");
        if (take_fails) {
            return std::unexpected(Error("the pool had no frame (0x80004005)"));
        }
        if (!has_frame) {
            return std::optional<Sizes>{};
        }
        return std::optional<Sizes>{sizes_};
    }

    Result<FrameHandle> copy(const CropRect& rect) override {
        note_device_lock();
        events.push_back("copy " + std::to_string(rect.x) + "," + std::to_string(rect.y) + " " +
                         std::to_string(rect.width) + "x" + std::to_string(rect.height));
        if (copy_fails) {
            return std::unexpected(Error("the device was removed (0x887A0005)"));
        }
        const std::size_t pitch = std::size_t{rect.width} * 4 + 64;
        std::vector<std::uint8_t> mapped(pitch * rect.height, 0xEE);
        for (std::uint32_t y = 0; y < rect.height; ++y) {
            for (std::uint32_t x = 0; x < rect.width; ++x) {
                for (std::uint32_t c = 0; c < 4; ++c) {
                    mapped[y * pitch + x * 4 + c] =
                        texel(x + static_cast<std::uint32_t>(rect.x),
                              y + static_cast<std::uint32_t>(rect.y), c);
                }
            }
        }
        return frame_from_mapped_rows(mapped.data(), pitch, rect.width, rect.height);
    }

    void close() override { events.push_back("close"); }

    Status recreate_pool(SurfaceSize size) override {
        note_device_lock();
        events.push_back("recreate " + std::to_string(size.width) + "x" +
                         std::to_string(size.height));
        if (recreate_fails) {
            return std::unexpected(Error("the pool could not be recreated (0x80070057)"));
        }
        return {};
    }

  private:
    void note_device_lock() {
        std::mutex& device = state_.device_mutex();
        const bool free = std::async(std::launch::async, [&device] {
                              if (!device.try_lock()) {
                                  return false;
                              }
                              device.unlock();
                              return true;
                          }).get();
        device_locked_during_calls = device_locked_during_calls && !free;
    }

    CaptureSourceState& state_;
    Sizes sizes_;
};

class CaptureSourceStateTest : public ::testing::Test {
  protected:
    void SetUp() override { set_log_sink_for_testing(&log_); }
    void TearDown() override { set_log_sink_for_testing(nullptr); }

    StringWriter log_;
};

TEST_F(CaptureSourceStateTest, ASteadyArrivalCopiesClosesAndPublishesWithoutRecreating) {
    CaptureSourceState state({4, 3}, std::nullopt);
    FakeArrival arrival(state, {4, 3, 4, 3});
    state.on_frame_arrived(arrival);

    EXPECT_EQ(arrival.events, (std::vector<std::string>{"take", "copy 0,0 4x3", "close"}));
    EXPECT_TRUE(arrival.device_locked_during_calls);
    const FrameHandle frame = state.latest_frame();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 4u);
    EXPECT_EQ(frame->height, 3u);
    EXPECT_EQ(frame->pixels[(2 * 4 + 3) * 4 + 1], texel(3, 2, 1));
    EXPECT_EQ(wait_at_once(state), frame);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(CaptureSourceStateTest, AResizeCutsOneFrameToTheOldPoolAndRecreatesItOnce) {
    CaptureSourceState state({100, 80}, std::nullopt);
    FakeArrival grown(state, {120, 90, 100, 80});
    state.on_frame_arrived(grown);
    EXPECT_EQ(grown.events,
              (std::vector<std::string>{"take", "copy 0,0 100x80", "close", "recreate 120x90"}));
    EXPECT_TRUE(grown.device_locked_during_calls);
    EXPECT_EQ(state.pool_size(), (SurfaceSize{120, 90}));
    EXPECT_EQ(state.latest_frame()->width, 100u);

    FakeArrival after(state, {120, 90, 120, 90});
    state.on_frame_arrived(after);
    EXPECT_EQ(after.events, (std::vector<std::string>{"take", "copy 0,0 120x90", "close"}));
    EXPECT_EQ(state.latest_frame()->width, 120u);
    EXPECT_EQ(state.latest_frame()->height, 90u);
}

TEST_F(CaptureSourceStateTest, AnEmptyArrivalPublishesNothingAndKeepsThePool) {
    CaptureSourceState state({100, 80}, std::nullopt);
    FakeArrival first(state, {100, 80, 100, 80});
    state.on_frame_arrived(first);
    const FrameHandle before = state.latest_frame();

    FakeArrival empty(state, {0, 0, 100, 80});
    state.on_frame_arrived(empty);
    EXPECT_EQ(empty.events, (std::vector<std::string>{"take", "close"}));
    EXPECT_EQ(state.latest_frame(), before);
    EXPECT_EQ(state.pool_size(), (SurfaceSize{100, 80}));

    FakeArrival none(state, {100, 80, 100, 80});
    none.has_frame = false;
    state.on_frame_arrived(none);
    EXPECT_EQ(none.events, (std::vector<std::string>{"take"}));
    EXPECT_EQ(log_.text(), "");
}

TEST_F(CaptureSourceStateTest, ACropCopiesOnlyItsPartAndOneOutsideGivesNoFrame) {
    CaptureSourceState cropped({1920, 1080}, CropRect{1900, 10, 40, 5});
    FakeArrival arrival(cropped, {1920, 1080, 1920, 1080});
    cropped.on_frame_arrived(arrival);
    EXPECT_EQ(arrival.events, (std::vector<std::string>{"take", "copy 1900,10 20x5", "close"}));
    const FrameHandle frame = cropped.latest_frame();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 20u);
    EXPECT_EQ(frame->pixels[0], texel(1900, 10, 0));

    CaptureSourceState outside({1920, 1080}, CropRect{0, 1080, 40, 5});
    FakeArrival missed(outside, {1920, 1080, 1920, 1080});
    outside.on_frame_arrived(missed);
    EXPECT_EQ(missed.events, (std::vector<std::string>{"take", "close"}));
    EXPECT_EQ(outside.wait_first_frame(milliseconds(20)), nullptr);
}

TEST_F(CaptureSourceStateTest, AFailedStepIsLoggedAndTheNextArrivalStillWorks) {
    CaptureSourceState state({10, 10}, std::nullopt);

    FakeArrival broken_copy(state, {10, 10, 10, 10});
    broken_copy.copy_fails = true;
    state.on_frame_arrived(broken_copy);
    EXPECT_EQ(broken_copy.events, (std::vector<std::string>{"take", "copy 0,0 10x10", "close"}));
    EXPECT_EQ(state.latest_frame(), nullptr);

    FakeArrival broken_take(state, {10, 10, 10, 10});
    broken_take.take_fails = true;
    state.on_frame_arrived(broken_take);
    EXPECT_EQ(broken_take.events, (std::vector<std::string>{"take"}));

    FakeArrival broken_recreate(state, {12, 10, 10, 10});
    broken_recreate.recreate_fails = true;
    state.on_frame_arrived(broken_recreate);
    EXPECT_EQ(state.pool_size(), (SurfaceSize{10, 10}));

    EXPECT_EQ(log_.text(),
              "vantle: WARN: a captured frame could not be read: the device was removed "
              "(0x887A0005)\n"
              "vantle: WARN: a captured frame could not be read: the pool had no frame "
              "(0x80004005)\n"
              "vantle: WARN: a captured frame could not be read: the pool could not be "
              "recreated (0x80070057)\n");

    FakeArrival healthy(state, {12, 10, 10, 10});
    state.on_frame_arrived(healthy);
    EXPECT_EQ(healthy.events,
              (std::vector<std::string>{"take", "copy 0,0 10x10", "close", "recreate 12x10"}));
    EXPECT_NE(state.latest_frame(), nullptr);
    EXPECT_EQ(state.pool_size(), (SurfaceSize{12, 10}));
}

TEST_F(CaptureSourceStateTest, TheFirstFrameWaitEndsWithAnArrivalOrWhenTheItemCloses) {
    CaptureSourceState state({8, 8}, std::nullopt);
    std::thread service([&state] {
        std::this_thread::sleep_for(milliseconds(20));
        FakeArrival arrival(state, {8, 8, 8, 8});
        state.on_frame_arrived(arrival);
    });
    const FrameHandle first = wait_at_once(state);
    service.join();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->width, 8u);
    state.on_closed();
    EXPECT_TRUE(state.has_ended());
    EXPECT_EQ(wait_at_once(state), first);  // the last picture stays readable

    CaptureSourceState closing({8, 8}, std::nullopt);
    std::thread closer([&closing] {
        std::this_thread::sleep_for(milliseconds(20));
        closing.on_closed();
    });
    EXPECT_EQ(wait_at_once(closing), nullptr);
    closer.join();
}

}  // namespace
}  // namespace vantle
