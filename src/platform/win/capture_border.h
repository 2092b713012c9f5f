#pragma once

#include <mutex>
#include <optional>

// Whether a graphics-capture session may leave out the yellow border the
// system draws around what it captures. The session's border option (Windows
// 11 on) only takes effect once the program holds borderless access, which it
// asks the system for; this decision needs no Windows, so every build's tests
// reach it.
namespace vantle::win {

// The system's answer to the request for borderless capture.
enum class BorderlessAccess {
    kAllowed,
    kRefused,     // refused, or the request failed
    kUnanswered,  // no answer within the wait
    kNoRequest,   // the system has no such request
};

// What the decision asks of the system and of one capture session.
class CaptureBorder {
  public:
    virtual ~CaptureBorder() = default;
    // Whether the session has the border option at all.
    virtual bool has_border_option() = 0;
    // Asks the system for borderless access; waits a bounded time.
    virtual BorderlessAccess request_borderless_access() = 0;
    // Turns the session's border off; false when the session refuses.
    virtual bool leave_border_out() = 0;
};

// The answer, asked for once per process: the system keeps its answer for the
// program, and a capture must not wait for the request again and again.
class BorderlessAnswer {
  public:
    BorderlessAccess get(CaptureBorder& border);

  private:
    std::mutex mutex_;
    std::optional<BorderlessAccess> answer_;
};

// Leaves the border out where the system allows it: access is asked for only
// when the session has the border option, and the option is set when access
// was granted or the system has no request to make (as before the request
// existed). A refusal or no answer keeps the border; nothing here fails the
// capture. True when the border was turned off.
bool choose_capture_border(CaptureBorder& border, BorderlessAnswer& answer);

}  // namespace vantle::win
