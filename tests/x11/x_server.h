#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantle::x11 {

// A child process with pipes to its standard input and output. Ending the
// object ends the process (SIGTERM, then waits for it).
class ChildProcess {
  public:
    // Starts `argv` (searched in PATH); null when it cannot be started. A quiet
    // process has its standard error sent to /dev/null.
    [[nodiscard]] static std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                                             bool quiet = false);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // One line of its output without the line feed; none on timeout or end.
    [[nodiscard]] std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    bool write_line(const std::string& line);
    void close_input();
    // Waits for the process to exit on its own; its exit status or -1.
    int wait(std::chrono::milliseconds timeout);
    void signal(int number);
    [[nodiscard]] pid_t pid() const { return pid_; }

  private:
    ChildProcess(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}
    pid_t pid_;
    int in_;
    int out_;
    std::string buffered_;
    bool reaped_ = false;
};

// A private X server (Xvfb on a display of its own, found with -displayfd) that
// this test process points DISPLAY at, with an optional window manager and the
// test windows started on it. Everything started here ends with it.
class XServer {
  public:
    // "WxHxD" for the one screen. Null when Xvfb cannot start.
    [[nodiscard]] static std::unique_ptr<XServer> start(const std::string& screen = "1280x800x24");
    // The X server of a Wayland session instead: weston on its headless
    // backend with XWayland, in a runtime folder of its own. Null when it
    // cannot start.
    [[nodiscard]] static std::unique_ptr<XServer> start_wayland_session();
    ~XServer();

    [[nodiscard]] const std::string& display() const { return display_; }
    // Starts openbox and waits until it announces itself.
    bool start_window_manager();
    // Starts a compositing manager (`argv`, say xcompmgr or picom) and waits
    // until it owns the _NET_WM_CM_S0 selection, which it takes once it keeps
    // every window off-screen.
    bool start_compositing_manager(const std::vector<std::string>& argv);
    // A test window (see test_window.cpp) with these arguments; null when it did
    // not come up. The id is its X window.
    struct Window {
        std::unique_ptr<ChildProcess> process;
        std::uint64_t id = 0;
    };
    [[nodiscard]] std::optional<Window> open_window(const std::vector<std::string>& args);
    // Many windows of one client (see window_crowd.cpp); null when they did not
    // all come up. The ids are its windows in creation order.
    struct Crowd {
        std::unique_ptr<ChildProcess> process;
        std::vector<std::uint64_t> ids;
    };
    [[nodiscard]] std::optional<Crowd> open_crowd(std::size_t count, const std::string& title);
    // Stops the window manager (SIGSTOP), so that its lists stay as they are
    // while clients change, or lets it go on (SIGCONT).
    void pause_window_manager(bool paused);

  private:
    XServer() = default;
    std::string display_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> window_manager_;
    std::unique_ptr<ChildProcess> compositing_manager_;
    std::string home_;
    std::string runtime_dir_;
};

// The focused window and the window manager's active window, to tell that
// nothing moved the focus.
struct FocusState {
    std::uint32_t focus = 0;
    std::uint32_t active = 0;
    friend bool operator==(const FocusState&, const FocusState&) = default;
};
[[nodiscard]] FocusState read_focus();

// Moves the pointer to root position (x, y).
void warp_pointer(int x, int y);

// The pointer as the server shows it (XFixes): root position, hotspot, size and
// premultiplied ARGB words, top row first.
struct PointerShape {
    int x = 0;
    int y = 0;
    int hotspot_x = 0;
    int hotspot_y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> argb;
};
[[nodiscard]] std::optional<PointerShape> read_pointer_shape();

// A client's _NET_FRAME_EXTENTS (left, right, top, bottom); zeros without one.
[[nodiscard]] std::array<std::uint32_t, 4> frame_extents(std::uint64_t window);

// Makes a window the active and focused one, through the window manager.
void activate(std::uint64_t window);

}  // namespace vantle::x11
