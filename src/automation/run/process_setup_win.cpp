#include <windows.h>

#include <cstdint>

#include "automation/run/process_setup.h"
#include "platform/win/system_library.h"

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

// Per-monitor awareness by the newest call the system has, so coordinates are
// physical pixels wherever it allows: the awareness context (Windows 10 1703),
// else shcore's per-monitor awareness (Windows 8.1), else system awareness
// (Windows 7, physical on a single scale). Only the first call that exists is
// made: it fails harmlessly when a manifest or an earlier call already chose
// the awareness, and an older call must not then choose a lesser one.
void declare_dpi_awareness() {
    if (Result<HMODULE> user32 = win::load_system_library("user32.dll")) {
        BOOL(WINAPI * set_context)(HANDLE) = nullptr;
        if (win::resolve_function(*user32, "SetProcessDpiAwarenessContext", set_context)) {
            // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2.
            (void)set_context(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-4)));
            return;
        }
    }
    if (Result<HMODULE> shcore = win::load_system_library("shcore.dll")) {
        HRESULT(WINAPI * set_awareness)(int) = nullptr;
        if (win::resolve_function(*shcore, "SetProcessDpiAwareness", set_awareness)) {
            constexpr int kPerMonitorDpiAware = 2;  // PROCESS_PER_MONITOR_DPI_AWARE
            (void)set_awareness(kPerMonitorDpiAware);
            return;
        }
    }
    (void)SetProcessDPIAware();
}

}  // namespace

void prepare_process() {
    declare_dpi_awareness();
    // The apartment stays joined until the process ends, so it is never left.
    (void)win::join_multithreaded_apartment();
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
