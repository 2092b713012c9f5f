#include "platform/x11/capture_x11.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "capture/pointer_overlay.h"
#include "platform/x11/event_wait.h"

namespace vantle::x11 {

namespace {

// Maps the pages of a buffer about to be read or written in full in one
// system call (MADV_POPULATE_READ or _WRITE). A page fault for each 4 KiB of a
// picture costs more than the copy itself, most of all on a virtual machine,
// and a system without the advice simply leaves the pages to the faults.
void populate(const void* data, std::size_t size, int advice) {
    const std::uintptr_t page = 4096;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = start & ~(page - 1);
    const std::uintptr_t end = (start + size + page - 1) & ~(page - 1);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): madvise wants the page address
    (void)::madvise(reinterpret_cast<void*>(first), end - first, advice);
}

#ifndef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ = 22;
constexpr int MADV_POPULATE_WRITE = 23;
#endif

// Checks that the server hands out 32 bits per pixel, least significant byte
// first, for `depth`: the layout every copy below relies on.
Status check_pixel_format(XcbSession& x, std::uint8_t depth) {
    const xcb_setup_t* setup = xcb_get_setup(x.conn());
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return std::unexpected(Error("the X server sends pixels most significant byte first"));
    }
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            if (it.data->bits_per_pixel == 32) {
                return {};
            }
            break;
        }
    }
    return std::unexpected(Error("pictures of depth " + std::to_string(depth) +
                                 " are not 32 bits per pixel on this X server"));
}

// A GetImage reply of width x height pixels in the layout the copies rely on.
Result<Reply<xcb_get_image_reply_t>> get_image_reply(XcbSession& x, xcb_drawable_t drawable,
                                                     std::int32_t left, std::int32_t top,
                                                     std::uint32_t width, std::uint32_t height) {
    xcb_generic_error_t* raw_error = nullptr;
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        x.conn(),
        xcb_get_image(x.conn(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                      static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height),
                      0xFFFFFFFF),
        &raw_error));
    const Reply<xcb_generic_error_t> error(raw_error);
    if (!reply) {
        if (error) {
            return std::unexpected(x_error(*error, "GetImage"));
        }
        return std::unexpected(Error("the X connection broke while reading pixels"));
    }
    if (Status format = check_pixel_format(x, reply->depth); !format) {
        return std::unexpected(std::move(format.error()));
    }
    const std::size_t bytes = std::size_t{width} * height * 4;
    if (static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < bytes) {
        return std::unexpected(Error("GetImage returned fewer pixels than asked for"));
    }
    return reply;
}

Result<XPixels> get_image(XcbSession& x, xcb_drawable_t drawable, std::int32_t left,
                          std::int32_t top, std::uint32_t width, std::uint32_t height) {
    Result<Reply<xcb_get_image_reply_t>> reply =
        get_image_reply(x, drawable, left, top, width, height);
    if (!reply) {
        return std::unexpected(std::move(reply.error()));
    }
    XPixels out{width, height, {}};
    const std::uint8_t* data = xcb_get_image_data(reply->get());
    out.bgrx.assign(data, data + std::size_t{width} * height * 4);
    return out;
}

// The pointer as XFixes has it, with its position on the root window.
struct Pointer {
    std::int32_t x = 0;
    std::int32_t y = 0;
    PointerImage image;
};

Result<std::optional<Pointer>> read_pointer(XcbSession& x) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.conn(), &xcb_xfixes_id);
    if (ext == nullptr || ext->present == 0) {
        return std::unexpected(Error("the X server has no XFIXES extension to read the pointer"));
    }
    const Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
        x.conn(), xcb_xfixes_query_version(x.conn(), 4, 0), nullptr));
    xcb_generic_error_t* raw_error = nullptr;
    const Reply<xcb_xfixes_get_cursor_image_reply_t> reply(xcb_xfixes_get_cursor_image_reply(
        x.conn(), xcb_xfixes_get_cursor_image(x.conn()), &raw_error));
    const Reply<xcb_generic_error_t> error(raw_error);
    if (!reply) {
        if (error) {
            return std::unexpected(x_error(*error, "XFixesGetCursorImage"));
        }
        return std::unexpected(Error("the X connection broke while reading the pointer"));
    }
    Pointer p;
    p.x = reply->x;
    p.y = reply->y;
    p.image.width = reply->width;
    p.image.height = reply->height;
    p.image.hotspot_x = reply->xhot;
    p.image.hotspot_y = reply->yhot;
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    const int count = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
    if (count < static_cast<int>(p.image.width * p.image.height)) {
        return std::optional<Pointer>();
    }
    p.image.argb.assign(pixels, pixels + count);
    return std::optional<Pointer>(std::move(p));
}

