#include "platform/restore_wait.h"

#include <thread>

#include "support/utf.h"

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
            return std::unexpected(CliError::failed(double_quoted(title) + " would not restore"));
        }
        clock.sleep(kRestorePoll);
    }
    return {};
}

std::string not_drawn_message(std::string_view title) {
    return "the window " + double_quoted(title) +
           " did not draw itself in time: parts of it that were covered or off the screen were "
           "still unpainted after " +
           std::to_string(kDrawLimit.count()) + " ms, so its program may be busy or stopped";
}

}  // namespace vantle
