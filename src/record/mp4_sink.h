#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "record/frame.h"
#include "support/error.h"

// The H.264 MP4 writer built on a sink-writer style media framework (Media
// Foundation on Windows), with the framework behind a small port so that the
// opening order, the attribute values, the sample times and the messages are
// the same code on every system and can be driven by a fake.
namespace vantle {

// The attributes the writer sets, named by meaning; the Windows adapter maps
// each to the framework's GUID.
enum class SinkAttribute {
    kEnableHardwareTransforms,
    kContainerType,
    kMajorType,
    kSubtype,
    kAverageBitrate,
    kInterlaceMode,
    kFrameSize,
    kFrameRate,
    kPixelAspectRatio,
    kDefaultStride,
};

// The GUID-valued attribute values the writer uses.
enum class SinkGuid {
    kMpeg4Container,
    kVideo,
    kH264,
    kRgb32,
};

using SinkValue = std::variant<std::uint32_t, std::uint64_t, SinkGuid>;

struct SinkSetting {
    SinkAttribute attribute;
    SinkValue value;
    friend bool operator==(const SinkSetting&, const SinkSetting&) = default;
};

// What one attempt asks of the framework, each list in the order it is set.
struct SinkWriterPlan {
    bool hardware = false;
    std::vector<SinkSetting> writer;  // the sink writer's attribute store
    std::vector<SinkSetting> output;  // the H.264 stream in the file
    std::vector<SinkSetting> input;   // the BGRA canvases handed to write_frame
};

// Two 32-bit halves packed as the framework's UINT64 size and ratio values.
[[nodiscard]] constexpr std::uint64_t pack_halves(std::uint32_t upper, std::uint32_t lower) {
    return (std::uint64_t{upper} << 32) | lower;
}

// The plan for one attempt at width x height and fps frames per second.
[[nodiscard]] SinkWriterPlan sink_writer_plan(std::uint32_t width, std::uint32_t height,
                                              std::uint32_t fps, bool hardware);

// One open sink writer with its one video stream.
class SinkWriter {
  public:
    virtual ~SinkWriter() = default;
    // Copies `length` bytes into a new sample at `time` lasting `duration`
    // (both in 100-nanosecond units) and hands it to the writer.
    [[nodiscard]] virtual Status write_sample(const std::uint8_t* pixels, std::size_t length,
                                              std::uint64_t time, std::uint64_t duration) = 0;
    // Completes the file. Called at most once.
    [[nodiscard]] virtual Status finalize() = 0;
};

// The framework as the writer uses it. Destroying a SinkWriter without
// finalize releases it and leaves an incomplete file.
class SinkFramework {
  public:
    virtual ~SinkFramework() = default;
    // Starts the framework; each success is balanced by one shutdown().
    [[nodiscard]] virtual Status startup() = 0;
    virtual void shutdown() = 0;
    // Creates the writer for `path` and applies `plan` in its order. Fails with
    // the failing call's system error.
    [[nodiscard]] virtual Result<std::unique_ptr<SinkWriter>> create_writer(
        const std::filesystem::path& path, const SinkWriterPlan& plan) = 0;
    // Deletes what a failed attempt left at `path`; a missing file is fine.
    virtual void remove_file(const std::filesystem::path& path) = 0;
    // An information-level line for the encoder's log target.
    virtual void log_info(std::string_view line) = 0;
};

// Opens the file: the size check, startup ("Media Foundation would not start
// (a Windows N edition needs the Media Feature Pack)" over its cause), the
// hardware attempt, and after its refusal a logged line, the file's removal
// and the software attempt. When both refuse the framework is shut down, what
// the software attempt left is removed and the error is "the H.264 encoder
// refused <w>x<h> at <fps> fps" over the software attempt's error. The encoder
// keeps `framework` alive and shuts it down when destroyed.
[[nodiscard]] Result<std::unique_ptr<VideoEncoder>> open_sink_encoder(
    std::shared_ptr<SinkFramework> framework, const std::filesystem::path& path,
    std::uint32_t width, std::uint32_t height, std::uint32_t fps);

}  // namespace vantle