Status draw_pointer_rgba(XcbSession& x, RgbaImage& picture, std::int32_t origin_x,
                         std::int32_t origin_y, bool swap_red_blue) {
    Result<std::optional<Pointer>> pointer = read_pointer(x);
    if (!pointer) {
        return std::unexpected(std::move(pointer.error()));
    }
    if (!*pointer) {
        return {};
    }
    Pointer& p = **pointer;
    const std::optional<PointerPlacement> at =
        place_pointer(p.x, p.y, p.image.hotspot_x, p.image.hotspot_y, p.image.width, p.image.height,
                      origin_x, origin_y, picture.width, picture.height);
    if (!at) {
        return {};
    }
    if (swap_red_blue) {
        for (std::uint32_t& word : p.image.argb) {
            word = (word & 0xFF00FF00) | ((word >> 16) & 0xFF) | ((word & 0xFF) << 16);
        }
    }
    blend_pointer(picture, p.image, *at);
    return {};
}

}  // namespace

RgbaImage to_rgba_image(const std::uint8_t* bgrx, std::uint32_t width, std::uint32_t height) {
    const std::size_t count = std::size_t{width} * height;
    RgbaImage image{width, height, {}};
    image.pixels.reserve(count * 4);
    populate(image.pixels.data(), count * 4, MADV_POPULATE_WRITE);
    image.pixels.resize(count * 4);
    std::uint8_t* out = image.pixels.data();
    // Word at a time, which the compiler turns into vector shuffles.
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t word = 0;
        std::memcpy(&word, bgrx + i * 4, 4);
        word = (word & 0x0000FF00u) | ((word >> 16) & 0xFFu) | ((word & 0xFFu) << 16) | 0xFF000000u;
        std::memcpy(out + i * 4, &word, 4);
    }
    return image;
}

RgbaImage to_rgba_image(const XPixels& pixels) {
    return to_rgba_image(pixels.bgrx.data(), pixels.width,
                         static_cast<std::uint32_t>(std::min<std::size_t>(
                             pixels.height, pixels.bgrx.size() / 4 / std::max(pixels.width, 1u))));
}

Frame to_frame(XPixels pixels) {
    Frame frame{pixels.width, pixels.height, std::move(pixels.bgrx)};
    for (std::size_t i = 3; i < frame.pixels.size(); i += 4) {
        frame.pixels[i] = 255;
    }
    return frame;
}

void copy_opaque_frame(const std::uint8_t* bgrx, std::uint32_t width, std::uint32_t height,
                       Frame& frame) {
    const std::size_t bytes = std::size_t{width} * height * 4;
    if (frame.pixels.capacity() < bytes) {
        frame.pixels = {};
        frame.pixels.reserve(bytes);
        populate(frame.pixels.data(), bytes, MADV_POPULATE_WRITE);
    }
    frame.pixels.resize(bytes);
    frame.width = width;
    frame.height = height;
    std::uint8_t* out = frame.pixels.data();
    for (std::size_t i = 0; i < bytes; i += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bgrx + i, 4);
        word |= 0xFF000000u;
        std::memcpy(out + i, &word, 4);
    }
}

RootCopier::~RootCopier() {
    release_segment();
}

void RootCopier::release_segment() {
    if (segment_ != 0) {
        xcb_shm_detach(x_.conn(), segment_);
        xcb_flush(x_.conn());
        segment_ = 0;
    }
    if (memory_ != nullptr) {
        ::shmdt(memory_);
        memory_ = nullptr;
    }
    size_ = 0;
}

