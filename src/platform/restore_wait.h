#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "support/cli_error.h"

// The bounded wait after asking a window to restore, the same on every system:
// the window managers act on the request asynchronously, so the platforms poll
// the window's state until it is no longer minimized.
namespace vantle {

struct RestoreClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::chrono::milliseconds)> sleep;
};
inline constexpr std::chrono::milliseconds kRestoreLimit{2000};
inline constexpr std::chrono::milliseconds kRestorePoll{25};

// The steady clock and a sleep of the calling thread.
[[nodiscard]] RestoreClock system_restore_clock();

// Polls `minimized` every kRestorePoll until it is false; once the time is past
// kRestoreLimit from the start, "\"<title>\" would not restore".
[[nodiscard]] CliStatus wait_until_restored(const std::string& title,
                                            const std::function<bool()>& minimized,
                                            const RestoreClock& clock = system_restore_clock());

// How long a window that was not wholly on the screen is given to draw the
// parts that were not, once its picture is kept off-screen for a capture or a
// recording. Inside the recordings' three seconds for a first frame.
inline constexpr std::chrono::milliseconds kDrawLimit{1000};

// The failure when that time passes with parts of the window still undrawn.
[[nodiscard]] std::string not_drawn_message(std::string_view title);

}  // namespace vantle
