#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/pointer_overlay.h"
#include "platform/records.h"
#include "support/error.h"

// The decisions of the Windows desktop layer that need no Windows: what is
// listed, how a GDI copy turns into an RgbaImage, where the pointer's pixels go.
// The Win32 code feeds these plain values, so every system's tests reach them.
namespace vantle::win {

// The major Windows version (7, 8, 10 or 11) from the registry's
// CurrentBuildNumber text, cut at its first NUL. None, or text that is not an
// unsigned 32-bit decimal number, reads as 7: the oldest behaviour is the safe
// guess.
[[nodiscard]] unsigned windows_major_from_build(std::optional<std::u16string_view> build);

// GDI's B, G, R, A bytes to R, G, B, A in place. Before Windows 8 GDI leaves the
// alpha byte of screen copies at 0, so with `opaque_transparent` a pixel of
// alpha 0 becomes opaque; later systems' alpha passes through as delivered.
void bgra_to_rgba(std::span<std::uint8_t> pixels, bool opaque_transparent);

// Whether a copy from this major version needs `opaque_transparent`.
[[nodiscard]] constexpr bool gdi_alpha_is_unset(unsigned major_version) {
    return major_version <= 7;
}

// The executable's file name from the Win32 form of its image path; none when
// the last component is no ordinary file name (empty, "." or "..").
[[nodiscard]] std::optional<std::string> image_file_name(std::u16string_view image_path);

// A monitor's GDI device name (the 32-unit szDevice) up to its first NUL,
// decoded strictly: an unpaired surrogate leaves the name empty.
[[nodiscard]] std::string monitor_device_name(std::u16string_view device);

// A RECT as Windows reports it.
struct FrameRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
    friend bool operator==(const FrameRect&, const FrameRect&) = default;
};

// The frame as a desktop rectangle; none when it is less than one pixel wide or
// high (the sides are taken in 64 bits, so a reversed rectangle cannot wrap).
[[nodiscard]] std::optional<Region> frame_region(const FrameRect& rect);

// What the window listing asks of the system about one top-level window.
class WindowQueries {
  public:
    virtual ~WindowQueries() = default;
    virtual bool visible(std::uint64_t handle) = 0;
    // The owning process id (0 when the system cannot tell).
    virtual std::uint32_t owner_pid(std::uint64_t handle) = 0;
    // The window text as UTF-16 units, unchecked.
    virtual std::u16string title(std::uint64_t handle) = 0;
    // The cloak state; none when the query fails.
    virtual std::optional<bool> cloaked(std::uint64_t handle) = 0;
    virtual bool iconic(std::uint64_t handle) = 0;
    // The visible frame without the invisible resize borders; none when the
    // compositor cannot say.
    virtual std::optional<FrameRect> extended_frame(std::uint64_t handle) = 0;
    virtual std::optional<FrameRect> window_rect(std::uint64_t handle) = 0;
    // The Win32 image path of the process; none when it cannot be opened or read.
    virtual std::optional<std::u16string> image_path(std::uint32_t pid) = 0;
};

// The listable windows among `handles` (topmost first), in that order: visible,
// not of process `own_pid`, titled with more than white space, not cloaked, and
// either minimized or with a frame of at least one pixel. Each process is asked
// for its image path at most once per call; the monitor is the one the frame
// overlaps most.
[[nodiscard]] std::vector<WindowInfo> collect_windows(std::span<const std::uint64_t> handles,
                                                      WindowQueries& queries, std::uint32_t own_pid,
                                                      const std::vector<MonitorInfo>& monitors);

// One monitor as the system describes it.
struct MonitorReading {
    std::u16string device;  // szDevice, all 32 units
    bool primary = false;
    Region mode;  // the current display mode: where its top-left pixel is and its size
};

// The monitor list from one reading per monitor handle, in order. A reading
// that fails fails the whole list: a partial list would renumber the monitors.
[[nodiscard]] Result<std::vector<MonitorInfo>> collect_monitors(
    std::size_t count, const std::function<Result<MonitorReading>(std::size_t)>& read);

// A monitor picture brought to the size of the mode read before the copy: when
// the display changed between the reads, the copy has the new mode's size, and
// it is resampled (triangle filter) to the first size with one warning.
[[nodiscard]] RgbaImage fit_monitor_picture(RgbaImage picture, const Region& first);

// A pointer's drawing size from its bitmap: a monochrome pointer (no colour
// bitmap) stacks its AND and XOR masks, so it is half as high as its mask.
// None when nothing would be drawn.
struct PointerSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const PointerSize&, const PointerSize&) = default;
};
[[nodiscard]] std::optional<PointerSize> pointer_size(std::int32_t bitmap_width,
                                                      std::int32_t bitmap_height, bool has_colour);

// The picture's pixels under a pointer of `size` at `at`, as the opaque B, G, R,
// A rows of a top-down bitmap of that size for the system to draw the pointer
// over. Pointer pixels off the picture stay zero.
[[nodiscard]] std::vector<std::uint8_t> pointer_backdrop(const RgbaImage& picture,
                                                         PointerPlacement at, PointerSize size);

// Writes the drawn bitmap (B, G, R, A rows of `size`) back into the picture at
// `at`, opaque, only where the picture lies under the pointer.
void pointer_write_back(RgbaImage& picture, PointerPlacement at, PointerSize size,
                        std::span<const std::uint8_t> bgra);

}  // namespace vantle::win
