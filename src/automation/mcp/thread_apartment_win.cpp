#include <windows.h>
// After windows.h, which it needs.
#include <roapi.h>

#include "automation/mcp/thread_apartment.h"

namespace vantle::mcp {

ThreadApartment::ThreadApartment() : joined_(SUCCEEDED(RoInitialize(RO_INIT_MULTITHREADED))) {}

ThreadApartment::~ThreadApartment() {
    if (joined_) {
        RoUninitialize();
    }
}

}  // namespace vantle::mcp
