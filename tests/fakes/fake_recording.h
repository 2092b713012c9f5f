#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "record/frame.h"
#include "record/frame_clock.h"
#include "record/latest_frame_slot.h"
#include "support/cli_error.h"

namespace vantle::testing {

// A BGRA frame of one colour (the 32-bit word 0xAARRGGBB in little-endian order).
[[nodiscard]] FrameHandle solid_frame(std::uint32_t width, std::uint32_t height,
                                      std::uint32_t bgra_word);

// The shared record of what the recording fakes saw, kept alive by the test
// after the recorder has destroyed the source and the encoder.
struct RecordingLog {
    struct Write {
        std::uint64_t index = 0;
        std::vector<std::uint8_t> pixels;
    };
    mutable std::mutex mutex;
    std::vector<std::string> events;  // "source destroyed", "finish", "encoder destroyed", ...
    std::vector<Write> writes;

    void add(std::string event);
    [[nodiscard]] std::vector<std::string> snapshot_events() const;
};

// A frame source driven by a script keyed by the number of `latest_frame` calls
// made so far (the frame loop calls it once per tick, so tick t sees the
// pictures scheduled for calls 0..t). `first` is what `wait_first_frame`
// finds; without it the wait reports nothing at once.
class ScriptedFrameSource final : public FrameSource {
  public:
    struct Script {
        FrameHandle first;
        std::map<std::uint64_t, FrameHandle> at_call;  // published before call k returns
        std::optional<std::uint64_t> end_at_call;      // has_ended() true from call k on
    };
    ScriptedFrameSource(Script script, std::shared_ptr<RecordingLog> log);
    ~ScriptedFrameSource() override;

    FrameHandle latest_frame() override;
    bool has_ended() override;
    FrameHandle wait_first_frame(std::chrono::milliseconds timeout) override;

  private:
    Script script_;
    std::shared_ptr<RecordingLog> log_;
    LatestFrameSlot slot_;
    std::uint64_t calls_ = 0;
};

// An encoder that keeps every written canvas in the log and can fail on cue.
// With `file` set it also writes a small stand-in file there: one byte per
// frame at open and write time, and a trailer line on finish.
class RecordingEncoder final : public VideoEncoder {
  public:
    struct Script {
        std::optional<std::uint64_t> fail_write_at;
        std::optional<CliError> finish_error;
        bool keep_pixels = true;
        std::optional<std::filesystem::path> file;
        std::chrono::milliseconds write_time{0};  // really spent in every write: a slow encoder
    };
    RecordingEncoder(Script script, std::shared_ptr<RecordingLog> log);
    ~RecordingEncoder() override;

    CliStatus write_frame(const std::uint8_t* pixels, std::size_t length,
                          std::uint64_t index) override;
    CliStatus finish() override;

  private:
    Script script_;
    std::shared_ptr<RecordingLog> log_;
    bool finished_ = false;
};

class FakePlatform;

// Makes `platform` hand out a ScriptedFrameSource and a RecordingEncoder for
// every recording, copied from the scripts as they are when the recording
// starts (so a test may change them until then; they must outlive the
// platform's use), both reporting into `log`. With `write_files`, each encoder
// also writes its stand-in file at the path the recording gives it.
void script_recordings(FakePlatform& platform, const ScriptedFrameSource::Script& source,
                       const RecordingEncoder::Script& encoder,
                       const std::shared_ptr<RecordingLog>& log, bool write_files);

// A clock on simulated time that never really sleeps: it records every offset
// asked for and runs an optional hook, through which a test lets time "pass"
// (publish a frame, set a stop flag, or advance `now` by what the tick's work
// took) at an exact tick. A sleep moves `now` up to the offset; a call that
// comes after it reports how late it came.
class FakeFrameClock final : public FrameClock {
  public:
    std::vector<std::chrono::nanoseconds> offsets;
    std::function<void(std::chrono::nanoseconds)> on_sleep;
    std::chrono::nanoseconds now{0};

    std::chrono::nanoseconds sleep_until(std::chrono::nanoseconds offset) override {
        offsets.push_back(offset);
        if (on_sleep) {
            on_sleep(offset);
        }
        if (now < offset) {
            now = offset;
            return std::chrono::nanoseconds::zero();
        }
        return now - offset;
    }
};

}  // namespace vantle::testing
