#include <windows.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>
#include <utility>

#include "record/stop_protocol.h"
#include "support/os_error.h"

namespace vantle {

namespace {

// "Local\" keeps the names private to the logon session.
std::wstring event_name(const RecordingId& id, const wchar_t* suffix) {
    std::wstring name = L"Local\\";
    for (const char c : rendezvous_name(id)) {
        name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));  // ids are ASCII
    }
    name += suffix;
    return name;
}

class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    void reset() {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = nullptr;
    }
    [[nodiscard]] HANDLE get() const { return handle_; }
    [[nodiscard]] bool valid() const {
        return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE handle_ = nullptr;
};

}  // namespace

struct RecordingEvents::State {
    // Declared in closing order reversed: members are destroyed last first, so
    // the stop handle closes before the done handle.
    Handle done;
    Handle stop;
};

RecordingEvents::RecordingEvents(std::unique_ptr<State> state) : state_(std::move(state)) {}
RecordingEvents::RecordingEvents(RecordingEvents&&) noexcept = default;
RecordingEvents& RecordingEvents::operator=(RecordingEvents&&) noexcept = default;
RecordingEvents::~RecordingEvents() = default;

bool RecordingEvents::stop_requested() const {
    return state_ && WaitForSingleObject(state_->stop.get(), 0) == WAIT_OBJECT_0;
}

void RecordingEvents::signal_done() {
    if (state_) {
        SetEvent(state_->done.get());
    }
}

CliResult<RecordingEvents> create_recording_events(const RecordingId& id) {
    auto state = std::make_unique<RecordingEvents::State>();
    // Manual reset, created clear; an existing event of that name is reused.
    state->stop = Handle(CreateEventW(nullptr, TRUE, FALSE, event_name(id, L".stop").c_str()));
    if (!state->stop.valid()) {
        return std::unexpected(could_not_create_events(last_os_error_text()));
    }
    state->done = Handle(CreateEventW(nullptr, TRUE, FALSE, event_name(id, L".done").c_str()));
    if (!state->done.valid()) {
        std::string text = last_os_error_text();
        return std::unexpected(could_not_create_events(text));
    }
    return RecordingEvents(std::move(state));
}

CliStatus request_stop(const RecordingId& id, std::chrono::nanoseconds timeout) {
    Handle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name(id, L".stop").c_str()));
    if (!stop.valid()) {
        return std::unexpected(no_recording_running(id));
    }
    Handle done(OpenEventW(SYNCHRONIZE, FALSE, event_name(id, L".done").c_str()));
    if (!done.valid()) {
        return std::unexpected(no_recording_running(id));
    }
    SetEvent(stop.get());
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const auto rest = timeout - whole;
    const long long milliseconds =
        whole.count() * 1000 + std::chrono::duration_cast<std::chrono::milliseconds>(rest).count();
    // INFINITE is 0xFFFFFFFF: a longer wait is cut just below it.
    const DWORD wait_ms = static_cast<DWORD>(std::clamp<long long>(milliseconds, 0, INFINITE - 1));
    // The id starts with the recorder's process id: a recorder that dies after
    // the request (killed, crashed) never signals done, and waiting on its
    // process as well tells that at once instead of after the timeout.
    DWORD pid = 0;
    const auto dash = id.find('-');
    const auto parsed = std::from_chars(id.data(), id.data() + id.size(), pid);
    Handle process(parsed.ec == std::errc{} && dash != std::string::npos &&
                           parsed.ptr == id.data() + dash
                       ? OpenProcess(SYNCHRONIZE, FALSE, pid)
                       : nullptr);
    DWORD waited = 0;
    if (process.valid()) {
        const HANDLE handles[2] = {done.get(), process.get()};
        waited = WaitForMultipleObjects(2, handles, FALSE, wait_ms);
        if (waited == WAIT_OBJECT_0 + 1) {
            // Done may have come just before the process ended.
            waited = WaitForSingleObject(done.get(), 0);
        }
    } else {
        waited = WaitForSingleObject(done.get(), wait_ms);
    }
    stop.reset();
    done.reset();
    if (waited == WAIT_OBJECT_0) {
        return {};
    }
    return std::unexpected(stop_not_finished(id, timeout));
}

}  // namespace vantle
