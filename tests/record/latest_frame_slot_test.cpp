#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_recording.h"
#include "record/latest_frame_slot.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;
using testing::solid_frame;

// Long enough never to run out on a loaded machine; the waits below end early.
constexpr milliseconds kGenerous{60'000};

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
    EXPECT_EQ(ended.wait_first_frame(kGenerous), nullptr);  // returns at once

    LatestFrameSlot ready;
    const FrameHandle frame = solid_frame(2, 2, 1);
    ready.publish(frame);
    ready.end();  // a picture that came before the end is still handed out
    EXPECT_EQ(ready.wait_first_frame(kGenerous), frame);
    EXPECT_EQ(ready.latest(), frame);
}

TEST(LatestFrameSlot, FirstFrameWaitWakesOnAnotherThreadsPublishOrEnd) {
    LatestFrameSlot published;
    const FrameHandle frame = solid_frame(2, 2, 1);
    std::thread publisher([&] {
        std::this_thread::sleep_for(milliseconds(20));
        published.publish(frame);
    });
    EXPECT_EQ(published.wait_first_frame(kGenerous), frame);
    publisher.join();

    LatestFrameSlot closed;
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        closed.end();
    });
    EXPECT_EQ(closed.wait_first_frame(kGenerous), nullptr);
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
    slot.wait_taken(std::chrono::steady_clock::now() + kGenerous);
    EXPECT_TRUE(slot.demand().taken);
    taker.join();
}

}  // namespace
}  // namespace vantle