bool RootCopier::ensure_segment(std::size_t bytes) {
    if (shm_failed_) {
        return false;
    }
    if (memory_ != nullptr && size_ >= bytes) {
        return true;
    }
    release_segment();
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x_.conn(), &xcb_shm_id);
    if (ext == nullptr || ext->present == 0) {
        shm_failed_ = true;
        return false;
    }
    shm_id_ = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shm_id_ < 0) {
        shm_failed_ = true;
        return false;
    }
    void* memory = ::shmat(shm_id_, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        ::shmctl(shm_id_, IPC_RMID, nullptr);
        shm_failed_ = true;
        return false;
    }
    const std::uint32_t segment = xcb_generate_id(x_.conn());
    const Reply<xcb_generic_error_t> error(xcb_request_check(
        x_.conn(),
        xcb_shm_attach_checked(x_.conn(), segment, static_cast<std::uint32_t>(shm_id_), 0)));
    // Marked for removal at once: the segment then vanishes with the last
    // attachment, even if this process dies.
    ::shmctl(shm_id_, IPC_RMID, nullptr);
    if (error) {
        // A server on another machine cannot reach this memory.
        ::shmdt(memory);
        shm_failed_ = true;
        return false;
    }
    memory_ = static_cast<std::uint8_t*>(memory);
    segment_ = segment;
    size_ = bytes;
    populated_ = false;
    return true;
}

Status RootCopier::read(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height,
                        const std::function<void(const std::uint8_t*)>& use) {
    return read_drawable(x_.root(), x, y, width, height, use);
}

Status RootCopier::read_drawable(xcb_drawable_t drawable, std::int32_t x, std::int32_t y,
                                 std::uint32_t width, std::uint32_t height,
                                 const std::function<void(const std::uint8_t*)>& use) {
    const std::size_t bytes = std::size_t{width} * height * 4;
    if (ensure_segment(bytes)) {
        xcb_generic_error_t* raw_error = nullptr;
        const Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            x_.conn(),
            xcb_shm_get_image(x_.conn(), drawable, static_cast<std::int16_t>(x),
                              static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                              static_cast<std::uint16_t>(height), 0xFFFFFFFF,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
            &raw_error));
        const Reply<xcb_generic_error_t> error(raw_error);
        if (reply) {
            if (Status format = check_pixel_format(x_, reply->depth); !format) {
                return std::unexpected(std::move(format.error()));
            }
            if (!populated_) {
                // The mapping stays for the next copies: once is enough.
                populate(memory_, size_, MADV_POPULATE_READ);
                populated_ = true;
            }
            use(memory_);
            return {};
        }
        if (error && error->error_code == XCB_MATCH) {
            return std::unexpected(x_error(*error, "ShmGetImage"));
        }
        // Anything else: leave shared memory alone from now on and copy plainly.
        release_segment();
        shm_failed_ = true;
    }
    Result<Reply<xcb_get_image_reply_t>> reply = get_image_reply(x_, drawable, x, y, width, height);
    if (!reply) {
        return std::unexpected(std::move(reply.error()));
    }
    use(xcb_get_image_data(reply->get()));
    return {};
}

Result<DesktopPicture> copy_monitor(XcbSession& x, RootCopier& copier, const MonitorInfo& m) {
    // A monitor may reach past the screen (RandR allows it); copy the part on it
    // and leave the rest opaque black.
    const std::int64_t screen_w = x.screen().width_in_pixels;
    const std::int64_t screen_h = x.screen().height_in_pixels;
    const std::int64_t left = std::max<std::int64_t>(m.x, 0);
    const std::int64_t top = std::max<std::int64_t>(m.y, 0);
    const std::int64_t right = std::min<std::int64_t>(std::int64_t{m.x} + m.width, screen_w);
    const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{m.y} + m.height, screen_h);
    if (right <= left || bottom <= top) {
        return std::unexpected(
            Error("monitor " + std::to_string(m.index) + " lies outside the X screen"));
    }
    const auto width = static_cast<std::uint32_t>(right - left);
    const auto height = static_cast<std::uint32_t>(bottom - top);
    DesktopPicture picture{{}, static_cast<std::int32_t>(left), static_cast<std::int32_t>(top)};
    // Converted straight out of the server's copy: a picture-sized buffer in
    // between would cost as much as the conversion.
    Status read = copier.read(picture.x, picture.y, width, height, [&](const std::uint8_t* bgrx) {
        picture.image = to_rgba_image(bgrx, width, height);
    });
    if (!read) {
        return std::unexpected(std::move(read.error()));
    }
    if (left == m.x && top == m.y && picture.image.width == m.width &&
        picture.image.height == m.height) {
        return picture;
    }
    DesktopPicture black{{m.width, m.height, {}}, m.x, m.y};
    black.image.pixels.assign(std::size_t{m.width} * m.height * 4, 0);
    for (std::size_t i = 3; i < black.image.pixels.size(); i += 4) {
        black.image.pixels[i] = 255;
    }
    std::vector<DesktopPicture> both;
    both.push_back(std::move(black));
    both.push_back(std::move(picture));
    return stitch_desktop(std::move(both));
}

