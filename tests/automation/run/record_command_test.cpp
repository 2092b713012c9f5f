#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <regex>

#include "automation/run/record_command.h"
#include "automation/run/record_stop_command.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_recording.h"
#include "record/process_id.h"
#include "support/json_line.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;
using testing::FakePlatform;
using testing::RecordingEncoder;
using testing::RecordingLog;
using testing::ScriptedFrameSource;
using testing::solid_frame;

// A writer that tells a waiting test what was written so far.
class WatchedWriter final : public Writer {
  public:
    bool write(std::string_view text) override {
        {
            const std::lock_guard lock(mutex_);
            text_ += text;
        }
        changed_.notify_all();
        return true;
    }
    bool flush() override { return true; }
    [[nodiscard]] std::string text() const {
        const std::lock_guard lock(mutex_);
        return text_;
    }
    // Waits until the text matches `pattern`; returns the first capture group.
    std::string wait_for(const std::regex& pattern) {
        std::unique_lock lock(mutex_);
        std::smatch match;
        changed_.wait(lock, [&] { return std::regex_search(text_, match, pattern); });
        return match[1];
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
};

struct CommandFixture {
    std::shared_ptr<FakePlatform> platform = testing::make_standard_desktop();
    std::shared_ptr<RecordingLog> log = std::make_shared<RecordingLog>();
    ScriptedFrameSource::Script source_script;
    RecordingEncoder::Script encoder_script;
    Record request;
    fs::path dir;
    WatchedWriter out;
    WatchedWriter err;

    CommandFixture() {
        dir = fs::temp_directory_path() /
              ("vantle-record-cmd-" + std::to_string(current_process_id()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        source_script.first = solid_frame(64, 48, 0xFF336699);
        encoder_script.keep_pixels = false;
        request.out = (dir / "clip.mp4").string();
        request.target = WindowTarget{"Untitled - Notepad", std::nullopt};
        request.fps = 10;
        request.max_seconds = 0.2;
        testing::script_recordings(*platform, source_script, encoder_script, log, true);
    }
    ~CommandFixture() { fs::remove_all(dir); }

    std::uint32_t run(bool json) {
        request.json = json;
        return run_record_command(request, platform, out, err);
    }
};

const std::regex kId("recording started, id ([0-9]+-[0-9]+);");

TEST(RecordCommand, WithJsonPrintsTheStartedEventThenTheResult) {
    CommandFixture fixture;
    ASSERT_EQ(fixture.run(true), 0U) << fixture.err.text();
    const std::string id = fixture.err.wait_for(kId);
    EXPECT_EQ(fixture.err.text(), "vantle: recording started, id " + id +
                                      "; stop it with `vantle-cli record --stop " + id +
                                      "` or Ctrl+C\n");
    // As the JSON string holds it (a Windows path's backslashes are escaped).
    const std::string quoted = json_text((fixture.dir / "clip.mp4").string());
    const std::string path = quoted.substr(1, quoted.size() - 2);
    EXPECT_EQ(fixture.out.text(),
              "{\"event\":\"started\",\"id\":\"" + id + "\"}\n" +
                  "{\"frames\":2,\"height\":48,\"id\":\"" + id + "\",\"monitor\":0,\"path\":\"" +
                  path +
                  "\",\"seconds\":0.2,\"target\":{\"kind\":\"window\",\"pid\":4242,\"process\":"
                  "\"notepad.exe\",\"title\":\"Untitled - Notepad\"},\"width\":64}\n");
}

TEST(RecordCommand, WithoutJsonPrintsThePath) {
    CommandFixture fixture;
    ASSERT_EQ(fixture.run(false), 0U);
    EXPECT_EQ(fixture.out.text(), (fixture.dir / "clip.mp4").string() + "\n");
}

TEST(RecordCommand, AFailureAfterTheStartKeepsOnlyTheStartedEventOnStandardOutput) {
    CommandFixture fixture;
    fixture.encoder_script.fail_write_at = 1;
    EXPECT_EQ(fixture.run(true), 1U);
    const std::string id = fixture.err.wait_for(kId);
    EXPECT_EQ(fixture.out.text(), "{\"event\":\"started\",\"id\":\"" + id + "\"}\n");
    EXPECT_TRUE(fixture.err.text().ends_with("\nvantle: could not encode frame 1\n"))
        << fixture.err.text();
    EXPECT_FALSE(fs::exists(fixture.dir / "clip.mp4.vantle-tmp"));
}

TEST(RecordCommand, AFailureBeforeTheStartPrintsOnlyTheMessage) {
    CommandFixture fixture;
    fixture.request.target = WindowTarget{"Nothing", std::nullopt};
    EXPECT_EQ(fixture.run(true), 2U);
    EXPECT_EQ(fixture.out.text(), "");
    EXPECT_EQ(fixture.err.text(),
              "vantle: no window is titled \"Nothing\"; `vantle windows` lists them\n");
}

TEST(RecordCommand, AStopReturnsOnlyAfterTheResultIsPrinted) {
    CommandFixture fixture;
    fixture.request.max_seconds.reset();  // runs until stopped
    auto recording = std::async(std::launch::async, [&] { return fixture.run(true); });
    const std::string id = fixture.err.wait_for(kId);

    WatchedWriter stop_out;
    WatchedWriter stop_err;
    EXPECT_EQ(run_record_stop_command(RecordStop{id, true}, stop_out, stop_err), 0U)
        << stop_err.text();
    // The recorder's result line is out before the stopper hears that it is done.
    const std::string printed = fixture.out.text();
    EXPECT_NE(printed.find("\"frames\":"), std::string::npos) << printed;
    EXPECT_EQ(stop_out.text(), "{\"id\":\"" + id + "\",\"stopped\":true}\n");
    EXPECT_EQ(recording.get(), 0U);
    EXPECT_TRUE(fs::exists(fixture.dir / "clip.mp4"));
}

TEST(RecordStopCommand, AnUnknownRecordingIsRefusedWithoutOutput) {
    WatchedWriter out;
    WatchedWriter err;
    EXPECT_EQ(run_record_stop_command(RecordStop{"1234-1", true}, out, err), 2U);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "vantle: no recording 1234-1 is running\n");
}

}  // namespace
}  // namespace vantle
