// vantle-record-fake: the real front door on the scripted standard desktop,
// whose recording source repeats one picture until stopped and whose encoder
// writes a small stand-in file. Lets tests drive `record` and `record --stop`
// across real processes without a display.
#include <chrono>
#include <cstdlib>

#include "automation/run/front_door.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_recording.h"
#include "support/process_arguments.h"

int main(int argc, char** argv) {
    using namespace vantle;
    // VANTLE_FAKE_NO_FRAME: the source never delivers a picture.
    const bool no_frame = std::getenv("VANTLE_FAKE_NO_FRAME") != nullptr;
    // VANTLE_FAKE_WRITE_MS: every frame's encoding takes this many milliseconds.
    const char* write_ms = std::getenv("VANTLE_FAKE_WRITE_MS");
    const std::chrono::milliseconds write_time(write_ms != nullptr ? std::atoi(write_ms) : 0);
    const auto factory = [no_frame, write_time]() -> PlatformPtr {
        auto platform = testing::make_standard_desktop();
        auto log = std::make_shared<testing::RecordingLog>();
        platform->make_source = [log, no_frame](const RecordTarget&, bool) {
            testing::ScriptedFrameSource::Script script;
            if (!no_frame) {
                script.first = testing::solid_frame(64, 48, 0xFF336699);
            }
            return CliResult<std::unique_ptr<FrameSource>>(
                std::make_unique<testing::ScriptedFrameSource>(script, log));
        };
        platform->make_encoder = [log, write_time](const std::filesystem::path& path, std::uint32_t,
                                                   std::uint32_t, std::uint32_t) {
            testing::RecordingEncoder::Script script;
            script.keep_pixels = false;
            script.write_time = write_time;
            script.file = path;
            return CliResult<std::unique_ptr<VideoEncoder>>(
                std::make_unique<testing::RecordingEncoder>(script, log));
        };
        return platform;
    };
    return static_cast<int>(run_front_door(process_arguments(argc, argv), true, factory));
}
