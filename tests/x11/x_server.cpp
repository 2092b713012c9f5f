#include "x11/x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <thread>

#include "x11/intern_atom.h"
#include "x11/process_output.h"

namespace vantle::x11 {

namespace {

using Clock = std::chrono::steady_clock;

using vantle::x11_testing::intern;

std::optional<std::uint32_t> root_word(xcb_connection_t* c, xcb_window_t w, const char* name) {
    xcb_get_property_reply_t* r = xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, intern(c, name), XCB_ATOM_ANY, 0, 1), nullptr);
    std::optional<std::uint32_t> value;
    if (r != nullptr && r->format == 32 && xcb_get_property_value_length(r) >= 4) {
        value = *static_cast<std::uint32_t*>(xcb_get_property_value(r));
    }
    std::free(r);
    return value;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  bool quiet) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        return nullptr;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        end_with_parent(parent);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (quiet) {
            const int null_fd = ::open("/dev/null", O_WRONLY);
            ::dup2(null_fd, 2);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, in[1], out[0]));
}

ChildProcess::~ChildProcess() {
    close_input();
    if (!reaped_) {
        ::kill(pid_, SIGTERM);
        if (wait(std::chrono::milliseconds(3000)) < -1) {
            ::kill(pid_, SIGKILL);
        }
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ::close(out_);
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{out_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        buffered_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::write_line(const std::string& line) {
    const std::string text = line + "\n";
    return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::close_input() {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= deadline) {
            return -2;
        }
        // waitpid cannot wait with a timeout; a short poll bounds the wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::signal(int number) {
    ::kill(pid_, number);
}

std::unique_ptr<XServer> XServer::start(const std::string& screen) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return nullptr;
    }
    // Xvfb writes its display number to the descriptor given with -displayfd;
    // that end must survive exec, so it is the plain pipe made above.
    auto server = std::unique_ptr<XServer>(new XServer());
    server->xvfb_ = ChildProcess::start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset",
                                         "-nolisten", "tcp", "-screen", "0", screen},
                                        true);
    ::close(fds[1]);
    std::string number;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        pollfd fd{fds[0], POLLIN, 0};
        if (::poll(&fd, 1, 200) <= 0) {
            continue;
        }
        char c = 0;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    ::close(fds[0]);
    if (!server->xvfb_ || number.empty()) {
        return nullptr;
    }
    server->display_ = ":" + number;
    ::setenv("DISPLAY", server->display_.c_str(), 1);
    // openbox keeps state under HOME; give it a folder of its own.
    server->home_ =
        (std::filesystem::temp_directory_path() / ("vantle-x11-home-" + std::to_string(::getpid())))
            .string();
    return server;
}

XServer::~XServer() {
    // A stopped window manager would sit out its SIGTERM.
    pause_window_manager(false);
    compositing_manager_.reset();
    window_manager_.reset();
    xvfb_.reset();
    if (!runtime_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(runtime_dir_, ignored);
    }
    if (!home_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
}

bool XServer::start_window_manager() {
    std::filesystem::create_directories(home_);
    window_manager_ =
        ChildProcess::start({"env", "HOME=" + home_, "XDG_CONFIG_HOME=" + home_,
                             "XDG_CACHE_HOME=" + home_, "openbox", "--sm-disable", "--startup",
                             "xprop -root -f _VANTLE_WM_READY 32c -set _VANTLE_WM_READY 1"},
                            true);
    if (!window_manager_) {
        return false;
    }
    xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    // openbox announces itself before it handles map requests; the command it
    // runs once it is up marks the moment windows can be opened.
    const xcb_atom_t check = intern(c, "_VANTLE_WM_READY");
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    bool ready = false;
    while (!ready && Clock::now() < deadline) {
        ready = root_word(c, root, "_VANTLE_WM_READY").has_value();
        if (ready) {
            break;
        }
        // Wait for the property to change rather than polling it.
        xcb_flush(c);
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, 200);
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7F) == XCB_PROPERTY_NOTIFY &&
                reinterpret_cast<xcb_property_notify_event_t*>(e)->atom == check) {
                ready = true;
            }
            std::free(e);
        }
    }
    xcb_disconnect(c);
    return ready;
}

std::unique_ptr<XServer> XServer::start_wayland_session() {
    auto server = std::unique_ptr<XServer>(new XServer());
    char folder[] = "/tmp/vantle-wayland-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return nullptr;
    }
    server->runtime_dir_ = folder;
    // XWayland listens where every X server does; Xvfb makes the folder itself.
    ::mkdir("/tmp/.X11-unix", 01777);
    const std::string log = server->runtime_dir_ + "/weston.log";
    server->xvfb_ =
        ChildProcess::start({"env", "XDG_RUNTIME_DIR=" + server->runtime_dir_, "weston",
                             "--backend=headless-backend.so", "--xwayland", "--idle-time=0",
                             "--socket=vantle-test-" + std::to_string(::getpid()), "--log=" + log},
                            true);
    if (!server->xvfb_) {
        return nullptr;
    }
    // weston names the display it listens on for XWayland in its log.
    constexpr std::string_view kListening = "xserver listening on display :";
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (server->display_.empty() && Clock::now() < deadline) {
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (const std::size_t at = text.find(kListening); at != std::string::npos) {
            std::size_t end = at + kListening.size();
            while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                ++end;
            }
            server->display_ =
                ":" + text.substr(at + kListening.size(), end - at - kListening.size());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (server->display_.size() < 2) {
        return nullptr;
    }
    ::setenv("DISPLAY", server->display_.c_str(), 1);
    return server;
}

