#pragma once

namespace vantle {

// Prepares the process for a command before anything else runs. Windows:
// per-monitor DPI awareness (version 2), so every coordinate is a physical
// pixel, and the multithreaded Windows Runtime apartment on this thread.
// POSIX: a write to a closed pipe becomes a failed write instead of a signal
// that ends the process. Every failure is ignored.
void prepare_process();

// Windowed build only: attaches to the parent's console when neither standard
// output nor standard error was handed to the process, and opens the console
// for each one that is missing. True when the process is now attached. Always
// false where programs are not split into console and windowed ones.
[[nodiscard]] bool attach_parent_console();

}  // namespace vantle
