#pragma once

#include <xcb/xcb.h>

#include <chrono>

#include "platform/x11/xcb_session.h"

namespace vantle::x11 {

// The next event of the connection, waiting until `deadline` at the latest;
// null on timeout or when the connection broke.
[[nodiscard]] Reply<xcb_generic_event_t> wait_for_event(
    xcb_connection_t* conn, std::chrono::steady_clock::time_point deadline);

}  // namespace vantle::x11