bool XServer::start_compositing_manager(const std::vector<std::string>& argv) {
    compositing_manager_ = ChildProcess::start(argv, true);
    if (!compositing_manager_) {
        return false;
    }
    xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        return false;
    }
    const xcb_atom_t selection = intern(c, "_NET_WM_CM_S0");
    bool owned = false;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!owned && Clock::now() < deadline) {
        xcb_get_selection_owner_reply_t* reply =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
        owned = reply != nullptr && reply->owner != XCB_WINDOW_NONE;
        std::free(reply);
        if (!owned) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Some take the selection before they redirect the windows (picom does):
    // wait until a window mapped now is kept off-screen, that is has a pixmap
    // of its own.
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t probe = xcb_generate_id(c);
    const std::uint32_t override_redirect = 1;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_OVERRIDE_REDIRECT,
                      &override_redirect);
    xcb_map_window(c, probe);
    std::free(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    bool redirected = false;
    while (owned && !redirected && Clock::now() < deadline) {
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_generic_error_t* error =
            xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, probe, pixmap));
        redirected = error == nullptr;
        std::free(error);
        if (redirected) {
            xcb_free_pixmap(c, pixmap);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    xcb_destroy_window(c, probe);
    xcb_disconnect(c);
    return redirected;
}

std::optional<XServer::Window> XServer::open_window(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VANTLE_TEST_WINDOW};
    argv.insert(argv.end(), args.begin(), args.end());
    Window w;
    w.process = ChildProcess::start(argv);
    if (!w.process) {
        return std::nullopt;
    }
    const std::optional<std::string> line = w.process->read_line(std::chrono::seconds(20));
    if (!line || line->empty()) {
        return std::nullopt;
    }
    w.id = std::stoull(*line);
    return w;
}

std::optional<XServer::Crowd> XServer::open_crowd(std::size_t count, const std::string& title) {
    Crowd crowd;
    crowd.process = ChildProcess::start(
        {VANTLE_TEST_CROWD, "--count", std::to_string(count), "--title", title});
    if (!crowd.process) {
        return std::nullopt;
    }
    const std::optional<std::string> line = crowd.process->read_line(std::chrono::seconds(120));
    if (!line) {
        return std::nullopt;
    }
    std::istringstream ids(*line);
    for (std::uint64_t id = 0; ids >> id;) {
        crowd.ids.push_back(id);
    }
    if (crowd.ids.size() != count) {
        return std::nullopt;
    }
    return crowd;
}

void XServer::pause_window_manager(bool paused) {
    if (window_manager_) {
        window_manager_->signal(paused ? SIGSTOP : SIGCONT);
    }
}

FocusState read_focus() {
    FocusState state;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) == 0) {
        xcb_get_input_focus_reply_t* f =
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        if (f != nullptr) {
            state.focus = f->focus;
        }
        std::free(f);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        state.active = root_word(c, root, "_NET_ACTIVE_WINDOW").value_or(0);
    }
    xcb_disconnect(c);
    return state;
}

void warp_pointer(int x, int y) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) == 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_warp_pointer(c, XCB_NONE, root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                         static_cast<std::int16_t>(y));
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    xcb_disconnect(c);
}

std::optional<PointerShape> read_pointer_shape() {
    std::optional<PointerShape> shape;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) == 0) {
        std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        xcb_xfixes_get_cursor_image_reply_t* r =
            xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr);
        if (r != nullptr) {
            const std::uint32_t* words = xcb_xfixes_get_cursor_image_cursor_image(r);
            shape =
                PointerShape{r->x,
                             r->y,
                             r->xhot,
                             r->yhot,
                             r->width,
                             r->height,
                             {words, words + xcb_xfixes_get_cursor_image_cursor_image_length(r)}};
        }
        std::free(r);
    }
    xcb_disconnect(c);
    return shape;
}

std::array<std::uint32_t, 4> frame_extents(std::uint64_t window) {
    std::array<std::uint32_t, 4> extents{};
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) == 0) {
        xcb_get_property_reply_t* r = xcb_get_property_reply(
            c,
            xcb_get_property(c, 0, static_cast<xcb_window_t>(window),
                             intern(c, "_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 0, 4),
            nullptr);
        if (r != nullptr && r->format == 32 && xcb_get_property_value_length(r) >= 16) {
            const auto* words = static_cast<const std::uint32_t*>(xcb_get_property_value(r));
            std::copy(words, words + 4, extents.begin());
        }
        std::free(r);
    }
    xcb_disconnect(c);
    return extents;
}

void activate(std::uint64_t window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) == 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_client_message_event_t e{};
        e.response_type = XCB_CLIENT_MESSAGE;
        e.format = 32;
        e.window = static_cast<xcb_window_t>(window);
        e.type = intern(c, "_NET_ACTIVE_WINDOW");
        e.data.data32[0] = 2;
        xcb_send_event(c, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&e));
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    xcb_disconnect(c);
}

}  // namespace vantle::x11
