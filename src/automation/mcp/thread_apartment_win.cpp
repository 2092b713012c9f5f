#include "automation/mcp/thread_apartment.h"

#include "platform/win/system_library.h"

namespace vantle::mcp {

ThreadApartment::ThreadApartment() : joined_(win::join_multithreaded_apartment()) {}

ThreadApartment::~ThreadApartment() {
    if (joined_) {
        win::leave_multithreaded_apartment();
    }
}

}  // namespace vantle::mcp
