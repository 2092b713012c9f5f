// A window for the X11 tests: it maps one window with the title, colour, size,
// position and process id it is given, paints it whenever the server asks, and
// obeys commands on standard input ("resize W H", "color RRGGBB", "quit"). It
// prints the window's id once the window is painted (or, when started iconic,
// once the window manager has iconified it), so a test knows when it is there.
// For benchmarks and the demonstration it can be the desktop (--desktop), paint
// a desktop-like picture instead of one colour (--pattern) or noise that no PNG
// can compress (--noise), and show a running
// clock (--clock X,Y): the milliseconds since it started as 20 blocks, most
// significant bit first, white for 1, each 24x24, repainted every 5 ms in one
// request so that no copy sees half a value. With --no-background the server
// paints nothing of it (no background pixmap): only this program does, so a
// stopped program leaves whatever lay there before.
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "intern_atom.h"

namespace {

struct Options {
    std::string title = "test window";
    bool wm_name_only = false;
    bool no_title = false;
    std::uint32_t color = 0x3366CC;
    std::uint16_t width = 200;
    std::uint16_t height = 150;
    std::int16_t x = 0;
    std::int16_t y = 0;
    long pid = -1;  // -1: this process; -2: none
    bool iconic = false;
    bool no_background = false;
    bool override_redirect = false;
    bool desktop = false;
    bool pattern = false;
    bool noise = false;
    bool clock = false;
    std::int16_t clock_x = 0;
    std::int16_t clock_y = 0;
};

constexpr int kClockBits = 20;
constexpr int kClockBlock = 24;

// A picture with the kinds of surfaces a desktop shows: a gradient backdrop,
// flat panels with title bars, and lines of small dark marks standing in for
// text. Deterministic, so every run compresses the same. B, G, R, X words.
std::size_t offset(int x, int y, int width) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
           static_cast<std::size_t>(x);
}

std::vector<std::uint32_t> desktop_pattern(int width, int height) {
    std::vector<std::uint32_t> p(offset(0, height, width));
    for (int y = 0; y < height; ++y) {
        const std::uint32_t shade = static_cast<std::uint32_t>(60 + 120 * y / std::max(height, 1));
        for (int x = 0; x < width; ++x) {
            p[offset(x, y, width)] = (shade / 3) << 16 | (shade / 2) << 8 | shade;
        }
    }
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t range) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % range;
    };
    const auto fill = [&](int left, int top, int w, int h, std::uint32_t colour) {
        for (int y = std::max(top, 0); y < std::min(top + h, height); ++y) {
            for (int x = std::max(left, 0); x < std::min(left + w, width); ++x) {
                p[offset(x, y, width)] = colour;
            }
        }
    };
    const int panels = std::max(4, width * height / 250000);
    for (int i = 0; i < panels; ++i) {
        const int w = 200 + static_cast<int>(next(static_cast<std::uint32_t>(width / 2)));
        const int h = 150 + static_cast<int>(next(static_cast<std::uint32_t>(height / 2)));
        const int left = static_cast<int>(next(static_cast<std::uint32_t>(width)));
        const int top = static_cast<int>(next(static_cast<std::uint32_t>(height)));
        fill(left, top, w, h, 0xF4F4F4);
        fill(left, top, w, 24, 0x303848 + next(64));
        for (int line = top + 34; line + 10 < top + h; line += 16) {
            for (int x = left + 8; x < left + w - 8;) {
                const int word = 3 + static_cast<int>(next(9));
                for (int g = 0; g < word && x + 5 < left + w - 8; ++g, x += 7) {
                    fill(x, line + static_cast<int>(next(2)), 5, 8 + static_cast<int>(next(2)),
                         0x202020 + next(0x30) * 0x010101);
                }
                x += 7;
            }
        }
    }
    return p;
}

// Every pixel drawn afresh from a fixed sequence: the worst case for a PNG.
std::vector<std::uint32_t> noise_pattern(int width, int height) {
    std::vector<std::uint32_t> p(offset(0, height, width));
    std::uint32_t seed = 2463534242u;
    for (std::uint32_t& pixel : p) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        pixel = seed & 0xFFFFFFu;
    }
    return p;
}

