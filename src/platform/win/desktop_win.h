#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <vector>

#include "platform/records.h"
#include "platform/win/desktop_rules.h"
#include "support/error.h"

// Windows and monitors of the live desktop, read afresh on every call.
namespace vantle::win {

// Every monitor handle in the system's order.
[[nodiscard]] Result<std::vector<HMONITOR>> monitor_handles();

// The monitor's device name, primary flag and current display mode (not its
// rcMonitor: the mode is what a screen copy delivers).
[[nodiscard]] Result<MonitorReading> read_monitor(HMONITOR monitor);

[[nodiscard]] Result<std::vector<MonitorInfo>> list_monitors();

// The listable top-level windows, topmost first, leaving out the windows of
// process `excluded_pid` (the program's own, except in tests).
[[nodiscard]] Result<std::vector<WindowInfo>> list_windows(const std::vector<MonitorInfo>& monitors,
                                                           std::uint32_t excluded_pid);

[[nodiscard]] inline HWND window_handle(const WindowInfo& window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window.handle));
}

}  // namespace vantle::win
