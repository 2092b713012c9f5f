#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vantle {
namespace {

namespace fs = std::filesystem;

// A run of vantle-record-fake with its standard output and error on pipes.
class Program {
  public:
    explicit Program(const std::vector<std::string>& arguments,
                     const std::vector<std::string>& extra_environment = {}) {
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> argv_text = {VANTLE_RECORD_FAKE};
        argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& text : argv_text) {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env_text = extra_environment;
        for (char** e = environ; *e != nullptr; ++e) {
            env_text.emplace_back(*e);
        }
        std::vector<char*> env;
        for (auto& text : env_text) {
            env.push_back(text.data());
        }
        env.push_back(nullptr);
        EXPECT_EQ(
            ::posix_spawn(&pid_, VANTLE_RECORD_FAKE, &actions, nullptr, argv.data(), env.data()),
            0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            (void)wait();
        }
        ::close(out_);
        ::close(err_);
    }

    // Reads standard error until `pattern` matches; returns the first group.
    std::string wait_on_stderr(const std::regex& pattern) {
        std::smatch match;
        while (!std::regex_search(err_text_, match, pattern)) {
            if (!read_some(err_, err_text_)) {
                ADD_FAILURE() << "standard error ended: " << err_text_;
                return {};
            }
        }
        return match[1];
    }
    // What standard output holds right now, without waiting for more.
    std::string stdout_so_far() {
        pollfd polled{out_, POLLIN, 0};
        while (::poll(&polled, 1, 0) == 1 && (polled.revents & POLLIN) != 0 &&
               read_some(out_, out_text_)) {
        }
        return out_text_;
    }
    void signal(int number) { ::kill(pid_, number); }
    // Waits for the end; returns the exit status, or 1000 + signal when killed.
    int wait() {
        while (read_some(out_, out_text_)) {
        }
        while (read_some(err_, err_text_)) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }
    [[nodiscard]] const std::string& out() const { return out_text_; }
    [[nodiscard]] const std::string& err() const { return err_text_; }

  private:
    static bool read_some(int fd, std::string& text) {
        char buffer[4096];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_text_;
    std::string err_text_;
};

const std::regex kAnnouncement(
    "vantle: recording started, id ([0-9]+-[0-9]+); stop it with `vantle-cli record --stop "
    "[0-9]+-[0-9]+` or Ctrl\\+C\n");

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct CliFixture : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vantle-record-cli-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    [[nodiscard]] std::string clip() const { return (dir / "clip.mp4").string(); }
};

using RecordCli = CliFixture;

TEST_F(RecordCli, StopFromAnotherProcessReturnsAfterTheResultIsPrinted) {
    Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip(), "--json"});
    const std::string id = recorder.wait_on_stderr(kAnnouncement);
    ASSERT_FALSE(id.empty());

    Program stopper({"record", "--stop", id, "--json"});
    EXPECT_EQ(stopper.wait(), 0) << stopper.err();
    EXPECT_EQ(stopper.out(), "{\"id\":\"" + id + "\",\"stopped\":true}\n");
    EXPECT_EQ(stopper.err(), "");

    // Both lines were out before the stopper heard that the file was done.
    const std::string printed = recorder.stdout_so_far();
    EXPECT_EQ(recorder.wait(), 0) << recorder.err();
    EXPECT_EQ(printed, recorder.out());
    const std::regex two_lines(
        "\\{\"event\":\"started\",\"id\":\"" + id +
        "\"\\}\n\\{\"frames\":[0-9]+,\"height\":48,\"id\":\"" + id +
        "\",\"monitor\":0,\"path\":\"" + clip() +
        "\",\"seconds\":[0-9]+\\.[0-9]+,\"target\":\\{\"kind\":\"window\",\"pid\":4242,"
        "\"process\":\"notepad.exe\",\"title\":\"Untitled - Notepad\"\\},\"width\":64\\}\n");
    EXPECT_TRUE(std::regex_match(recorder.out(), two_lines)) << recorder.out();
    EXPECT_TRUE(read_file(clip()).ends_with("\nfinished\n"));
    EXPECT_FALSE(fs::exists(clip() + ".vantle-tmp"));
}

TEST_F(RecordCli, AnInterruptFinishesTheFileAndExitsNormally) {
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        fs::remove(clip());
        Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip()});
        ASSERT_FALSE(recorder.wait_on_stderr(kAnnouncement).empty());
        recorder.signal(number);
        EXPECT_EQ(recorder.wait(), 0) << "signal " << number << ": " << recorder.err();
        EXPECT_EQ(recorder.out(), clip() + "\n");
        EXPECT_TRUE(read_file(clip()).ends_with("\nfinished\n")) << "signal " << number;
    }
}

TEST_F(RecordCli, AKilledRecordingIsNotRunningForAStopper) {
    Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip()});
    const std::string id = recorder.wait_on_stderr(kAnnouncement);
    ASSERT_FALSE(id.empty());
    recorder.signal(SIGKILL);
    EXPECT_EQ(recorder.wait(), 1000 + SIGKILL);

    Program stopper({"record", "--stop", id});
    EXPECT_EQ(stopper.wait(), 2);
    EXPECT_EQ(stopper.out(), "");
    EXPECT_EQ(stopper.err(), "vantle: no recording " + id + " is running\n");
}

