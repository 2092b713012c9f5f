#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "platform/records.h"

namespace vantle {
namespace {

using testing::make_monitor;

TEST(MonitorOfRect, PicksTheLargestOverlapAndTheLaterOnOnATie) {
    const std::vector<MonitorInfo> monitors = {make_monitor(0, 0, 0, 1920, 1080),
                                               make_monitor(1, 1920, 0, 1920, 1080)};
    struct Case {
        Region rect;
        std::optional<std::uint64_t> expected;
    } cases[] = {
        {{100, 100, 10, 10}, 0},
        {{1900, 0, 40, 40}, 1},            // equal overlap: the later monitor wins
        {{1890, 0, 40, 40}, 0},            // more on the first
        {{1920, 0, 10, 10}, 1},            // touching the edge of the first does not count
        {{-50, 0, 50, 50}, std::nullopt},  // only touches the left edge
        {{0, 1080, 10, 10}, std::nullopt},
        {{-2147483647 - 1, -2147483647 - 1, 4294967295u, 4294967295u}, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(monitor_of_rect(c.rect, monitors), c.expected)
            << c.rect.x << "," << c.rect.y << "," << c.rect.width << "x" << c.rect.height;
    }
}

}  // namespace
}  // namespace vantle