std::optional<std::uint8_t> damage_event_base(XcbSession& x) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.conn(), &xcb_damage_id);
    if (ext == nullptr || ext->present == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(ext->first_event + XCB_DAMAGE_NOTIFY);
}

std::uint32_t create_damage(XcbSession& x, xcb_drawable_t drawable) {
    if (!damage_event_base(x)) {
        return 0;
    }
    // The server refuses every other DAMAGE request of a client that has not
    // asked for the version first, and the refusal comes as an error no one
    // waits for: the damage object would silently never exist.
    const Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
        x.conn(), xcb_damage_query_version(x.conn(), 1, 1), nullptr));
    if (!version) {
        return 0;
    }
    const std::uint32_t damage = xcb_generate_id(x.conn());
    xcb_damage_create(x.conn(), damage, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(x.conn());
    return damage;
}

namespace {

// The kind of shape that CreateRegionFromWindow reads: the window's outline,
// border included (SHAPE's Bounding).
constexpr std::uint8_t kBoundingShape = 0;

// Holds the server for the caller's other clients while it lives, so that what
// is looked at and what is done to a window happen on the same screen.
class ServerGrab {
  public:
    explicit ServerGrab(XcbSession& x) : x_(x) { xcb_grab_server(x_.conn()); }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;
    ~ServerGrab() {
        xcb_ungrab_server(x_.conn());
        xcb_flush(x_.conn());
    }

  private:
    XcbSession& x_;
};

bool has_region_requests(XcbSession& x) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.conn(), &xcb_xfixes_id);
    if (ext == nullptr || ext->present == 0) {
        return false;
    }
    // Regions came with version 2; a client must name its version first.
    const Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
        x.conn(), xcb_xfixes_query_version(x.conn(), 4, 0), nullptr));
    return version && version->major_version >= 2;
}

// Whether the window is already kept off-screen (by a compositing manager, or
// another capture): only then does it have a pixmap of its own.
bool already_redirected(XcbSession& x, xcb_window_t window) {
    const xcb_pixmap_t pixmap = xcb_generate_id(x.conn());
    const Reply<xcb_generic_error_t> error(xcb_request_check(
        x.conn(), xcb_composite_name_window_pixmap_checked(x.conn(), window, pixmap)));
    if (error) {
        return false;
    }
    xcb_free_pixmap(x.conn(), pixmap);
    return true;
}