TEST_F(RecordCli, ARecordingThatDiesAfterTakingTheStopIsReportedUnfinishedAtOnce) {
    Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip()});
    const std::string id = recorder.wait_on_stderr(kAnnouncement);
    ASSERT_FALSE(id.empty());
    // Paused, the recorder cannot answer; the stopper's connection and request
    // wait in its socket until it is killed.
    recorder.signal(SIGSTOP);
    const auto asked = std::chrono::steady_clock::now();
    Program stopper({"record", "--stop", id});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    recorder.signal(SIGKILL);
    EXPECT_EQ(recorder.wait(), 1000 + SIGKILL);

    EXPECT_EQ(stopper.wait(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(30));
    EXPECT_EQ(stopper.out(), "");
    EXPECT_EQ(stopper.err(), "vantle: recording " + id +
                                 " was asked to stop but has not finished its file after 60 s\n");
    EXPECT_FALSE(fs::exists(clip()));
}

TEST_F(RecordCli, MaxSecondsEndsTheRecordingByItself) {
    Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip(), "--fps", "7",
                      "--max-seconds", "0.1", "--json"});
    EXPECT_EQ(recorder.wait(), 0) << recorder.err();
    EXPECT_NE(recorder.out().find("\"frames\":1,"), std::string::npos) << recorder.out();
    EXPECT_NE(recorder.out().find("\"seconds\":0.143,"), std::string::npos) << recorder.out();
}

// An encoder slower than the rate (25 ms a frame at 60 fps) makes every tick
// after the first second late, however busy the machine is.
TEST_F(RecordCli, ARecordingThatFallsBehindSaysSoOnceWithAnUnchangedResult) {
    Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip(), "--fps", "60",
                      "--max-seconds", "1.5", "--json"},
                     {"VANTLE_FAKE_WRITE_MS=25"});
    EXPECT_EQ(recorder.wait(), 0) << recorder.err();
    EXPECT_TRUE(std::regex_match(
        recorder.err(),
        std::regex("vantle: recording started, id [^\n]*\n"
                   "vantle: WARN: the recording fell behind: 30 of the 30 frames after its first "
                   "second \\(100%\\) were taken late, by up to [0-9]+\\.[0-9] s; its 1\\.5 s of "
                   "video took [0-9]+\\.[0-9] s to record, so it plays [0-9]\\.[0-9]{2} times as "
                   "fast as it happened\n")))
        << recorder.err();
    EXPECT_TRUE(std::regex_match(recorder.out(),
                                 std::regex("\\{\"event\":\"started\",\"id\":\"[0-9-]+\"\\}\n"
                                            "\\{\"frames\":90,\"height\":[^\n]*\"seconds\":1\\.5,"
                                            "[^\n]*\\}\n")))
        << recorder.out();
}

TEST_F(RecordCli, NoFirstFrameFailsAndLeavesNoFile) {
    Program recorder({"record", "--window", "Untitled - Notepad", "--out", clip(), "--json"},
                     {"VANTLE_FAKE_NO_FRAME=1"});
    EXPECT_EQ(recorder.wait(), 1);
    EXPECT_EQ(recorder.out(), "");
    EXPECT_EQ(recorder.err(), "vantle: no frame arrived within 3 seconds; nothing was recorded\n");
    EXPECT_FALSE(fs::exists(clip()));
    EXPECT_FALSE(fs::exists(clip() + ".vantle-tmp"));
}

TEST_F(RecordCli, ASecondRecordingToTheSameFileIsRefusedAndTheFirstIsKept) {
    Program first({"record", "--window", "Untitled - Notepad", "--out", clip()});
    const std::string id = first.wait_on_stderr(kAnnouncement);
    ASSERT_FALSE(id.empty());
    // Another spelling of the same file, as a user might type it.
    const std::string same = (dir / "." / "clip.mp4").string();
    Program second({"record", "--window", "Untitled - Notepad", "--out", same, "--json"});
    EXPECT_EQ(second.wait(), 1);
    EXPECT_EQ(second.out(), "");
    EXPECT_EQ(second.err(), "vantle: another recording is writing " + clip() + "\n");

    Program stopper({"record", "--stop", id});
    EXPECT_EQ(stopper.wait(), 0) << stopper.err();
    EXPECT_EQ(first.wait(), 0) << first.err();
    EXPECT_EQ(first.out(), clip() + "\n");
    EXPECT_TRUE(read_file(clip()).ends_with("\nfinished\n"));
    EXPECT_FALSE(fs::exists(clip() + ".vantle-tmp"));
}

TEST_F(RecordCli, ADestinationThatCannotTakeTheFileFailsBeforeTheRecordingStarts) {
    std::ofstream(dir / "plain") << "a file, not a folder\n";
    const struct {
        fs::path out;
        std::string error;
    } cases[] = {
        {dir / "missing" / "clip.mp4", "No such file or directory (0x00000002)"},
        {dir / "plain" / "clip.mp4", "Not a directory (0x00000014)"},
    };
    for (const auto& c : cases) {
        Program recorder({"record", "--window", "Untitled - Notepad", "--out", c.out.string()});
        EXPECT_EQ(recorder.wait(), 1);
        // Not announced: nothing was started.
        EXPECT_EQ(recorder.err(),
                  "vantle: could not write " + c.out.string() + ": " + c.error + "\n");
        EXPECT_FALSE(fs::exists(c.out.string() + ".vantle-tmp"));
    }
}

TEST_F(RecordCli, StoppingAnUnknownRecordingIsRefused) {
    Program stopper({"record", "--stop", "1234-1", "--json"});
    EXPECT_EQ(stopper.wait(), 2);
    EXPECT_EQ(stopper.out(), "");
    EXPECT_EQ(stopper.err(), "vantle: no recording 1234-1 is running\n");
}

}  // namespace
}  // namespace vantle
