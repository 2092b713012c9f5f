#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "capture/desktop_picture.h"
#include "platform/records.h"
#include "platform/x11/xcb_session.h"
#include "record/frame.h"
#include "support/error.h"

namespace vantle::x11 {

// Pixels read from the server in the X image layout of a 32-bit visual:
// blue, green, red, unused, top row first.
struct XPixels {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> bgrx;
};

[[nodiscard]] RgbaImage to_rgba_image(const XPixels& pixels);
// The same from `width` x `height` pixels in that layout at `bgrx`.
[[nodiscard]] RgbaImage to_rgba_image(const std::uint8_t* bgrx, std::uint32_t width,
                                      std::uint32_t height);
[[nodiscard]] Frame to_frame(XPixels pixels);
// Makes `frame` the width x height pixels at `bgrx` (the XPixels layout) with
// every alpha 255, reusing its buffer.
void copy_opaque_frame(const std::uint8_t* bgrx, std::uint32_t width, std::uint32_t height,
                       Frame& frame);

// Copies rectangles of the root window, through one shared-memory segment
// reused for every copy when MIT-SHM works, else with plain GetImage.
class RootCopier {
  public:
    explicit RootCopier(XcbSession& x) : x_(x) {}
    RootCopier(const RootCopier&) = delete;
    RootCopier& operator=(const RootCopier&) = delete;
    ~RootCopier();

    // The rectangle (root coordinates), which must lie on the screen, without a
    // copy of its own: `use` gets the pixels (width x height, the XPixels layout)
    // where the server put them, valid only during the call.
    [[nodiscard]] Status read(std::int32_t x, std::int32_t y, std::uint32_t width,
                              std::uint32_t height,
                              const std::function<void(const std::uint8_t*)>& use);
    // The same from another drawable of the screen (a window's off-screen
    // pixmap); the rectangle, in its coordinates, must lie inside it.
    [[nodiscard]] Status read_drawable(xcb_drawable_t drawable, std::int32_t x, std::int32_t y,
                                       std::uint32_t width, std::uint32_t height,
                                       const std::function<void(const std::uint8_t*)>& use);

  private:
    bool ensure_segment(std::size_t bytes);
    void release_segment();

    XcbSession& x_;
    bool shm_failed_ = false;
    std::uint32_t segment_ = 0;  // the server's name for the segment; 0 when none
    int shm_id_ = -1;
    std::uint8_t* memory_ = nullptr;
    std::size_t size_ = 0;
    bool populated_ = false;  // the segment's pages are mapped here
};

// The monitor at `index` of a fresh listing as a desktop picture.
[[nodiscard]] Result<DesktopPicture> copy_monitor(XcbSession& x, RootCopier& copier,
                                                  const MonitorInfo& monitor);

// A rectangle of a window's picture, in the picture's own coordinates, and
// the root position of its top-left pixel.
struct PicturePart {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Keeps a window's contents in off-screen storage (Composite) for as long as it
// lives, so that a covered window can be read as itself.
//
// A window redirected just now holds, where it was covered or off the screen,
// what lay there, until its program paints those parts; until then a picture
// of it would pass off other windows' pixels as its own. So the parts that were
// not on the screen are kept as an unpainted region (on the server) and every
// damage the window reports is taken off it. A window that was already kept
// off-screen (a compositing manager does that for every window) holds its whole
// picture and has none.
class RedirectedWindow {
  public:
    using Clock = std::chrono::steady_clock;

    // `window` is what is redirected (a frame), `client` the program's window
    // inside it (the same without a window manager).
    [[nodiscard]] static Result<RedirectedWindow> open(XcbSession& x, xcb_window_t window,
                                                       xcb_window_t client);
    RedirectedWindow(RedirectedWindow&& other) noexcept;
    RedirectedWindow& operator=(RedirectedWindow&&) = delete;
    RedirectedWindow(const RedirectedWindow&) = delete;
    ~RedirectedWindow();

    // The window's current contents at its current size.
    [[nodiscard]] Result<XPixels> read();
    // A part of them without a copy of its own, for a recording's every frame:
    // `pick` chooses the part from their size, and `use` gets its pixels (the
    // XPixels layout) through `copier`'s shared memory, valid only during the
    // call. An empty part is not read.
    [[nodiscard]] Status read_part(
        RootCopier& copier, const std::function<PicturePart(std::uint32_t, std::uint32_t)>& pick,
        const std::function<void(const std::uint8_t*, const PicturePart&)>& use);
    // The damage object whose events tell that the window changed.
    [[nodiscard]] std::uint32_t damage() const { return damage_; }

