#include <gtest/gtest.h>

#include <filesystem>

#include "automation/run/runner.h"
#include "fakes/fake_platform.h"
#include "fakes/temp_directory.h"
#include "support/json_line.h"
#include "support/writer.h"

namespace vantle {
namespace {

namespace fs = std::filesystem;

class EmptyReader final : public Reader {
  public:
    std::ptrdiff_t read(std::span<char>) override { return 0; }
};

// The runner's capture branch in a fresh current directory.
class CaptureCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path fresh = testing::make_temp_directory("vantle-capture-cmd");
        previous_ = fs::current_path();
        fs::current_path(fresh);
        dir_ = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::uint32_t run(Capture command) {
        EmptyReader in;
        return run_command(std::move(command), platform_, in, out_, err_);
    }

    fs::path previous_;
    fs::path dir_;
    std::shared_ptr<testing::FakePlatform> platform_ = testing::make_standard_desktop();
    StringWriter out_;
    StringWriter err_;
};

TEST_F(CaptureCommandTest, PrintsTheAbsolutePath) {
    Capture command;
    command.out = "./shot.png";
    command.target = WindowTarget{"Untitled - Notepad", "Notepad"};
    EXPECT_EQ(run(command), 0u);
    EXPECT_EQ(out_.text(), (dir_ / "shot.png").string() + "\n");
    EXPECT_EQ(err_.text(), "");
    EXPECT_TRUE(fs::exists(dir_ / "shot.png"));
    EXPECT_FALSE(fs::exists(dir_ / "shot.png.vantle-tmp"));
}

TEST_F(CaptureCommandTest, PrintsTheResultObjectWithJson) {
    Capture command;
    command.out = "shot.png";
    command.target = RegionTarget{{1900, 0, 40, 40}};
    command.allow_desktop = true;
    command.json = true;
    EXPECT_EQ(run(command), 0u);
    EXPECT_EQ(
        out_.text(),
        R"({"height":40,"monitor":1,"path":)" + json_text((dir_ / "shot.png").string()) +
            R"(,"target":{"kind":"region","pid":null,"process":null,"title":null},"width":40})"
            "\n");
    EXPECT_EQ(err_.text(), "");
}

TEST_F(CaptureCommandTest, FailuresGoToStandardErrorWithTheirStatus) {
    Capture command;
    command.out = "shot.png";
    command.target = MonitorTarget{0};
    command.json = true;
    EXPECT_EQ(run(command), 2u);
    EXPECT_EQ(out_.text(), "");
    EXPECT_EQ(err_.text(),
              "vantle: a monitor or region capture shows the whole desktop, so it needs "
              "--allow-desktop\n");

    command.target = WindowTarget{"Calculator", {}};
    EXPECT_EQ(run(command), 3u);
    EXPECT_EQ(out_.text(), "");
    EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace
}  // namespace vantle
