#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/records.h"
#include "support/cli_error.h"

namespace vantle {

// One captured picture: blue, green, red, alpha per pixel, top row first, rows
// without gaps. Immutable once published; shared by handle, and two handles
// denote the same picture exactly when they point to the same object.
struct Frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;  // at least width * height * 4 bytes
};

using FrameHandle = std::shared_ptr<const Frame>;

// The picture as RGBA with every alpha set to 255 (captured alpha means nothing
// outside the compositor). A frame whose buffer is shorter than its size is an
// internal fault and aborts the program.
[[nodiscard]] RgbaImage to_rgba(const Frame& frame);

// Aborts the program when `frame` breaks the buffer-size invariant; every copy
// out of a frame runs this first.
void check_frame_buffer(const Frame& frame);

// A live capture made by Platform::start_recording_source. Destroying it stops
// the capture. All members are safe to call while the capture publishes frames.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    // The most recently delivered picture, or null when nothing has arrived yet.
    // Never waits; repeated calls return the same handle until a new one arrives.
    [[nodiscard]] virtual FrameHandle latest_frame() = 0;
    // True once the captured item has gone (a window closed); never reverts.
    [[nodiscard]] virtual bool has_ended() = 0;
    // Blocks until a frame is present (returned), the source has ended (null) or
    // `timeout` has passed (null).
    [[nodiscard]] virtual FrameHandle wait_first_frame(std::chrono::milliseconds timeout) = 0;
};

// An open H.264 MP4 file made by Platform::open_encoder at a fixed even size.
// Destroying an unfinished encoder leaves the file incomplete.
class VideoEncoder {
  public:
    virtual ~VideoEncoder() = default;
    // Appends one picture of the encoder's size (BGRA, `length` bytes, stride
    // width * 4) as frame number `index`, counted from 0.
    [[nodiscard]] virtual CliStatus write_frame(const std::uint8_t* pixels, std::size_t length,
                                                std::uint64_t index) = 0;
    // Completes the file; later writes fail.
    [[nodiscard]] virtual CliStatus finish() = 0;
};

}  // namespace vantle