    // Takes the damage reported so far off the unpainted region and clears it,
    // so that the next change sends a new event. No round trip.
    void note_damage();
    // Whether every part of the window has been painted since it was last
    // marked; a round trip only while parts may be unpainted.
    [[nodiscard]] bool painted();
    // Reads the connection's events until the window is painted or `deadline`
    // passes; false when parts are still unpainted then. Other events are dropped.
    // Where the server painted a hidden part of the program's window (its
    // background) while redirecting it, that is not the program's picture: the
    // program has to paint in its window too, and is given until its painting
    // pauses.
    [[nodiscard]] bool wait_painted(Clock::time_point deadline);
    // The whole window (width x height) is unpainted: it was mapped again.
    void mark_all_unpainted(std::uint16_t width, std::uint16_t height);
    // The window grew from old_width x old_height to width x height: what lies
    // beyond the old size is unpainted.
    void mark_grown(std::uint16_t old_width, std::uint16_t old_height, std::uint16_t width,
                    std::uint16_t height);

  private:
    RedirectedWindow(XcbSession& x, xcb_window_t window, std::uint32_t damage)
        : x_(&x), window_(window), damage_(damage) {}
    XcbSession* x_;
    xcb_window_t window_;
    std::uint32_t damage_;
    std::uint32_t client_damage_ = 0;  // the program's own painting, from the redirection on
    bool client_hidden_ = false;       // part of the program's window was not on the screen
    std::uint32_t unpainted_ = 0;      // XFixes region in window coordinates; 0 when none
    std::uint32_t parts_ = 0;          // scratch region for the damage taken
    bool maybe_unpainted_ = false;
};

// The first event code of the DAMAGE extension (its DamageNotify), or none.
[[nodiscard]] std::optional<std::uint8_t> damage_event_base(XcbSession& x);
// A damage object that reports changes of `drawable` (for the root: of the
// whole screen) as DamageNotify events; 0 without the DAMAGE extension.
[[nodiscard]] std::uint32_t create_damage(XcbSession& x, xcb_drawable_t drawable);

// Draws the pointer (XFixes cursor image) into a picture whose top-left pixel
// is at root position (origin_x, origin_y). A pointer off the picture is no error.
[[nodiscard]] Status draw_pointer(XcbSession& x, RgbaImage& picture, std::int32_t origin_x,
                                  std::int32_t origin_y);
// The same on a BGRA frame.
[[nodiscard]] Status draw_pointer(XcbSession& x, Frame& frame, std::int32_t origin_x,
                                  std::int32_t origin_y);

// What shows `client` on the screen: its ancestor just below the root, which
// is the window manager's frame (decorations included) when one reparents it,
// else the client itself. Its picture is the window as listed: the client
// grown by the frame's extents. None when the window is gone.
[[nodiscard]] std::optional<xcb_window_t> frame_window(XcbSession& x, xcb_window_t client);

// The part of a frame's picture (top-left pixel at root position frame_x,
// frame_y) that the listed rectangle covers. A window manager may make its
// frame larger than the extents it reports (invisible resize borders) or keep
// it inside a virtual root; the picture is then still the window as listed.
// The whole picture when the rectangle misses it. Comes with the root position
// of its top-left pixel.
struct PlacedPixels {
    XPixels pixels;
    std::int32_t x = 0;
    std::int32_t y = 0;
};
[[nodiscard]] PlacedPixels cut_to_listed(XPixels pixels, std::int32_t frame_x, std::int32_t frame_y,
                                         const Region& listed);

// The part of a width x height picture that cut_to_listed keeps, without the copy.
[[nodiscard]] PicturePart listed_part(std::uint32_t width, std::uint32_t height,
                                      std::int32_t frame_x, std::int32_t frame_y,
                                      const Region& listed);

// The window's top-left pixel (its border's outer corner) in root coordinates.
[[nodiscard]] std::optional<std::pair<std::int32_t, std::int32_t>> window_origin(
    XcbSession& x, xcb_window_t window);

}  // namespace vantle::x11
