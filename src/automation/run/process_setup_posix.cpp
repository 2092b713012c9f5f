#include <csignal>

#include "automation/run/process_setup.h"

namespace vantle {

void prepare_process() {
    // A reader that goes away (`vantle windows | head -1`) must not kill the
    // process; the write fails and the command keeps its own exit status.
    std::signal(SIGPIPE, SIG_IGN);
}

bool attach_parent_console() {
    return false;
}

}  // namespace vantle
