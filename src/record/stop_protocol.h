#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "record/recorder.h"
#include "record/recording_id.h"
#include "support/cli_error.h"

namespace vantle {

// How long `vantle record --stop` waits for the recording to finish its file.
inline constexpr std::chrono::seconds kStopTimeout{60};

// The recording side of a recording's stop and done rendezvous. On Windows
// these are the manual-reset events "Local\invalid.vantle.app.record.<id>.stop"
// and ".done"; on Linux one Unix socket of that stem in a folder where only
// this user can create names, which only the same user can reach and which
// stops answering when the process dies. Either way: stop
// turns signalled once and stays so; done, once signalled, stays signalled until
// this object is destroyed, so a stop request that arrives after it succeeds at
// once. Destroying the object makes the recording unreachable.
class RecordingEvents {
  public:
    struct State;  // the system's handles

    explicit RecordingEvents(std::unique_ptr<State> state);
    RecordingEvents(RecordingEvents&&) noexcept;
    RecordingEvents& operator=(RecordingEvents&&) noexcept;
    ~RecordingEvents();

    // Whether somebody asked this recording to stop. Never waits; safe from any thread.
    [[nodiscard]] bool stop_requested() const;
    // Marks the recording's output as final and answers every waiting stopper.
    // A failure is ignored. Safe to call more than once.
    void signal_done();

  private:
    std::unique_ptr<State> state_;
};

// Creates the rendezvous for `id`. Fails with "could not create the stop event:
// <error>" (exit code 1).
[[nodiscard]] CliResult<RecordingEvents> create_recording_events(const RecordingId& id);

// Asks the recording `id` of this user to stop and waits up to `timeout` for
// its file to be done. Fails with "no recording <id> is running" (exit code 2)
// when it cannot be reached, and with "recording <id> was asked to stop but has
// not finished its file after <s> s" (exit code 1) when done does not come in
// time (the stop request then stays in force) or, at once, when the recording
// took the request and then ended without its file done (its process died).
[[nodiscard]] CliStatus request_stop(const RecordingId& id, std::chrono::nanoseconds timeout);

// The command line's predicate: an interrupt (Ctrl+C, a console close, SIGINT,
// SIGTERM, SIGHUP) or a stop request. `events` must outlive the predicate.
[[nodiscard]] StopCheck command_line_stop_check(const RecordingEvents& events);

// The automation server's predicate: the recording's own stop flag (set by the
// server) or a stop request from another process. `events` must outlive it.
[[nodiscard]] StopCheck automation_stop_check(std::shared_ptr<const std::atomic<bool>> stop_flag,
                                              const RecordingEvents& events);

// Shared by both systems: the texts of this protocol's failures.
[[nodiscard]] CliError no_recording_running(const RecordingId& id);
[[nodiscard]] CliError stop_not_finished(const RecordingId& id, std::chrono::nanoseconds timeout);
[[nodiscard]] CliError could_not_create_events(const std::string& error_text);
// The stem of every name the rendezvous uses: "invalid.vantle.app.record.<id>".
[[nodiscard]] std::string rendezvous_name(const RecordingId& id);

}  // namespace vantle
