#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "capture/desktop_picture.h"
#include "platform/records.h"
#include "record/frame.h"
#include "record/latest_frame_slot.h"
#include "support/error.h"

// What a graphics-capture frame source does with each delivered surface, kept
// apart from the system's capture API so that it is shared and tested
// everywhere: which rectangle is copied, when the frame pool follows the
// content's size, how a mapped copy becomes a tight Frame, and the locks.
namespace vantle {

// A rectangle of the captured surface, relative to its top-left corner; a
// rectangle recording keeps only this part of its monitor.
using CropRect = CropExtent;

struct SurfaceSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const SurfaceSize&, const SurfaceSize&) = default;
};

// The part of a texture_width x texture_height surface that one arrival copies:
// the crop (or, without one, the content size the service reports, negative
// read as 0) cut at the texture's right and bottom edges. A zero width or
// height means there is nothing to copy.
[[nodiscard]] CropRect arrival_copy_rect(std::uint32_t texture_width, std::uint32_t texture_height,
                                         std::int32_t content_width, std::int32_t content_height,
                                         const std::optional<CropRect>& crop);

// The size the frame pool is to be recreated at, or none: a content size of at
// least 1 x 1 that differs from the pool's current size.
[[nodiscard]] std::optional<SurfaceSize> pool_size_to_recreate(SurfaceSize pool,
                                                               std::int32_t content_width,
                                                               std::int32_t content_height);

// A tight Frame (rows of width * 4 bytes) from mapped rows `row_pitch` bytes
// apart; row_pitch is at least width * 4.
[[nodiscard]] FrameHandle frame_from_mapped_rows(const std::uint8_t* data, std::size_t row_pitch,
                                                 std::uint32_t width, std::uint32_t height);

// The crop of a rectangle recording: the region relative to the monitor that
// contains it.
[[nodiscard]] CropRect region_crop(const Region& region, const MonitorInfo& monitor);

// The desktop point whose monitor a monitor recording captures: the centre of
// the monitor's rectangle, halves rounded down.
struct DesktopPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend bool operator==(const DesktopPoint&, const DesktopPoint&) = default;
};
[[nodiscard]] DesktopPoint monitor_centre(const MonitorInfo& monitor);

// One delivery of the capture service, as the arrival handler sees it. The
// system side implements it around the frame it took from the pool.
class CaptureArrival {
  public:
    virtual ~CaptureArrival() = default;

    struct Sizes {
        std::int32_t content_width = 0;
        std::int32_t content_height = 0;
        std::uint32_t texture_width = 0;
        std::uint32_t texture_height = 0;
    };
    // Takes the next frame from the pool and reads its sizes; none when the
    // pool had no frame after all.
    [[nodiscard]] virtual Result<std::optional<Sizes>> take() = 0;
    // Copies `rect` of the frame's texture into a new Frame. Runs under the
    // device lock, so the device context and any cached staging texture are
    // its alone.
    [[nodiscard]] virtual Result<FrameHandle> copy(const CropRect& rect) = 0;
    // Gives the frame's buffer back to the pool; failures do not matter.
    virtual void close() = 0;
    // Recreates the pool at `size`. Runs under the size lock and the device lock.
    [[nodiscard]] virtual Status recreate_pool(SurfaceSize size) = 0;
};

// The state a graphics-capture source shares with its system callbacks: the
// latest-frame slot, the pool size and the crop, with the device and size
// locks. Locks are taken size first, then device; the slot's own lock is
// never held with either.
class CaptureSourceState {
  public:
    CaptureSourceState(SurfaceSize pool_size, std::optional<CropRect> crop);

    // The frame-arrived work. Any failure ends this arrival only: it is logged
    // as "a captured frame could not be read: <cause>" and the source stays
    // open. The frame is closed on every path once taken.
    void on_frame_arrived(CaptureArrival& arrival);
    // The captured item went away: the source has ended.
    void on_closed() { slot_.end(); }

    [[nodiscard]] FrameHandle latest_frame() const { return slot_.latest(); }
    [[nodiscard]] bool has_ended() const { return slot_.has_ended(); }
    [[nodiscard]] FrameHandle wait_first_frame(std::chrono::milliseconds timeout) const {
        return slot_.wait_first_frame(timeout);
    }
    [[nodiscard]] SurfaceSize pool_size() const;

    // The device lock, for the system side's own uses of the device outside
    // an arrival (releasing it on teardown).
    [[nodiscard]] std::mutex& device_mutex() { return device_mutex_; }

  private:
    [[nodiscard]] Status read_arrival(CaptureArrival& arrival);

    mutable std::mutex size_mutex_;
    std::mutex device_mutex_;
    SurfaceSize pool_size_;
    const std::optional<CropRect> crop_;
    LatestFrameSlot slot_;
};

// The log target of the graphics-capture source.
inline constexpr std::string_view kWgcLogTarget = "vantle_lib::platform::win::wgc";

}  // namespace vantle
