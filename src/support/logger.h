#pragma once

#include <string_view>

namespace vantle {

class Writer;

enum class LogLevel { kError = 1, kWarn = 2, kInfo = 3, kDebug = 4, kTrace = 5 };

// Installs the process logger on standard error with the maximum level WARN.
// Only the first call in a process installs; later calls change nothing and
// return false.
bool install_logger();

// Sends records to `sink` instead of standard error (nullptr restores it); for tests.
void set_log_sink_for_testing(Writer* sink);

// Writes "vantle: <LEVEL>: <message>\n" as one record when a logger is installed
// and `level` is within its maximum. `target` names the module that logs (such as
// "vantle_lib::config"); it is not printed. Safe from any thread.
void log(LogLevel level, std::string_view target, std::string_view message);

inline void log_error(std::string_view target, std::string_view message) {
    log(LogLevel::kError, target, message);
}
inline void log_warn(std::string_view target, std::string_view message) {
    log(LogLevel::kWarn, target, message);
}

}  // namespace vantle
