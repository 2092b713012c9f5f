#include <windows.h>

#include <thread>

#include "record/console_control.h"

namespace vantle {

namespace {

BOOL WINAPI console_control_handler(DWORD event) {
    const bool handled = handle_console_event(
        static_cast<std::uint32_t>(event),
        [](std::chrono::milliseconds step) { std::this_thread::sleep_for(step); });
    return handled ? TRUE : FALSE;
}

}  // namespace

bool install_console_control_handler() {
    return SetConsoleCtrlHandler(console_control_handler, TRUE) != FALSE;
}

}  // namespace vantle
