// Many top-level windows from one X client, for the listing's tests and its
// benchmark: `--count N` windows, 40x30 each in a grid, created and mapped in
// order. Window i (from 1) is titled "<title> i"; every fourth has only a
// Latin-1 WM_NAME, "<title> i é", and with a window manager every fifth starts
// iconic. Once every window is in the window manager's client list (or, without
// one, mapped) it prints their ids in creation order on one line. Then it obeys
// "destroy I J ..." (by number) and "quit" on standard input, answering "ok"
// once the server has carried a command out.
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "intern_atom.h"

namespace {

constexpr std::uint16_t kWidth = 40;
constexpr std::uint16_t kHeight = 30;

using vantle::x11_testing::intern;

std::vector<std::uint32_t> root_words(xcb_connection_t* c, xcb_window_t root, xcb_atom_t name) {
    std::vector<std::uint32_t> out;
    xcb_get_property_reply_t* r = xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1u << 20), nullptr);
    if (r != nullptr && r->format == 32) {
        const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(r));
        out.assign(data, data + xcb_get_property_value_length(r) / 4);
    }
    std::free(r);
    return out;
}

void round_trip(xcb_connection_t* c) {
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 100;
    std::string title = "crowd";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--count" && i + 1 < argc) {
            count = std::stoul(argv[++i]);
        } else if (a == "--title" && i + 1 < argc) {
            title = argv[++i];
        } else {
            std::cerr << "window_crowd: unknown argument " << a << "\n";
            return 64;
        }
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) != 0) {
        std::cerr << "window_crowd: no display\n";
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t root = screen->root;
    const xcb_atom_t net_wm_name = intern(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = intern(c, "UTF8_STRING");
    const xcb_atom_t net_wm_pid = intern(c, "_NET_WM_PID");
    const xcb_atom_t client_list = intern(c, "_NET_CLIENT_LIST");
    const bool window_manager = !root_words(c, root, intern(c, "_NET_SUPPORTING_WM_CHECK")).empty();
    const auto pid = static_cast<std::uint32_t>(::getpid());
    const int columns = std::max(1, screen->width_in_pixels / kWidth);

    std::vector<xcb_window_t> windows;
    for (std::size_t i = 1; i <= count; ++i) {
        const xcb_window_t window = xcb_generate_id(c);
        const auto x = static_cast<std::int16_t>((i - 1) % columns * kWidth);
        const auto y = static_cast<std::int16_t>((i - 1) / columns % 20 * kHeight);
        const std::uint32_t values[] = {screen->white_pixel};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, x, y, kWidth, kHeight, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                          values);
        const std::string name = title + " " + std::to_string(i);
        if (i % 4 == 0) {
            const std::string latin1 = name + " \xE9";
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING,
                                8, static_cast<std::uint32_t>(latin1.size()), latin1.data());
        } else {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, net_wm_name, utf8, 8,
                                static_cast<std::uint32_t>(name.size()), name.data());
        }
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, net_wm_pid, XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
        std::uint32_t hints[18] = {};
        hints[0] = 1 | 2 | 4 | 8;  // USPosition, USSize, PPosition, PSize
        hints[1] = static_cast<std::uint32_t>(x);
        hints[2] = static_cast<std::uint32_t>(y);
        hints[3] = kWidth;
        hints[4] = kHeight;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS,
                            XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        if (window_manager && i % 5 == 0) {
            const std::uint32_t wm_hints[9] = {2 /* StateHint */, 0, 3 /* IconicState */};
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_HINTS,
                                XCB_ATOM_WM_HINTS, 32, 9, wm_hints);
        }
        xcb_map_window(c, window);
        windows.push_back(window);
    }
    round_trip(c);
    if (window_manager) {
        // Listed once the window manager has taken every one in.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (;;) {
            std::vector<std::uint32_t> listed = root_words(c, root, client_list);
            std::sort(listed.begin(), listed.end());
            const bool all = std::all_of(windows.begin(), windows.end(), [&](xcb_window_t w) {
                return std::binary_search(listed.begin(), listed.end(), w);
            });
            if (all) {
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                std::cerr << "window_crowd: the window manager did not list every window\n";
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::ostringstream ids;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        ids << (i == 0 ? "" : " ") << windows[i];
    }
    std::printf("%s\n", ids.str().c_str());
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") {
            break;
        }
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "destroy") {
            std::size_t number = 0;
            while (words >> number) {
                if (number >= 1 && number <= windows.size()) {
                    xcb_destroy_window(c, windows[number - 1]);
                }
            }
        }
        round_trip(c);
        std::printf("ok\n");
        std::fflush(stdout);
        // Events are not read: drop what has queued up.
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            std::free(e);
        }
    }
    xcb_disconnect(c);
    return 0;
}
