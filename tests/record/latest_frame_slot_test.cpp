#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_recording.h"
#include "fakes/timed.h"
#include "record/latest_frame_slot.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;
using testing::kAtOnce;
using testing::solid_frame;
using testing::timed;

// Long enough never to run out on a loaded machine; the waits below end early,
// and wait_at_once holds them to that.
constexpr milliseconds kGenerous{60'000};

FrameHandle wait_at_once(LatestFrameSlot& slot) {
    const auto [frame, took] = timed([&] { return slot.wait_first_frame(kGenerous); });
    EXPECT_LT(took, kAtOnce) << "the first-frame wait ran on instead of returning";
    return frame;
}

TEST(LatestFrameSlot, KeepsOnlyTheNewestPictureAndIgnoresNull) {
    LatestFrameSlot slot;
    EXPECT_EQ(slot.latest(), nullptr);
    const FrameHandle a = solid_frame(2, 2, 1);
    const FrameHandle b = solid_frame(2, 2, 2);
    slot.publish(a);
    slot.publish(b);
    EXPECT_EQ(slot.latest(), b);
    slot.publish(nullptr);
    EXPECT_EQ(slot.latest(), b);
    EXPECT_EQ(slot.latest(), slot.latest());
}

TEST(LatestFrameSlot, FirstFrameWaitReturnsWhatIsThereOrNullWhenEndedOrTimedOut) {
    LatestFrameSlot empty;
    EXPECT_EQ(empty.wait_first_frame(milliseconds(5)), nullptr);

    LatestFrameSlot ended;
    ended.end();
    EXPECT_TRUE(ended.has_ended());
    EXPECT_EQ(wait_at_once(ended), nullptr);

    LatestFrameSlot ready;
    const FrameHandle frame = solid_frame(2, 2, 1);
    ready.publish(frame);
    ready.end();  // a picture that came before the end is still handed out
    EXPECT_EQ(wait_at_once(ready), frame);
    EXPECT_EQ(ready.latest(), frame);
}

TEST(LatestFrameSlot, FirstFrameWaitWakesOnAnotherThreadsPublishOrEnd) {
    LatestFrameSlot published;
    const FrameHandle frame = solid_frame(2, 2, 1);
    std::thread publisher([&] {
        std::this_thread::sleep_for(milliseconds(20));
        published.publish(frame);
    });
    EXPECT_EQ(wait_at_once(published), frame);
    publisher.join();

    LatestFrameSlot closed;
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        closed.end();
    });
    EXPECT_EQ(wait_at_once(closed), nullptr);
    closer.join();
}

TEST(LatestFrameSlot, TellsWhetherTheNewestPictureWasTakenAndWhenItWasAskedFor) {
    LatestFrameSlot slot;
    EXPECT_TRUE(slot.demand().taken) << "with nothing to take there is nothing to wait for";
    EXPECT_EQ(slot.demand().last, std::chrono::steady_clock::time_point{});

    slot.publish(solid_frame(2, 2, 1));
    EXPECT_FALSE(slot.demand().taken);
    (void)slot.latest();
    const LatestFrameSlot::Demand first = slot.demand();
    EXPECT_TRUE(first.taken);
    EXPECT_NE(first.last, std::chrono::steady_clock::time_point{});
    (void)slot.latest();
    EXPECT_EQ(slot.demand().previous, first.last);
    EXPECT_GE(slot.demand().last, first.last);

    slot.publish(solid_frame(2, 2, 2));
    EXPECT_FALSE(slot.demand().taken);
    std::thread taker([&] {
        std::this_thread::sleep_for(milliseconds(20));
        (void)slot.latest();
    });
    const auto took = timed([&] {
                          slot.wait_taken(std::chrono::steady_clock::now() + kGenerous);
                          return true;
                      }).second;
    EXPECT_LT(took, kAtOnce) << "the wait for the taker ran on after the picture was taken";
    EXPECT_TRUE(slot.demand().taken);
    taker.join();
}

}  // namespace
}  // namespace vantle
