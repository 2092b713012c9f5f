#include "platform/x11/event_wait.h"

#include <poll.h>

namespace vantle::x11 {

Reply<xcb_generic_event_t> wait_for_event(xcb_connection_t* conn,
                                          std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (xcb_generic_event_t* event = xcb_poll_for_event(conn)) {
            return Reply<xcb_generic_event_t>(event);
        }
        if (xcb_connection_has_error(conn) != 0) {
            return nullptr;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return nullptr;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd fd{xcb_get_file_descriptor(conn), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left));
    }
}

}  // namespace vantle::x11
