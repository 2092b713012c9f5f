#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "record/console_control.h"
#include "record/recording_id.h"
#include "record/stop_protocol.h"
#include "support/os_error.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Upper bounds that a working protocol never reaches; they only keep a broken
// one from hanging the suite.
constexpr seconds kGenerous{30};

void write_line(int fd, const std::string& text) {
    const std::string line = text + "\n";
    (void)!::write(fd, line.data(), line.size());
}

// A recording side in a child process. The child runs `body` with a pipe to
// the parent (for its id and progress marks) and a pipe from the parent (to
// be told when to close), then ends with _exit.
class ChildRecording {
  public:
    using Body = std::function<void(int to_parent, int from_parent)>;

    explicit ChildRecording(const Body& body) {
        int up[2];
        int down[2];
        EXPECT_EQ(::pipe(up), 0);
        EXPECT_EQ(::pipe(down), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            body(up[1], down[0]);
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        from_child_ = up[0];
        to_child_ = down[1];
    }
    ~ChildRecording() {
        release();
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(from_child_);
    }

    // The next line the child wrote, or "" at its end.
    std::string read_line() {
        std::string line;
        char c = 0;
        while (::read(from_child_, &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        return line;
    }
    // Whether a line is already waiting, without blocking.
    bool line_waiting() {
        pollfd polled{from_child_, POLLIN, 0};
        return ::poll(&polled, 1, 0) == 1;
    }
    void send_line(const std::string& text) { write_line(to_child_, text); }
    void release() {
        if (to_child_ >= 0) {
            ::close(to_child_);
            to_child_ = -1;
        }
    }
    void kill_hard() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int from_child_ = -1;
    int to_child_ = -1;
};

void wait_for_release(int from_parent) {
    char c = 0;
    while (::read(from_parent, &c, 1) > 0) {
    }
}

void wait_for_stop(const RecordingEvents& events) {
    while (!events.stop_requested()) {
        std::this_thread::sleep_for(milliseconds(5));
    }
}

TEST(RequestStop, AnswersOnlyAfterTheRecordingInAnotherProcessIsDone) {
    ChildRecording child([](int to_parent, int from_parent) {
        const std::string id = new_recording_id();
        auto events = create_recording_events(id);
        if (!events) {
            write_line(to_parent, "error " + events.error().message);
            return;
        }
        write_line(to_parent, id);
        wait_for_stop(*events);
        std::this_thread::sleep_for(milliseconds(100));  // finishing the file
        write_line(to_parent, "result printed");
        events->signal_done();
        wait_for_release(from_parent);
    });
    const std::string id = child.read_line();
    ASSERT_TRUE(is_recording_id(id)) << id;

    const auto stopped = request_stop(id, kGenerous);
    ASSERT_TRUE(stopped) << stopped.error().message;
    EXPECT_TRUE(child.line_waiting());
    EXPECT_EQ(child.read_line(), "result printed");
}

TEST(RequestStop, AKilledRecordingIsNotRunningOrUnfinishedAtOnce) {
    // Killed before anyone asks.
    {
        ChildRecording child([](int to_parent, int from_parent) {
            const std::string id = new_recording_id();
            auto events = create_recording_events(id);
            write_line(to_parent, events ? id : "error " + events.error().message);
            wait_for_release(from_parent);
        });
        const std::string id = child.read_line();
        ASSERT_TRUE(is_recording_id(id)) << id;
        child.kill_hard();
        EXPECT_EQ(request_stop(id, kGenerous),
                  std::unexpected(CliError::refused("no recording " + id + " is running")));
    }
    // Killed while a stopper waits for its file.
    {
        ChildRecording child([](int to_parent, int from_parent) {
            const std::string id = new_recording_id();
            auto events = create_recording_events(id);
            write_line(to_parent, events ? id : "error " + events.error().message);
            if (events) {
                wait_for_stop(*events);
                write_line(to_parent, "stop seen");
            }
            wait_for_release(from_parent);
        });
        const std::string id = child.read_line();
        ASSERT_TRUE(is_recording_id(id)) << id;
        auto stopper = std::async(std::launch::async, [&] { return request_stop(id, kGenerous); });
        EXPECT_EQ(child.read_line(), "stop seen");
        child.kill_hard();
        // The stop was taken, so the id was right: the file is what failed, and
        // that is known as soon as the connection ends, not after the timeout.
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(stopper.get(), std::unexpected(stop_not_finished(id, kGenerous)));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, kGenerous);
    }
}

TEST(RecordingEvents, AStaleSocketIsReplacedAndALiveOneIsNot) {
    // A recorder killed hard leaves its socket behind; a later process that
    // draws the same id (its pid reused) must still be able to record.
    std::string id;
    {
        ChildRecording child([](int to_parent, int from_parent) {
            const std::string drawn = new_recording_id();
            auto events = create_recording_events(drawn);
            write_line(to_parent, events ? drawn : "error " + events.error().message);
            wait_for_release(from_parent);
        });
        id = child.read_line();
        ASSERT_TRUE(is_recording_id(id)) << id;
        child.kill_hard();
    }
    auto events = create_recording_events(id);
    ASSERT_TRUE(events) << events.error().message;
    EXPECT_EQ(create_recording_events(id).error().message,
              "could not create the stop event: " + os_error_text(EADDRINUSE));
    auto stopper = std::async(std::launch::async, [&] { return request_stop(id, kGenerous); });
    while (!events->stop_requested()) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    events->signal_done();
    EXPECT_TRUE(stopper.get());
}

TEST(RequestStop, AnotherUserCanNeitherStopNorBeStopped) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    constexpr uid_t kNobody = 65534;
    // Root's recording, a stopper of another user. The stopper is forked before
    // the recording's server thread exists, so the fork copies a single thread.
    {
        ChildRecording stopper([](int to_parent, int from_parent) {
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
                write_line(to_parent, "error setuid");
                return;
            }
            std::string id;
            char c = 0;
            while (::read(from_parent, &c, 1) == 1 && c != '\n') {
                id.push_back(c);
            }
            const auto stopped = request_stop(id, kGenerous);
            write_line(to_parent, stopped ? "stopped" : stopped.error().message);
        });
        const std::string id = new_recording_id();
        auto events = create_recording_events(id);
        ASSERT_TRUE(events);
        stopper.send_line(id);
        EXPECT_EQ(stopper.read_line(), "no recording " + id + " is running");
        EXPECT_FALSE(events->stop_requested());
    }
    // Another user's recording, root as the stopper.
    ChildRecording child([](int to_parent, int from_parent) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            write_line(to_parent, "error setuid");
            return;
        }
        const std::string id = new_recording_id();
        auto events = create_recording_events(id);
        write_line(to_parent, events ? id : "error " + events.error().message);
        wait_for_release(from_parent);
        write_line(to_parent, events && events->stop_requested() ? "stopped" : "running");
    });
    const std::string id = child.read_line();
    ASSERT_TRUE(is_recording_id(id)) << id;
    EXPECT_EQ(request_stop(id, kGenerous),
              std::unexpected(CliError::refused("no recording " + id + " is running")));
    child.release();
    EXPECT_EQ(child.read_line(), "running");
}

using ConsoleControlDeathTest = ::testing::Test;

TEST(ConsoleControlDeathTest, InterruptSignalsSetTheFlagAndTheProcessGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(
            {
                if (interrupt_requested() || !install_console_control_handler()) {
                    ::_exit(2);
                }
                ::kill(::getpid(), signal_number);
                ::_exit(interrupt_requested() ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << "signal " << signal_number;
    }
}

}  // namespace
}  // namespace vantle
