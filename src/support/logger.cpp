#include "support/logger.h"

#include <atomic>
#include <string>

#include "support/writer.h"

namespace vantle {

namespace {

std::atomic<bool> g_installed{false};
std::atomic<int> g_max_level{0};
std::atomic<Writer*> g_test_sink{nullptr};

}  // namespace

bool install_logger() {
    bool expected = false;
    if (!g_installed.compare_exchange_strong(expected, true)) {
        return false;
    }
    g_max_level.store(static_cast<int>(LogLevel::kWarn));
    return true;
}

void set_log_sink_for_testing(Writer* sink) {
    g_test_sink.store(sink);
}

void log(LogLevel level, std::string_view /*target*/, std::string_view message) {
    Writer* sink = g_test_sink.load();
    if (sink == nullptr) {
        if (!g_installed.load()) {
            return;
        }
        sink = &standard_error();
    }
    if (static_cast<int>(level) > g_max_level.load() && g_test_sink.load() == nullptr) {
        return;
    }
    if (level != LogLevel::kError && level != LogLevel::kWarn) {
        return;
    }
    std::string line = "vantle: ";
    line += level == LogLevel::kError ? "ERROR" : "WARN";
    line += ": ";
    line += message;
    line += '\n';
    // One write per record: the writer serialises whole records.
    (void)sink->write(line);
}

}  // namespace vantle
