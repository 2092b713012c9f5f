#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "automation/run/record_operation.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_recording.h"
#include "record/process_id.h"
#include "support/files.h"
#include "support/json_line.h"
#include "support/paths.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;
using testing::FakeFrameClock;
using testing::FakePlatform;
using testing::RecordingEncoder;
using testing::RecordingLog;
using testing::ScriptedFrameSource;
using testing::solid_frame;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The standard desktop, a frame source that delivers a 801x600 picture and an
// encoder that writes a small stand-in file, in a scratch directory.
struct RecordFixture {
    std::shared_ptr<FakePlatform> platform = testing::make_standard_desktop();
    std::shared_ptr<RecordingLog> log = std::make_shared<RecordingLog>();
    ScriptedFrameSource::Script source_script;
    RecordingEncoder::Script encoder_script;
    FakeFrameClock clock;
    RecordRequest request;
    fs::path dir;
    // What the disk looked like when the recording was announced.
    bool destination_existed_at_start = false;
    bool temporary_existed_at_start = false;

    RecordFixture() {
        dir = fs::temp_directory_path() /
              ("vantle-record-op-" + std::to_string(current_process_id()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        source_script.first = solid_frame(801, 600, 0xFF336699);
        encoder_script.keep_pixels = false;
        request.out = dir / "clip.mp4";
        request.target = WindowTarget{"Untitled - Notepad", std::nullopt};
        request.max_seconds = 0.1;
        testing::script_recordings(*platform, source_script, encoder_script, log, true);
    }
    ~RecordFixture() { fs::remove_all(dir); }

    [[nodiscard]] fs::path destination() const { return dir / "clip.mp4"; }
    [[nodiscard]] fs::path temporary() const { return dir / "clip.mp4.vantle-tmp"; }

    CliResult<RecordResult> run() {
        return run_record(
            *platform, request, "4242-7",
            [this](const RecordingId&) {
                destination_existed_at_start = fs::exists(destination());
                temporary_existed_at_start = fs::exists(temporary());
            },
            [] { return false; }, clock);
    }
};

TEST(RunRecord, WritesTheTemporaryAndOnlyTheFinalMoveCreatesTheDestination) {
    RecordFixture fixture;
    auto result = fixture.run();
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_TRUE(fixture.temporary_existed_at_start);
    EXPECT_FALSE(fixture.destination_existed_at_start);
    EXPECT_FALSE(fs::exists(fixture.temporary()));
    EXPECT_EQ(read_file(fixture.destination()), "fake-mp4\nfff\nfinished\n");

    EXPECT_EQ(
        *result,
        (RecordResult{fixture.destination(), 800, 600,
                      TargetDescription{"window", "Untitled - Notepad", "notepad.exe", 4242, 0},
                      "4242-7", 0.1, 3}));
    EXPECT_EQ(fixture.platform->calls(),
              (std::vector<std::string>{"enumerate_windows", "start_recording_source window 7",
                                        "open_encoder 800x600 30"}));
}

TEST(RunRecord, AFailedRecordingLeavesAnExistingDestinationAndNoTemporary) {
    struct Case {
        const char* name;
        std::function<void(RecordFixture&)> arrange;
        std::string message;
    } cases[] = {
        {"write fails", [](RecordFixture& f) { f.encoder_script.fail_write_at = 1; },
         "could not encode frame 1"},
        {"finish fails",
         [](RecordFixture& f) { f.encoder_script.finish_error = CliError::failed("no moov"); },
         "no moov"},
        {"no first frame", [](RecordFixture& f) { f.source_script.first = nullptr; },
         "no frame arrived within 3 seconds; nothing was recorded"},
    };
    for (const Case& c : cases) {
        RecordFixture fixture;
        c.arrange(fixture);
        std::ofstream(fixture.destination()) << "old clip";
        auto result = fixture.run();
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), CliError::failed(c.message)) << c.name;
        EXPECT_EQ(read_file(fixture.destination()), "old clip") << c.name;
        EXPECT_FALSE(fs::exists(fixture.temporary())) << c.name;
    }
}

TEST(RunRecord, NothingIsLeftWhenNoFrameArrives) {
    RecordFixture fixture;
    fixture.source_script.first = nullptr;
    ASSERT_FALSE(fixture.run());
    EXPECT_FALSE(fs::exists(fixture.destination()));
    EXPECT_FALSE(fs::exists(fixture.temporary()));
}

TEST(RunRecord, AStaleTemporaryLinkIsNotWrittenThrough) {
    RecordFixture fixture;
    const fs::path victim = fixture.dir / "victim";
    std::ofstream(victim) << "precious";
    std::error_code link_error;
    fs::create_symlink(victim, fixture.temporary(), link_error);
    if (link_error) {
        GTEST_SKIP() << "this system lets no ordinary process make symbolic links";
    }
    ASSERT_TRUE(fixture.run());
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(read_file(fixture.destination()), "fake-mp4\nfff\nfinished\n");
}

TEST(RunRecord, ARestoredWindowIsMinimizedAgainOnSuccessAndOnFailure) {
    for (const bool fail : {false, true}) {
        RecordFixture fixture;
        fixture.request.target = WindowTarget{"Calculator", std::nullopt};
        fixture.request.restore = true;
        if (fail) {
            fixture.platform->source_error = CliError::failed("capture refused");
        }
        auto result = fixture.run();
        EXPECT_EQ(result.has_value(), !fail);
        const auto calls = fixture.platform->calls();
        ASSERT_GE(calls.size(), 3U);
        EXPECT_EQ(calls[1], "restore_window 8");
        EXPECT_EQ(calls.back(), "minimize_window 8") << "fail " << fail;
        EXPECT_FALSE(fs::exists(fixture.temporary()));
    }
}

