#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "record/process_id.h"
#include "record/recording_id.h"

namespace vantle {
namespace {

TEST(RecordingId, CountsUpFromOneUnderThisProcessId) {
    // The counter is process-wide and other cases draw ids too, so the first
    // draws are made in a fresh process (re-executed for the "threadsafe" style).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string pid = std::to_string(current_process_id());
            const bool counts =
                new_recording_id() == pid + "-1" && new_recording_id() == pid + "-2";
            std::exit(counts ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RecordingId, ConcurrentDrawsNeverRepeat) {
    std::set<std::string> ids;
    std::mutex mutex;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                std::string id = new_recording_id();
                const std::lock_guard lock(mutex);
                ids.insert(std::move(id));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ids.size(), 2000U);
    for (const auto& id : ids) {
        EXPECT_TRUE(is_recording_id(id)) << id;
    }
}

TEST(RecordingId, RecognisesTwoDigitRunsJoinedByOneDash) {
    for (const char* good : {"12-34", "007-1", "1234-1", "0-0"}) {
        EXPECT_TRUE(is_recording_id(good)) << good;
    }
    for (const char* bad : {"12-34-5", "-34", "12-", "12", "12 -34", "a-1", "", "-", "1-2 ",
                            "\xEF\xBC\x91\xEF\xBC\x92-3", "+1-2"}) {
        EXPECT_FALSE(is_recording_id(bad)) << bad;
    }
}

}  // namespace
}  // namespace vantle
