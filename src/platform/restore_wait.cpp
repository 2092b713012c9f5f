#include "platform/restore_wait.h"

#include <thread>

namespace vantle {

RestoreClock system_restore_clock() {
    return {[] { return std::chrono::steady_clock::now(); },
            [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }};
}

CliStatus wait_until_restored(const std::string& title, const std::function<bool()>& minimized,
                              const RestoreClock& clock) {
    const auto deadline = clock.now() + kRestoreLimit;
    while (minimized()) {
        if (clock.now() > deadline) {
            return std::unexpected(CliError::failed("\"" + title + "\" would not restore"));
        }
        clock.sleep(kRestorePoll);
    }
    return {};
}

}  // namespace vantle
