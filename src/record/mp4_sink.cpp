#include "record/mp4_sink.h"

#include <array>
#include <optional>
#include <utility>

#include "record/encoder_rules.h"

namespace vantle {

namespace {

constexpr std::uint32_t kProgressive = 2;

class SinkEncoder final : public VideoEncoder {
  public:
    SinkEncoder(std::shared_ptr<SinkFramework> framework, std::unique_ptr<SinkWriter> writer,
                std::uint32_t width, std::uint32_t height, std::uint32_t fps)
        : framework_(std::move(framework)),
          writer_(std::move(writer)),
          frame_duration_(frame_duration_100ns(fps)),
          width_(width),
          height_(height) {}

    SinkEncoder(const SinkEncoder&) = delete;
    SinkEncoder& operator=(const SinkEncoder&) = delete;

    ~SinkEncoder() override {
        // An unfinished file stays incomplete: the writer goes without finalize.
        writer_.reset();
        framework_->shutdown();
    }

    CliStatus write_frame(const std::uint8_t* pixels, std::size_t length,
                          std::uint64_t index) override {
        if (Status checked = check_frame_write(writer_ != nullptr, length, width_, height_);
            !checked) {
            return std::unexpected(CliError::from(checked.error()));
        }
        Status written = writer_->write_sample(
            pixels, length, sample_time_100ns(index, frame_duration_), frame_duration_);
        if (!written) {
            return std::unexpected(CliError::from(written.error()));
        }
        return {};
    }

    CliStatus finish() override {
        if (finished_) {
            return {};
        }
        finished_ = true;
        std::unique_ptr<SinkWriter> writer = std::move(writer_);
        if (!writer) {
            return {};
        }
        Status finalized = writer->finalize();
        writer.reset();
        if (!finalized) {
            return std::unexpected(CliError::from(finalized.error()));
        }
        return {};
    }

  private:
    std::shared_ptr<SinkFramework> framework_;
    std::unique_ptr<SinkWriter> writer_;
    std::uint64_t frame_duration_;
    std::uint32_t width_;
    std::uint32_t height_;
    bool finished_ = false;
};

}  // namespace

SinkWriterPlan sink_writer_plan(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                bool hardware) {
    using A = SinkAttribute;
    const std::uint64_t size = pack_halves(width, height);
    const std::uint64_t rate = pack_halves(fps, 1);
    const std::uint64_t square = pack_halves(1, 1);
    SinkWriterPlan plan;
    plan.hardware = hardware;
    plan.writer = {
        {A::kEnableHardwareTransforms, std::uint32_t{hardware ? 1u : 0u}},
        {A::kContainerType, SinkGuid::kMpeg4Container},
    };
    plan.output = {
        {A::kMajorType, SinkGuid::kVideo},
        {A::kSubtype, SinkGuid::kH264},
        {A::kAverageBitrate, encoder_bitrate(width, height, fps)},
        {A::kInterlaceMode, kProgressive},
        {A::kFrameSize, size},
        {A::kFrameRate, rate},
        {A::kPixelAspectRatio, square},
    };
    // A positive stride says the first row in memory is the top row, which is
    // how the canvas is laid out; no flip is needed on the way in.
    plan.input = {
        {A::kMajorType, SinkGuid::kVideo},
        {A::kSubtype, SinkGuid::kRgb32},
        {A::kInterlaceMode, kProgressive},
        {A::kFrameSize, size},
        {A::kFrameRate, rate},
        {A::kPixelAspectRatio, square},
        {A::kDefaultStride, static_cast<std::uint32_t>(std::uint64_t{width} * 4)},
    };
    return plan;
}

Result<std::unique_ptr<VideoEncoder>> open_sink_encoder(std::shared_ptr<SinkFramework> framework,
                                                        const std::filesystem::path& path,
                                                        std::uint32_t width, std::uint32_t height,
                                                        std::uint32_t fps) {
    if (Status even = check_even_size(width, height); !even) {
        return std::unexpected(std::move(even.error()));
    }
    if (Status started = framework->startup(); !started) {
        return std::unexpected(std::move(started.error())
                                   .context("Media Foundation would not start (a Windows N "
                                            "edition needs the Media Feature Pack)"));
    }
    using Writer = std::unique_ptr<SinkWriter>;
    SinkFramework& api = *framework;
    const std::array attempts{
        EncoderAttempt<Writer>{
            true,
            [&] { return api.create_writer(path, sink_writer_plan(width, height, fps, true)); }},
        EncoderAttempt<Writer>{
            false,
            [&] { return api.create_writer(path, sink_writer_plan(width, height, fps, false)); }},
    };
    Result<Writer> writer = open_first_encoder<Writer>(
        attempts, width, height, fps, [&] { api.remove_file(path); },
        [&](const Error& refused) { api.log_info(hardware_fallback_message(refused.message())); });
    if (!writer) {
        // Neither attempt may leave a half-made file behind for the caller.
        api.remove_file(path);
        api.shutdown();
        return std::unexpected(std::move(writer.error()));
    }
    return std::make_unique<SinkEncoder>(std::move(framework), std::move(*writer), width, height,
                                         fps);
}

}  // namespace vantle