// Sends pixels in bands that fit the server's request size.
void put_pixels(xcb_connection_t* c, xcb_drawable_t target, xcb_gcontext_t gc, std::uint8_t depth,
                const std::vector<std::uint32_t>& pixels, int width, int height, std::int16_t x,
                std::int16_t y) {
    const std::size_t limit = std::size_t{xcb_get_maximum_request_length(c)} * 4 - 64;
    const int rows = std::max(1, static_cast<int>(limit / (static_cast<std::size_t>(width) * 4)));
    for (int top = 0; top < height; top += rows) {
        const int h = std::min(rows, height - top);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, target, gc, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(h), x, static_cast<std::int16_t>(y + top), 0,
                      depth, static_cast<std::uint32_t>(4 * offset(0, h, width)),
                      reinterpret_cast<const std::uint8_t*>(pixels.data() + offset(0, top, width)));
    }
}

using vantle::x11_testing::intern;

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--title") {
            o.title = next();
        } else if (a == "--wm-name-only") {
            o.wm_name_only = true;
        } else if (a == "--no-title") {
            o.no_title = true;
        } else if (a == "--color") {
            o.color = static_cast<std::uint32_t>(std::stoul(next(), nullptr, 16));
        } else if (a == "--size") {
            const std::string v = next();
            o.width = static_cast<std::uint16_t>(std::stoi(v));
            o.height = static_cast<std::uint16_t>(std::stoi(v.substr(v.find('x') + 1)));
        } else if (a == "--pos") {
            const std::string v = next();
            o.x = static_cast<std::int16_t>(std::stoi(v));
            o.y = static_cast<std::int16_t>(std::stoi(v.substr(v.find(',') + 1)));
        } else if (a == "--pid") {
            o.pid = std::stol(next());
        } else if (a == "--no-pid") {
            o.pid = -2;
        } else if (a == "--iconic") {
            o.iconic = true;
        } else if (a == "--no-background") {
            o.no_background = true;
        } else if (a == "--override-redirect") {
            o.override_redirect = true;
        } else if (a == "--desktop") {
            o.desktop = true;
        } else if (a == "--pattern") {
            o.pattern = true;
        } else if (a == "--noise") {
            o.pattern = true;
            o.noise = true;
        } else if (a == "--clock") {
            const std::string v = next();
            o.clock = true;
            o.clock_x = static_cast<std::int16_t>(std::stoi(v));
            o.clock_y = static_cast<std::int16_t>(std::stoi(v.substr(v.find(',') + 1)));
        } else {
            std::cerr << "test_window: unknown argument " << a << "\n";
            return 64;
        }
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) != 0) {
        std::cerr << "test_window: no display\n";
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    // The background is black on purpose: a picture taken before the client has
    // painted shows black, not the window's colour.
    const std::uint32_t values[] = {
        o.no_background ? std::uint32_t{XCB_BACK_PIXMAP_NONE} : screen->black_pixel,
        o.override_redirect ? 1u : 0u,
        XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE |
            XCB_EVENT_MASK_FOCUS_CHANGE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, o.x, o.y, o.width, o.height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      (o.no_background ? XCB_CW_BACK_PIXMAP : XCB_CW_BACK_PIXEL) |
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values);
    const xcb_atom_t utf8 = intern(c, "UTF8_STRING");
    if (!o.no_title) {
        if (!o.wm_name_only) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, intern(c, "_NET_WM_NAME"), utf8,
                                8, static_cast<std::uint32_t>(o.title.size()), o.title.data());
        }
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(o.title.size()), o.title.data());
    }
    if (o.pid != -2) {
        const auto pid = static_cast<std::uint32_t>(o.pid == -1 ? ::getpid() : o.pid);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, intern(c, "_NET_WM_PID"),
                            XCB_ATOM_CARDINAL, 32, 1, &pid);
    }
    if (o.desktop) {
        // A window manager keeps a desktop window undecorated, below all others.
        const xcb_atom_t type = intern(c, "_NET_WM_WINDOW_TYPE_DESKTOP");
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, intern(c, "_NET_WM_WINDOW_TYPE"),
                            XCB_ATOM_ATOM, 32, 1, &type);
    }
    // Position and size as asked (a window manager may otherwise place it anew).
    std::uint32_t hints[18] = {};
    hints[0] = 1 | 2 | 4 | 8;  // USPosition, USSize, PPosition, PSize
    hints[1] = static_cast<std::uint32_t>(o.x);
    hints[2] = static_cast<std::uint32_t>(o.y);
    hints[3] = o.width;
    hints[4] = o.height;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    if (o.iconic) {
        const std::uint32_t wm_hints[9] = {2 /* StateHint */, 0, 3 /* IconicState */};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                            32, 9, wm_hints);
    }
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &o.color);
    xcb_map_window(c, window);
    xcb_flush(c);

    const xcb_atom_t wm_state = intern(c, "WM_STATE");
    bool announced = false;
    const auto announce = [&] {
        if (!announced) {
            announced = true;
            std::printf("%u\n", window);
            std::fflush(stdout);
        }
    };
    std::vector<std::uint32_t> pattern;
    int pattern_width = 0;
    int pattern_height = 0;
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto next_tick = started;
    std::vector<std::uint32_t> clock_pixels(std::size_t{kClockBits} * kClockBlock * kClockBlock);
    const auto paint_clock = [&] {
        const auto ms = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
        for (int row = 0; row < kClockBlock; ++row) {
            for (int bit = 0; bit < kClockBits; ++bit) {
                const bool one = ((ms >> (kClockBits - 1 - bit)) & 1u) != 0;
                std::fill_n(clock_pixels.begin() +
                                (static_cast<std::ptrdiff_t>(row) * kClockBits + bit) * kClockBlock,
                            kClockBlock, one ? 0xFFFFFFu : 0u);
            }
        }
        put_pixels(c, window, gc, screen->root_depth, clock_pixels, kClockBits * kClockBlock,
                   kClockBlock, o.clock_x, o.clock_y);
    };
    std::string input;
    for (;;) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            const int type = e->response_type & 0x7F;
            if (type == XCB_EXPOSE) {
                const auto* ex = reinterpret_cast<xcb_expose_event_t*>(e);
                if (ex->count == 0) {
                    xcb_get_geometry_reply_t* g =
                        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
                    if (g != nullptr && o.pattern) {
                        if (pattern_width != g->width || pattern_height != g->height) {
                            pattern_width = g->width;
                            pattern_height = g->height;
                            pattern = o.noise ? noise_pattern(g->width, g->height)
                                              : desktop_pattern(g->width, g->height);
                        }
                        put_pixels(c, window, gc, screen->root_depth, pattern, g->width, g->height,
                                   0, 0);
                    } else if (g != nullptr) {
                        const xcb_rectangle_t all{0, 0, g->width, g->height};
                        xcb_poly_fill_rectangle(c, window, gc, 1, &all);
                    }
                    std::free(g);
                    // A round trip: the paint has reached the server before the id is out.
                    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
                    if (!o.iconic) {
                        announce();
                    }
                }
            } else if (type == XCB_PROPERTY_NOTIFY && o.iconic) {
                const auto* pe = reinterpret_cast<xcb_property_notify_event_t*>(e);
                if (pe->atom == wm_state) {
                    announce();
                }
            }
            std::free(e);
        }
        if (xcb_connection_has_error(c) != 0) {
            return 1;
        }
        xcb_flush(c);
        int timeout = -1;
        if (o.clock && announced) {
            const auto now = Clock::now();
            if (now >= next_tick) {
                paint_clock();
                xcb_flush(c);
                next_tick = now + std::chrono::milliseconds(5);
            }
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(next_tick - now).count());
        }
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {0, POLLIN, 0}};
        ::poll(fds, 2, timeout);
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[256];
            const ssize_t n = ::read(0, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            input.append(buffer, static_cast<std::size_t>(n));
            std::size_t end = 0;
            while ((end = input.find('\n')) != std::string::npos) {
                const std::string line = input.substr(0, end);
                input.erase(0, end + 1);
                if (line == "quit") {
                    xcb_destroy_window(c, window);
                    xcb_flush(c);
                    xcb_disconnect(c);
                    return 0;
                }
                if (line.rfind("resize ", 0) == 0) {
                    const std::string v = line.substr(7);
                    const std::uint32_t size[] = {
                        static_cast<std::uint32_t>(std::stoul(v)),
                        static_cast<std::uint32_t>(std::stoul(v.substr(v.find(' ') + 1)))};
                    xcb_configure_window(c, window,
                                         XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
                } else if (line.rfind("color ", 0) == 0) {
                    o.color = static_cast<std::uint32_t>(std::stoul(line.substr(6), nullptr, 16));
                    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &o.color);
                    xcb_clear_area(c, 1, window, 0, 0, 0, 0);
                }
                // Every command is answered once the server has carried it out.
                std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
                std::printf("ok\n");
                std::fflush(stdout);
            }
        }
    }
    xcb_disconnect(c);
    return 0;
}
