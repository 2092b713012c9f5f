#include "automation/mcp/thread_apartment.h"

namespace vantle::mcp {

ThreadApartment::ThreadApartment() = default;
ThreadApartment::~ThreadApartment() = default;

}  // namespace vantle::mcp
