#include <windows.h>
// After windows.h, which it needs.
#include <roapi.h>

#include "automation/run/process_setup.h"

namespace vantle {

namespace {

bool is_present(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

void open_console_output(DWORD which) {
    HANDLE handle =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!is_present(handle)) {
        return;
    }
    // The handle stays open for the life of the process as the stream itself.
    if (!SetStdHandle(which, handle)) {
        CloseHandle(handle);
    }
}

}  // namespace

void prepare_process() {
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2; fails harmlessly when a
    // manifest or an earlier call already chose the awareness.
    (void)SetProcessDpiAwarenessContext(reinterpret_cast<DPI_AWARENESS_CONTEXT>(-4));
    // The apartment stays joined until the process ends, so it is never left.
    (void)RoInitialize(RO_INIT_MULTITHREADED);
}

bool attach_parent_console() {
    const bool has_output = is_present(GetStdHandle(STD_OUTPUT_HANDLE));
    const bool has_error = is_present(GetStdHandle(STD_ERROR_HANDLE));
    if (has_output && has_error) {
        return false;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return false;
    }
    if (!has_output) {
        open_console_output(STD_OUTPUT_HANDLE);
    }
    if (!has_error) {
        open_console_output(STD_ERROR_HANDLE);
    }
    return true;
}

}  // namespace vantle
