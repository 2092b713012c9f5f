#include <signal.h>

#include "record/console_control.h"

namespace vantle {

namespace {

void on_interrupt_signal(int /*signal*/) {
    request_interrupt();
}

}  // namespace

bool install_console_control_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt_signal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep reads and writes of other threads from failing with EINTR.
    action.sa_flags = SA_RESTART;
    bool installed = true;
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        installed = ::sigaction(signal_number, &action, nullptr) == 0 && installed;
    }
    return installed;
}

}  // namespace vantle
