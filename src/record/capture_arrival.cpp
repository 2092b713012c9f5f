#include "record/capture_arrival.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/logger.h"

namespace vantle {

namespace {

std::uint32_t non_negative(std::int32_t value) {
    return value < 0 ? 0u : static_cast<std::uint32_t>(value);
}

// Closes the taken frame however the arrival ends, so its buffer always goes
// back to the pool of two.
class CloseOnExit {
  public:
    explicit CloseOnExit(CaptureArrival& arrival) : arrival_(&arrival) {}
    CloseOnExit(const CloseOnExit&) = delete;
    CloseOnExit& operator=(const CloseOnExit&) = delete;
    ~CloseOnExit() { close(); }
    void close() {
        if (arrival_ != nullptr) {
            std::exchange(arrival_, nullptr)->close();
        }
    }

  private:
    CaptureArrival* arrival_;
};

}  // namespace

CropRect arrival_copy_rect(std::uint32_t texture_width, std::uint32_t texture_height,
                           std::int32_t content_width, std::int32_t content_height,
                           const std::optional<CropRect>& crop) {
    const CropRect wanted =
        crop.value_or(CropRect{0, 0, non_negative(content_width), non_negative(content_height)});
    return clip_crop(texture_width, texture_height, wanted);
}

std::optional<SurfaceSize> pool_size_to_recreate(SurfaceSize pool, std::int32_t content_width,
                                                 std::int32_t content_height) {
    if (content_width < 1 || content_height < 1) {
        return std::nullopt;
    }
    const SurfaceSize content{static_cast<std::uint32_t>(content_width),
                              static_cast<std::uint32_t>(content_height)};
    if (content == pool) {
        return std::nullopt;
    }
    return content;
}

FrameHandle frame_from_mapped_rows(const std::uint8_t* data, std::size_t row_pitch,
                                   std::uint32_t width, std::uint32_t height) {
    auto frame = std::make_shared<Frame>();
    frame->width = width;
    frame->height = height;
    const std::size_t row_bytes = std::size_t{width} * 4;
    frame->pixels.resize(row_bytes * height);
    for (std::size_t row = 0; row < height; ++row) {
        std::memcpy(frame->pixels.data() + row * row_bytes, data + row * row_pitch, row_bytes);
    }
    return frame;
}

CropRect region_crop(const Region& region, const MonitorInfo& monitor) {
    return CropRect{static_cast<std::int32_t>(std::int64_t{region.x} - monitor.x),
                    static_cast<std::int32_t>(std::int64_t{region.y} - monitor.y), region.width,
                    region.height};
}

DesktopPoint monitor_centre(const MonitorInfo& monitor) {
    const auto centre = [](std::int32_t origin, std::uint32_t extent) {
        return static_cast<std::int32_t>(
            std::clamp<std::int64_t>(std::int64_t{origin} + extent / 2, INT32_MIN, INT32_MAX));
    };
    return {centre(monitor.x, monitor.width), centre(monitor.y, monitor.height)};
}

CaptureSourceState::CaptureSourceState(SurfaceSize pool_size, std::optional<CropRect> crop)
    : pool_size_(pool_size), crop_(crop) {}

SurfaceSize CaptureSourceState::pool_size() const {
    const std::lock_guard lock(size_mutex_);
    return pool_size_;
}

void CaptureSourceState::on_frame_arrived(CaptureArrival& arrival) {
    if (Status read = read_arrival(arrival); !read) {
        log_warn(kWgcLogTarget, "a captured frame could not be read: " + read.error().render());
    }
}

Status CaptureSourceState::read_arrival(CaptureArrival& arrival) {
    Result<std::optional<CaptureArrival::Sizes>> taken = arrival.take();
    if (!taken) {
        return std::unexpected(std::move(taken.error()));
    }
    if (!*taken) {
        return {};
    }
    CloseOnExit closer(arrival);
    const CaptureArrival::Sizes sizes = **taken;

    FrameHandle frame;
    const CropRect rect = arrival_copy_rect(sizes.texture_width, sizes.texture_height,
                                            sizes.content_width, sizes.content_height, crop_);
    if (rect.width > 0 && rect.height > 0) {
        const std::lock_guard device(device_mutex_);
        Result<FrameHandle> copied = arrival.copy(rect);
        if (!copied) {
            return std::unexpected(std::move(copied.error()));
        }
        frame = std::move(*copied);
    }
    closer.close();

    {
        const std::lock_guard size(size_mutex_);
        if (const std::optional<SurfaceSize> next =
                pool_size_to_recreate(pool_size_, sizes.content_width, sizes.content_height)) {
            const std::lock_guard device(device_mutex_);
            if (Status recreated = arrival.recreate_pool(*next); !recreated) {
                return recreated;
            }
            pool_size_ = *next;
        }
    }

    slot_.publish(std::move(frame));
    return {};
}

}  // namespace vantle
