#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vantle::x11_testing {

// The atom of `name`, made if it does not exist yet; 0 when the server failed.
inline xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = r != nullptr ? r->atom : 0;
    std::free(r);
    return atom;
}

}  // namespace vantle::x11_testing
