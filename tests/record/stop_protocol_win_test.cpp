#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "record/recording_id.h"
#include "record/stop_protocol.h"

namespace vantle {
namespace {

// Another process knows a recording only by its events' names, so they are
// opened here by name exactly as any other program would.
HANDLE open_named(const std::wstring& name, DWORD access) {
    return OpenEventW(access, FALSE, name.c_str());
}

std::wstring events_stem(const std::string& id) {
    return L"Local\\invalid.vantle.app.record." + std::wstring(id.begin(), id.end());
}

TEST(RecordingEventNames, AreTheLocalStopAndDoneEventsOfTheId) {
    const std::string id = new_recording_id();
    auto events = create_recording_events(id);
    ASSERT_TRUE(events) << events.error().message;

    HANDLE stop = open_named(events_stem(id) + L".stop", EVENT_MODIFY_STATE);
    HANDLE done = open_named(events_stem(id) + L".done", SYNCHRONIZE);
    ASSERT_NE(stop, nullptr);
    ASSERT_NE(done, nullptr);
    EXPECT_FALSE(events->stop_requested());
    ASSERT_TRUE(SetEvent(stop));
    EXPECT_TRUE(events->stop_requested());

    EXPECT_EQ(WaitForSingleObject(done, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    events->signal_done();
    // Manual reset: it stays signalled for every later waiter.
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    CloseHandle(stop);
    CloseHandle(done);
}

TEST(RecordingEventNames, VanishWhenTheRecordingEnds) {
    const std::string id = new_recording_id();
    {
        auto events = create_recording_events(id);
        ASSERT_TRUE(events) << events.error().message;
    }
    EXPECT_EQ(open_named(events_stem(id) + L".stop", SYNCHRONIZE), nullptr);
    EXPECT_EQ(open_named(events_stem(id) + L".done", SYNCHRONIZE), nullptr);
}

}  // namespace
}  // namespace vantle
