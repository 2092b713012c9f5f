#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>

#include "support/logger.h"
#include "support/writer.h"

namespace vantle {
namespace {

TEST(Logger, WritesErrorsAndWarningsOnlyOneLineEach) {
    StringWriter sink;
    set_log_sink_for_testing(&sink);
    log_error("vantle_lib::capture", "the picture is gone");
    log_warn("vantle_lib::config", "config.json: unknown member \"x\"");
    log(LogLevel::kInfo, "vantle_lib::capture", "started");
    log(LogLevel::kDebug, "vantle_lib::capture", "frame 1");
    log(LogLevel::kTrace, "vantle_lib::capture", "tick");
    set_log_sink_for_testing(nullptr);
    EXPECT_EQ(sink.text(),
              "vantle: ERROR: the picture is gone\n"
              "vantle: WARN: config.json: unknown member \"x\"\n");
}

TEST(Logger, InstallsOnlyOnce) {
    (void)install_logger();
    EXPECT_FALSE(install_logger());
}

// Standard error moved onto a file for the length of one test.
class CapturedStandardError {
  public:
    CapturedStandardError()
        : path_(std::filesystem::temp_directory_path() /
                ("vantle-logger-" + std::to_string(::getpid()) + ".txt")) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        ::dup2(::fileno(file), STDERR_FILENO);
        std::fclose(file);
    }
    ~CapturedStandardError() {
        restore();
        std::filesystem::remove(path_);
    }
    std::string finish() {
        restore();
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::filesystem::path path_;
    int saved_ = -1;
};

// Both threads write at once, many times, so a record that went out in more
// than one piece would sooner or later be split by a line of the other.
TEST(Logger, LinesOfAnotherThreadNeverInterleaveWithTheMainThreads) {
    (void)install_logger();
    constexpr int kLines = 2000;
    const std::string logged(500, 'L');
    const std::string written(500, 'M');
    CapturedStandardError captured;
    std::latch start(2);
    std::thread other([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kLines; ++i) {
            log_warn("vantle_lib::platform::x11", logged);
        }
    });
    start.arrive_and_wait();
    for (int i = 0; i < kLines; ++i) {
        (void)standard_error().write("vantle: " + written + "\n");
    }
    other.join();
    const std::string text = captured.finish();

    int logged_lines = 0;
    int written_lines = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line == "vantle: WARN: " + logged) {
            ++logged_lines;
        } else if (line == "vantle: " + written) {
            ++written_lines;
        } else {
            ADD_FAILURE() << "a mixed line of " << line.size() << " bytes";
        }
    }
    EXPECT_EQ(logged_lines, kLines);
    EXPECT_EQ(written_lines, kLines);
}

}  // namespace
}  // namespace vantle