// The parts of `window` (a child of the root) that are not on the screen now,
// as a new XFixes region in the window's coordinates: what lies off the screen
// and what the windows stacked above it cover, by their shapes. None when the
// window is gone.
std::optional<std::uint32_t> hidden_region(XcbSession& x, xcb_window_t window) {
    xcb_connection_t* c = x.conn();
    const auto tree_cookie = xcb_query_tree(c, x.root());
    const auto geometry_cookie = xcb_get_geometry(c, window);
    const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, tree_cookie, nullptr));
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, geometry_cookie, nullptr));
    if (!tree || !geometry) {
        return std::nullopt;
    }
    // The window's inside, where its program draws; the server paints the border.
    const std::int32_t origin_x = geometry->x + geometry->border_width;
    const std::int32_t origin_y = geometry->y + geometry->border_width;
    const xcb_rectangle_t inside{0, 0, geometry->width, geometry->height};
    const xcb_rectangle_t screen{static_cast<std::int16_t>(-origin_x),
                                 static_cast<std::int16_t>(-origin_y), x.screen().width_in_pixels,
                                 x.screen().height_in_pixels};
    const std::uint32_t hidden = xcb_generate_id(c);
    const std::uint32_t shown = xcb_generate_id(c);
    xcb_xfixes_create_region(c, hidden, 1, &inside);
    xcb_xfixes_create_region(c, shown, 1, &screen);
    xcb_xfixes_intersect_region(c, hidden, shown, shown);

    // The root's children come bottom first: those after the window lie above it.
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    int above = count;
    for (int i = 0; i < count; ++i) {
        if (children[i] == window) {
            above = i + 1;
            break;
        }
    }
    std::vector<xcb_get_window_attributes_cookie_t> attributes;
    std::vector<xcb_get_geometry_cookie_t> geometries;
    for (int i = above; i < count; ++i) {
        attributes.push_back(xcb_get_window_attributes(c, children[i]));
        geometries.push_back(xcb_get_geometry(c, children[i]));
    }
    for (int i = above; i < count; ++i) {
        const auto k = static_cast<std::size_t>(i - above);
        const Reply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c, attributes[k], nullptr));
        const Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, geometries[k], nullptr));
        if (!a || !g || a->map_state != XCB_MAP_STATE_VIEWABLE ||
            a->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
            continue;
        }
        // Its outline is relative to its inside's origin, its border reaching
        // below 0.
        const std::uint32_t cover = xcb_generate_id(c);
        xcb_xfixes_create_region_from_window(c, cover, children[i], kBoundingShape);
        xcb_xfixes_translate_region(c, cover,
                                    static_cast<std::int16_t>(g->x + g->border_width - origin_x),
                                    static_cast<std::int16_t>(g->y + g->border_width - origin_y));
        xcb_xfixes_subtract_region(c, shown, cover, shown);
        xcb_xfixes_destroy_region(c, cover);
    }
    xcb_xfixes_subtract_region(c, hidden, shown, hidden);
    xcb_xfixes_destroy_region(c, shown);
    return hidden;
}

}  // namespace

