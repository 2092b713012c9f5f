#include "fakes/fake_recording.h"

#include <thread>

#include "fakes/fake_platform.h"

#include <cstring>
#include <fstream>

namespace vantle::testing {

FrameHandle solid_frame(std::uint32_t width, std::uint32_t height, std::uint32_t bgra_word) {
    auto frame = std::make_shared<Frame>();
    frame->width = width;
    frame->height = height;
    frame->pixels.resize(std::size_t{width} * height * 4);
    for (std::size_t i = 0; i < frame->pixels.size(); i += 4) {
        std::memcpy(&frame->pixels[i], &bgra_word, 4);
    }
    return frame;
}

void RecordingLog::add(std::string event) {
    const std::lock_guard lock(mutex);
    events.push_back(std::move(event));
}

std::vector<std::string> RecordingLog::snapshot_events() const {
    const std::lock_guard lock(mutex);
    return events;
}

ScriptedFrameSource::ScriptedFrameSource(Script script, std::shared_ptr<RecordingLog> log)
    : script_(std::move(script)), log_(std::move(log)) {
    slot_.publish(script_.first);
}

ScriptedFrameSource::~ScriptedFrameSource() {
    log_->add("source destroyed");
}

FrameHandle ScriptedFrameSource::latest_frame() {
    const std::uint64_t call = calls_++;
    if (auto it = script_.at_call.find(call); it != script_.at_call.end()) {
        slot_.publish(it->second);
    }
    if (script_.end_at_call && call >= *script_.end_at_call) {
        slot_.end();
    }
    return slot_.latest();
}

bool ScriptedFrameSource::has_ended() {
    return slot_.has_ended();
}

FrameHandle ScriptedFrameSource::wait_first_frame(std::chrono::milliseconds /*timeout*/) {
    log_->add("wait_first_frame");
    return slot_.latest();
}

RecordingEncoder::RecordingEncoder(Script script, std::shared_ptr<RecordingLog> log)
    : script_(std::move(script)), log_(std::move(log)) {
    if (script_.file) {
        std::ofstream(*script_.file, std::ios::binary | std::ios::trunc) << "fake-mp4\n";
    }
}

RecordingEncoder::~RecordingEncoder() {
    log_->add("encoder destroyed");
}

CliStatus RecordingEncoder::write_frame(const std::uint8_t* pixels, std::size_t length,
                                        std::uint64_t index) {
    if (finished_) {
        return std::unexpected(CliError::failed("write after finish"));
    }
    if (script_.write_time.count() > 0) {
        std::this_thread::sleep_for(script_.write_time);
    }
    if (script_.fail_write_at && index == *script_.fail_write_at) {
        log_->add("write failed " + std::to_string(index));
        return std::unexpected(CliError::failed("could not encode frame " + std::to_string(index)));
    }
    {
        const std::lock_guard lock(log_->mutex);
        RecordingLog::Write write;
        write.index = index;
        if (script_.keep_pixels) {
            write.pixels.assign(pixels, pixels + length);
        }
        log_->writes.push_back(std::move(write));
    }
    if (script_.file) {
        std::ofstream(*script_.file, std::ios::binary | std::ios::app) << 'f';
    }
    return {};
}

CliStatus RecordingEncoder::finish() {
    log_->add("finish");
    finished_ = true;
    if (script_.finish_error) {
        return std::unexpected(*script_.finish_error);
    }
    if (script_.file) {
        std::ofstream(*script_.file, std::ios::binary | std::ios::app) << "\nfinished\n";
    }
    return {};
}

void script_recordings(FakePlatform& platform, const ScriptedFrameSource::Script& source,
                       const RecordingEncoder::Script& encoder,
                       const std::shared_ptr<RecordingLog>& log, bool write_files) {
    platform.make_source = [&source, log](const RecordTarget&, bool) {
        return CliResult<std::unique_ptr<FrameSource>>(
            std::make_unique<ScriptedFrameSource>(source, log));
    };
    platform.make_encoder = [&encoder, log, write_files](const std::filesystem::path& path,
                                                         std::uint32_t, std::uint32_t,
                                                         std::uint32_t) {
        RecordingEncoder::Script script = encoder;
        if (write_files) {
            script.file = path;
        }
        return CliResult<std::unique_ptr<VideoEncoder>>(
            std::make_unique<RecordingEncoder>(script, log));
    };
}

}  // namespace vantle::testing