TEST(RunRecord, FailuresBeforeTheRecordingTouchNothing) {
    struct Case {
        const char* name;
        std::function<void(RecordFixture&)> arrange;
        CliError expected;
    } cases[] = {
        {"region across two monitors",
         [](RecordFixture& f) {
             f.request.target = RegionTarget{{1900, 0, 40, 40}};
             f.request.allow_desktop = true;
         },
         CliError::refused("a recorded region has to lie on one monitor")},
        {"minimized without --restore",
         [](RecordFixture& f) {
             f.request.target = WindowTarget{"Calculator", std::nullopt};
         },
         {"\"Calculator\" is minimized; --restore shows it without taking focus, captures it and "
          "minimizes it again",
          ExitCode::kMinimized}},
        {"empty destination", [](RecordFixture& f) { f.request.out.clear(); },
         CliError::failed(": cannot make an empty path absolute")},
        {"restore fails",
         [](RecordFixture& f) {
             f.request.target = WindowTarget{"Calculator", std::nullopt};
             f.request.restore = true;
             f.platform->restore_error = CliError::failed("could not restore \"Calculator\"");
         },
         CliError::failed("could not restore \"Calculator\"")},
    };
    for (const Case& c : cases) {
        RecordFixture fixture;
        c.arrange(fixture);
        auto result = fixture.run();
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), c.expected) << c.name;
        for (const auto& call : fixture.platform->calls()) {
            EXPECT_NE(call.rfind("start_recording_source", 0), 0U) << c.name;
            EXPECT_NE(call.rfind("minimize_window", 0), 0U) << c.name;
        }
        EXPECT_TRUE(fs::is_empty(fixture.dir)) << c.name;
    }
}

TEST(RunRecord, ADestinationThatCannotBeWrittenFailsBeforeTheWindowIsRestored) {
    // The system's text differs between systems; what matters is the form,
    // the destination's name and that nothing was started.
    struct Case {
        const char* name;
        std::function<fs::path(RecordFixture&)> arrange;  // the destination
        const char* message;                              // before the system's text, if any
        bool held;
    } cases[] = {
        {"missing folder", [](RecordFixture& f) { return f.dir / "missing" / "clip.mp4"; },
         "could not write ", false},
        {"a file where the folder should be",
         [](RecordFixture& f) {
             std::ofstream(f.dir / "plain") << "not a folder\n";
             return f.dir / "plain" / "clip.mp4";
         },
         "could not write ", false},
        {"held by a running recording", [](RecordFixture& f) { return f.destination(); },
         "another recording is writing ", true},
    };
    for (const Case& c : cases) {
        RecordFixture fixture;
        fixture.request.target = WindowTarget{"Calculator", std::nullopt};
        fixture.request.restore = true;
        fixture.request.out = c.arrange(fixture);
        std::optional<DestinationClaim> held;
        if (c.held) {
            auto claim = claim_destination(fixture.request.out);
            ASSERT_TRUE(claim) << claim.error().message;
            held.emplace(std::move(*claim));
        }
        auto result = fixture.run();
        ASSERT_FALSE(result) << c.name;
        const std::string named = c.message + path_to_utf8(fixture.request.out);
        EXPECT_EQ(result.error().exit_code, ExitCode::kFailed) << c.name;
        if (c.held) {
            EXPECT_EQ(result.error().message, named) << c.name;
        } else {
            EXPECT_TRUE(result.error().message.starts_with(named + ": ")) << result.error().message;
        }
        for (const auto& call : fixture.platform->calls()) {
            EXPECT_NE(call.rfind("restore_window", 0), 0U) << c.name << ": " << call;
            EXPECT_NE(call.rfind("start_recording_source", 0), 0U) << c.name << ": " << call;
        }
    }
}

TEST(RecordResultJson, RoundsSecondsToThousandthsAndKeepsThemFloatingPoint) {
    RecordResult result{"/work/clip.mp4",
                        800,
                        600,
                        TargetDescription{"window", "Untitled - Notepad", "notepad.exe", 4242, 0},
                        "4242-1",
                        2.0,
                        60};
    EXPECT_EQ(json_line(record_result_json(result)),
              "{\"frames\":60,\"height\":600,\"id\":\"4242-1\",\"monitor\":0,\"path\":\"/work/"
              "clip.mp4\",\"seconds\":2.0,\"target\":{\"kind\":\"window\",\"pid\":4242,"
              "\"process\":\"notepad.exe\",\"title\":\"Untitled - Notepad\"},\"width\":800}\n");

    result.seconds = 1.0 / 7;
    result.frames = 1;
    result.target =
        TargetDescription{"region", std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    const std::string line = json_line(record_result_json(result));
    EXPECT_NE(line.find("\"seconds\":0.143,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"monitor\":null,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"target\":{\"kind\":\"region\",\"pid\":null,\"process\":null,"
                        "\"title\":null}"),
              std::string::npos)
        << line;

    EXPECT_EQ(json_line(started_event_json("4242-1")),
              "{\"event\":\"started\",\"id\":\"4242-1\"}\n");
}

}  // namespace
}  // namespace vantle
