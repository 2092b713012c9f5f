#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace vantle {

// Process-wide flags of the command-line recording. Both start clear and are
// never cleared again; reading and writing them is async-signal-safe.
[[nodiscard]] bool interrupt_requested();
void request_interrupt();
[[nodiscard]] bool recording_finished();
void set_recording_finished();

// Installs the process's interrupt handling for a command-line recording: on
// Windows a console control handler (Ctrl+C, Ctrl+Break, console close), on
// POSIX handlers for SIGINT, SIGTERM and SIGHUP. Each only sets the interrupt
// flag, so the recording finishes its file and the command ends normally.
// Returns false when the system refused; callers ignore that.
bool install_console_control_handler();

// What the console handler does with a console event code (0 Ctrl+C, 1
// Ctrl+Break, 2 console close, others logoff or shutdown); true when handled.
// For a close it waits, through `sleep`, up to 45 x 100 ms for the recording
// to finish, since the system ends the process as soon as the handler returns.
bool handle_console_event(std::uint32_t event,
                          const std::function<void(std::chrono::milliseconds)>& sleep);

}  // namespace vantle
