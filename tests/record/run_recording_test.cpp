#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/fake_recording.h"
#include "record/recorder.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle {
namespace {

using testing::FakeFrameClock;
using testing::FakePlatform;
using testing::RecordingEncoder;
using testing::RecordingLog;
using testing::ScriptedFrameSource;
using testing::solid_frame;

struct RecordingFixture {
    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    std::shared_ptr<RecordingLog> log = std::make_shared<RecordingLog>();
    ScriptedFrameSource::Script source_script;
    RecordingEncoder::Script encoder_script;
    FakeFrameClock clock;
    RecordOptions options;
    std::vector<std::string> started;

    RecordingFixture() {
        source_script.first = solid_frame(101, 75, 0xFF123456);
        options.max_seconds = 0.1;  // three frames at 30 fps
        testing::script_recordings(*platform, source_script, encoder_script, log, false);
    }

    CliResult<RecordOutcome> run() {
        const RecordTarget target = RecordWindow{
            testing::make_window(7, "Untitled - Notepad", "notepad.exe", 4242, {0, 0, 101, 75}, 0)};
        return run_recording(
            *platform, target, options, "clip.mp4.vantle-tmp", "4242-1",
            [this](const RecordingId& id) {
                started.push_back(id);
                log->add("started");
            },
            [] { return false; }, clock);
    }
};

TEST(RunRecording, OpensAnEvenSizedEncoderAnnouncesAndFinishesAfterTheSourceIsGone) {
    RecordingFixture fixture;
    fixture.options.cursor = true;
    fixture.options.fps = 30;
    auto outcome = fixture.run();
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(*outcome, (RecordOutcome{3, 0.1, 100, 74}));
    EXPECT_EQ(fixture.started, std::vector<std::string>{"4242-1"});
    EXPECT_EQ(fixture.platform->calls(),
              (std::vector<std::string>{"start_recording_source window 7 cursor",
                                        "open_encoder 100x74 30"}));
    EXPECT_EQ(fixture.log->snapshot_events(),
              (std::vector<std::string>{"wait_first_frame", "started", "source destroyed", "finish",
                                        "encoder destroyed"}));
}

// The warning is the only sign of a recording that fell behind: its outcome,
// and so the result line, stays what the frames make it.
TEST(RunRecording, ARecordingThatFellBehindEndsWithOneWarningAndItsUsualOutcome) {
    StringWriter warnings;
    set_log_sink_for_testing(&warnings);
    for (const auto tick_cost : {std::chrono::milliseconds(20), std::chrono::milliseconds(50)}) {
        RecordingFixture fixture;
        fixture.options.max_seconds = 3.0;
        fixture.clock.on_sleep = [&](std::chrono::nanoseconds) { fixture.clock.now += tick_cost; };
        auto outcome = fixture.run();
        ASSERT_TRUE(outcome) << outcome.error().message;
        EXPECT_EQ(*outcome, (RecordOutcome{90, 3.0, 100, 74}));
    }
    set_log_sink_for_testing(nullptr);
    EXPECT_EQ(warnings.text(),
              "vantle: WARN: the recording fell behind: 60 of the 60 frames after its first second "
              "(100%) were taken late, by up to 1.5 s; its 3.0 s of video took 4.5 s to record, so "
              "it plays 1.49 times as fast as it happened\n");
}

TEST(RunRecording, FailuresBeforeTheStartLeaveNoAnnouncement) {
    struct Case {
        const char* name;
        std::function<void(RecordingFixture&)> arrange;
        CliError expected;
        std::vector<std::string> events;
    } cases[] = {
        {"source cannot start",
         [](RecordingFixture& f) { f.platform->source_error = CliError::refused("window went"); },
         CliError::refused("window went"),
         {}},
        {"no first frame",
         [](RecordingFixture& f) { f.source_script.first = nullptr; },
         CliError::failed("no frame arrived within 3 seconds; nothing was recorded"),
         {"wait_first_frame", "source destroyed"}},
        {"too narrow",
         [](RecordingFixture& f) { f.source_script.first = solid_frame(1, 200, 0); },
         CliError::failed("a 1x200 picture is too small to record"),
         {"wait_first_frame", "source destroyed"}},
        {"encoder cannot open",
         [](RecordingFixture& f) { f.platform->encoder_error = CliError::failed("no H.264"); },
         CliError::failed("no H.264"),
         {"wait_first_frame", "source destroyed"}},
    };
    for (const Case& c : cases) {
        RecordingFixture fixture;
        c.arrange(fixture);
        auto outcome = fixture.run();
        ASSERT_FALSE(outcome) << c.name;
        EXPECT_EQ(outcome.error(), c.expected) << c.name;
        EXPECT_TRUE(fixture.started.empty()) << c.name;
        EXPECT_EQ(fixture.log->snapshot_events(), c.events) << c.name;
    }
}

TEST(RunRecording, FinishesTheFileWhateverTheLoopReturnedAndReportsTheFirstError) {
    struct Case {
        std::optional<std::uint64_t> fail_write_at;
        std::optional<CliError> finish_error;
        CliError expected;
    } cases[] = {
        {1, std::nullopt, CliError::failed("could not encode frame 1")},
        {1, CliError::failed("could not finish"), CliError::failed("could not encode frame 1")},
        {std::nullopt, CliError::failed("could not finish"), CliError::failed("could not finish")},
    };
    for (const Case& c : cases) {
        RecordingFixture fixture;
        fixture.encoder_script.fail_write_at = c.fail_write_at;
        fixture.encoder_script.finish_error = c.finish_error;
        auto outcome = fixture.run();
        ASSERT_FALSE(outcome);
        EXPECT_EQ(outcome.error(), c.expected);
        const auto events = fixture.log->snapshot_events();
        EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
                  (std::vector<std::string>{"source destroyed", "finish", "encoder destroyed"}));
    }
}

}  // namespace
}  // namespace vantle