Result<RedirectedWindow> RedirectedWindow::open(XcbSession& x, xcb_window_t window,
                                                xcb_window_t client) {
    const xcb_query_extension_reply_t* composite =
        xcb_get_extension_data(x.conn(), &xcb_composite_id);
    if (composite == nullptr || composite->present == 0) {
        return std::unexpected(
            Error("the X server has no Composite extension, so windows cannot be captured"));
    }
    if (!has_region_requests(x)) {
        return std::unexpected(Error(
            "the X server has no XFIXES extension (version 2), so windows cannot be captured"));
    }
    const Reply<xcb_composite_query_version_reply_t> composite_version(
        xcb_composite_query_version_reply(x.conn(), xcb_composite_query_version(x.conn(), 0, 4),
                                          nullptr));
    // Nothing may change between looking at what covers the window and
    // redirecting it; the damage object exists before the redirection, so the
    // server's own painting of the window's background during it counts.
    const ServerGrab grab(x);
    const std::uint32_t damage = create_damage(x, window);
    std::optional<std::uint32_t> hidden;
    if (!already_redirected(x, window)) {
        hidden = hidden_region(x, window);
    }
    const Reply<xcb_generic_error_t> error(xcb_request_check(
        x.conn(),
        xcb_composite_redirect_window_checked(x.conn(), window, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (error) {
        if (damage != 0) {
            xcb_damage_destroy(x.conn(), damage);
        }
        if (hidden) {
            xcb_xfixes_destroy_region(x.conn(), *hidden);
        }
        return std::unexpected(x_error(*error, "redirecting the window"));
    }
    RedirectedWindow redirected(x, window, damage);
    if (hidden && damage != 0) {
        // Was any of the program's window hidden? Its rectangle in the frame's
        // coordinates, cut with what was hidden.
        const auto origin = xcb_translate_coordinates(x.conn(), client, window, 0, 0);
        const auto size = xcb_get_geometry(x.conn(), client);
        const Reply<xcb_translate_coordinates_reply_t> at(
            xcb_translate_coordinates_reply(x.conn(), origin, nullptr));
        const Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(x.conn(), size, nullptr));
        if (at && geometry) {
            const xcb_rectangle_t rect{at->dst_x, at->dst_y, geometry->width, geometry->height};
            const std::uint32_t cut = xcb_generate_id(x.conn());
            xcb_xfixes_create_region(x.conn(), cut, 1, &rect);
            xcb_xfixes_intersect_region(x.conn(), cut, *hidden, cut);
            const Reply<xcb_xfixes_fetch_region_reply_t> fetched(xcb_xfixes_fetch_region_reply(
                x.conn(), xcb_xfixes_fetch_region(x.conn(), cut), nullptr));
            xcb_xfixes_destroy_region(x.conn(), cut);
            redirected.client_hidden_ =
                fetched && xcb_xfixes_fetch_region_rectangles_length(fetched.get()) > 0;
        }
        if (redirected.client_hidden_) {
            // Created after the redirection and under the grab: it sees only
            // what the program paints from now on.
            redirected.client_damage_ = create_damage(x, client);
            if (redirected.client_damage_ != 0) {
                // A new damage object reports its whole window at once; that
                // report, and every event before it, is no painting of the
                // program's (none could paint under the grab).
                xcb_damage_subtract(x.conn(), redirected.client_damage_, XCB_NONE, XCB_NONE);
                std::free(
                    xcb_get_input_focus_reply(x.conn(), xcb_get_input_focus(x.conn()), nullptr));
                while (
                    const Reply<xcb_generic_event_t> dropped{xcb_poll_for_queued_event(x.conn())}) {
                }
            }
        }
    }
    redirected.parts_ = xcb_generate_id(x.conn());
    xcb_xfixes_create_region(x.conn(), redirected.parts_, 0, nullptr);
    if (hidden) {
        redirected.unpainted_ = *hidden;
    } else {
        redirected.unpainted_ = xcb_generate_id(x.conn());
        xcb_xfixes_create_region(x.conn(), redirected.unpainted_, 0, nullptr);
    }
    redirected.maybe_unpainted_ = hidden.has_value();
    return redirected;
}

RedirectedWindow::RedirectedWindow(RedirectedWindow&& other) noexcept
    : x_(std::exchange(other.x_, nullptr)),
      window_(other.window_),
      damage_(std::exchange(other.damage_, 0)),
      client_damage_(std::exchange(other.client_damage_, 0)),
      client_hidden_(other.client_hidden_),
      unpainted_(std::exchange(other.unpainted_, 0)),
      parts_(std::exchange(other.parts_, 0)),
      maybe_unpainted_(other.maybe_unpainted_) {}

RedirectedWindow::~RedirectedWindow() {
    if (x_ == nullptr) {
        return;
    }
    xcb_composite_unredirect_window(x_->conn(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (damage_ != 0) {
        xcb_damage_destroy(x_->conn(), damage_);
    }
    if (client_damage_ != 0) {
        xcb_damage_destroy(x_->conn(), client_damage_);
    }
    if (unpainted_ != 0) {
        xcb_xfixes_destroy_region(x_->conn(), unpainted_);
    }
    if (parts_ != 0) {
        xcb_xfixes_destroy_region(x_->conn(), parts_);
    }
    xcb_flush(x_->conn());
}

void RedirectedWindow::note_damage() {
    if (damage_ == 0) {
        return;
    }
    xcb_damage_subtract(x_->conn(), damage_, XCB_NONE, parts_);
    if (maybe_unpainted_) {
        xcb_xfixes_subtract_region(x_->conn(), unpainted_, parts_, unpainted_);
    }
    xcb_flush(x_->conn());
}

bool RedirectedWindow::painted() {
    if (!maybe_unpainted_) {
        return true;
    }
    const Reply<xcb_xfixes_fetch_region_reply_t> region(xcb_xfixes_fetch_region_reply(
        x_->conn(), xcb_xfixes_fetch_region(x_->conn(), unpainted_), nullptr));
    if (!region) {
        return false;  // the connection broke: nothing painted can be known
    }
    maybe_unpainted_ = xcb_xfixes_fetch_region_rectangles_length(region.get()) > 0;
    return !maybe_unpainted_;
}

bool RedirectedWindow::wait_painted(Clock::time_point deadline) {
    const std::optional<std::uint8_t> damage_notify = damage_event_base(*x_);
    if (!maybe_unpainted_) {
        return true;
    }
    // Without damage reports nothing unpainted can ever be seen painted.
    if (damage_ == 0 || !damage_notify) {
        return false;
    }
    // Parts whose background the server painted count as painted, but the
    // program has to answer too: once it has painted in its window, it is
    // given until its painting pauses for kPause.
    constexpr auto kPause = std::chrono::milliseconds(20);
    bool program_painted = client_damage_ == 0;
    std::optional<Clock::time_point> settled;
    for (;;) {
        note_damage();
        const bool all = painted();
        if (all && program_painted && (!settled || Clock::now() >= *settled)) {
            return true;
        }
        const auto wake = all && settled ? std::min(*settled, deadline) : deadline;
        const Reply<xcb_generic_event_t> event = wait_for_event(x_->conn(), wake);
        if (!event) {
            if (Clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if ((event->response_type & 0x7F) != *damage_notify) {
            continue;
        }
        const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
        if (client_damage_ != 0 && notify->damage == client_damage_) {
            xcb_damage_subtract(x_->conn(), client_damage_, XCB_NONE, XCB_NONE);
            if (!program_painted) {
                program_painted = true;
            }
        }
        if (program_painted && client_damage_ != 0) {
            settled = Clock::now() + kPause;
        }
    }
}

void RedirectedWindow::mark_all_unpainted(std::uint16_t width, std::uint16_t height) {
    const xcb_rectangle_t all{0, 0, width, height};
    xcb_xfixes_set_region(x_->conn(), unpainted_, 1, &all);
    maybe_unpainted_ = true;
}

void RedirectedWindow::mark_grown(std::uint16_t old_width, std::uint16_t old_height,
                                  std::uint16_t width, std::uint16_t height) {
    if (width <= old_width && height <= old_height) {
        return;
    }
    // The old picture stays at the top left; what lies right of it and below it is new.
    std::vector<xcb_rectangle_t> grown;
    if (width > old_width) {
        grown.push_back({static_cast<std::int16_t>(old_width), 0,
                         static_cast<std::uint16_t>(width - old_width), height});
    }
    if (height > old_height) {
        grown.push_back({0, static_cast<std::int16_t>(old_height), width,
                         static_cast<std::uint16_t>(height - old_height)});
    }
    xcb_xfixes_set_region(x_->conn(), parts_, static_cast<std::uint32_t>(grown.size()),
                          grown.data());
    xcb_xfixes_union_region(x_->conn(), unpainted_, parts_, unpainted_);
    maybe_unpainted_ = true;
}

namespace {

// Names the window's off-screen pixmap as it is now for one read, hands it and
// its size to `read`, and frees the name whatever `read` returns.
template <typename Out>
Out read_window_pixmap(XcbSession& x, xcb_window_t window,
                       const std::function<Out(xcb_pixmap_t, std::uint16_t, std::uint16_t)>& read) {
    const xcb_pixmap_t pixmap = xcb_generate_id(x.conn());
    const Reply<xcb_generic_error_t> error(xcb_request_check(
        x.conn(), xcb_composite_name_window_pixmap_checked(x.conn(), window, pixmap)));
    if (error) {
        if (error->error_code == XCB_MATCH) {
            return std::unexpected(Error("the window is not shown (minimized or unmapped)"));
        }
        return std::unexpected(x_error(*error, "reading the window's pixmap"));
    }
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.conn(), xcb_get_geometry(x.conn(), pixmap), nullptr));
    Out out = geometry ? read(pixmap, geometry->width, geometry->height)
                       : Out(std::unexpected(Error("the window's pixmap has no size")));
    xcb_free_pixmap(x.conn(), pixmap);
    return out;
}

}  // namespace

Result<XPixels> RedirectedWindow::read() {
    return read_window_pixmap<Result<XPixels>>(
        *x_, window_, [&](xcb_pixmap_t pixmap, std::uint16_t width, std::uint16_t height) {
            return get_image(*x_, pixmap, 0, 0, width, height);
        });
}

Status RedirectedWindow::read_part(
    RootCopier& copier, const std::function<PicturePart(std::uint32_t, std::uint32_t)>& pick,
    const std::function<void(const std::uint8_t*, const PicturePart&)>& use) {
    return read_window_pixmap<Status>(
        *x_, window_, [&](xcb_pixmap_t pixmap, std::uint16_t width, std::uint16_t height) {
            const PicturePart part = pick(width, height);
            if (part.width == 0 || part.height == 0) {
                return Status{};
            }
            return copier.read_drawable(pixmap, part.left, part.top, part.width, part.height,
                                        [&](const std::uint8_t* bgrx) { use(bgrx, part); });
        });
}

Status draw_pointer(XcbSession& x, RgbaImage& picture, std::int32_t origin_x,
                    std::int32_t origin_y) {
    return draw_pointer_rgba(x, picture, origin_x, origin_y, false);
}

Status draw_pointer(XcbSession& x, Frame& frame, std::int32_t origin_x, std::int32_t origin_y) {
    // The frame's bytes are B, G, R, A; blending them as an RGBA picture with the
    // pointer's red and blue exchanged gives the same result.
    RgbaImage view{frame.width, frame.height, std::move(frame.pixels)};
    Status drawn = draw_pointer_rgba(x, view, origin_x, origin_y, true);
    frame.pixels = std::move(view.pixels);
    return drawn;
}

PlacedPixels cut_to_listed(XPixels pixels, std::int32_t frame_x, std::int32_t frame_y,
                           const Region& listed) {
    const PicturePart part = listed_part(pixels.width, pixels.height, frame_x, frame_y, listed);
    if (part.width == pixels.width && part.height == pixels.height) {
        return {std::move(pixels), frame_x, frame_y};
    }
    XPixels cut{part.width, part.height, {}};
    const std::size_t row = std::size_t{cut.width} * 4;
    cut.bgrx.resize(row * cut.height);
    for (std::uint32_t y = 0; y < cut.height; ++y) {
        const std::size_t from = ((static_cast<std::size_t>(part.top) + y) * pixels.width +
                                  static_cast<std::size_t>(part.left)) *
                                 4;
        std::memcpy(cut.bgrx.data() + row * y, pixels.bgrx.data() + from, row);
    }
    return {std::move(cut), part.x, part.y};
}

PicturePart listed_part(std::uint32_t width, std::uint32_t height, std::int32_t frame_x,
                        std::int32_t frame_y, const Region& listed) {
    const std::int64_t dx = std::int64_t{listed.x} - frame_x;
    const std::int64_t dy = std::int64_t{listed.y} - frame_y;
    const std::int64_t left = std::clamp<std::int64_t>(dx, 0, width);
    const std::int64_t top = std::clamp<std::int64_t>(dy, 0, height);
    const std::int64_t right = std::clamp<std::int64_t>(dx + listed.width, 0, width);
    const std::int64_t bottom = std::clamp<std::int64_t>(dy + listed.height, 0, height);
    if (right <= left || bottom <= top) {
        return {0, 0, width, height, frame_x, frame_y};
    }
    return {static_cast<std::int32_t>(left),           static_cast<std::int32_t>(top),
            static_cast<std::uint32_t>(right - left),  static_cast<std::uint32_t>(bottom - top),
            static_cast<std::int32_t>(frame_x + left), static_cast<std::int32_t>(frame_y + top)};
}

std::optional<xcb_window_t> frame_window(XcbSession& x, xcb_window_t client) {
    xcb_window_t window = client;
    // A window manager nests a client a level or two deep; the bound only keeps
    // a server that reports a cycle from holding the caller.
    for (int depth = 0; depth < 16; ++depth) {
        const Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(x.conn(), xcb_query_tree(x.conn(), window), nullptr));
        if (!tree) {
            return std::nullopt;
        }
        if (tree->parent == x.root() || tree->parent == XCB_WINDOW_NONE) {
            return window;
        }
        window = tree->parent;
    }
    return client;
}

std::optional<std::pair<std::int32_t, std::int32_t>> window_origin(XcbSession& x,
                                                                   xcb_window_t window) {
    const auto geometry_cookie = xcb_get_geometry(x.conn(), window);
    const auto origin_cookie = xcb_translate_coordinates(x.conn(), window, x.root(), 0, 0);
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.conn(), geometry_cookie, nullptr));
    const Reply<xcb_translate_coordinates_reply_t> origin(
        xcb_translate_coordinates_reply(x.conn(), origin_cookie, nullptr));
    if (!geometry || !origin) {
        return std::nullopt;
    }
    return std::pair{origin->dst_x - geometry->border_width,
                     origin->dst_y - geometry->border_width};
}

}  // namespace vantle::x11
