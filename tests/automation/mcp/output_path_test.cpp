#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "automation/mcp/output_path.h"

namespace vantle::mcp {
namespace {

std::tm march_7th() {
    std::tm t{};
    t.tm_year = 2025 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    return t;
}

TEST(ExpandFilenamePattern, ReplacesTheSixFieldsAndReservedCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"Vantle %Y-%m-%d %H-%M-%S", "Vantle 2025-03-07 14-05-09"},
        {"%Y/%m", "2025-03"},
        {"a\\b:c*d?e\"f<g>h|i\nj\rk", "a-b-c-d-e-f-g-h-i-j-k"},
        {"100% %y %Q", "100% %y %Q"},
        {"%%Y", "%2025"},
        {"", ""},
        {"fixed", "fixed"},
    };
    for (const auto& [pattern, stem] : cases) {
        EXPECT_EQ(expand_filename_pattern(pattern, march_7th()), stem) << pattern;
    }
    std::tm early = march_7th();
    early.tm_year = 999 - 1900;
    EXPECT_EQ(expand_filename_pattern("%Y", early), "0999");
}

class OutputFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("vantle-out-" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    void touch(const std::string& name) { std::ofstream(folder_ / name) << "x"; }
    SettingsProvider settings_with_save_dir(std::string save_dir, std::string pattern) {
        return [save_dir, pattern] {
            Config config = default_config();
            config.save_dir = save_dir;
            config.filename_pattern = pattern;
            return config;
        };
    }
    std::filesystem::path folder_;
};

TEST_F(OutputFolder, NumbersNamesPastFilesAndTheirTemporaries) {
    EXPECT_EQ(first_free_name(folder_, "shot", "png"), folder_ / "shot.png");
    touch("shot.png");
    EXPECT_EQ(first_free_name(folder_, "shot", "png"), folder_ / "shot (2).png");
    touch("shot (2).png.vantle-tmp");
    EXPECT_EQ(first_free_name(folder_, "shot", "png"), folder_ / "shot (3).png");
    std::filesystem::create_directory(folder_ / "shot (3).png");
    EXPECT_EQ(first_free_name(folder_, "shot", "png"), folder_ / "shot (4).png");
    EXPECT_EQ(first_free_name(folder_, "", "png"), folder_ / ".png");
}

TEST_F(OutputFolder, ResolvesOutOrAFreshNameInTheSaveFolder) {
    int loads = 0;
    const SettingsProvider counting = [&] {
        ++loads;
        return default_config();
    };
    auto given = resolve_output_path(nlohmann::json{{"out", "rel/shot.png"}}, counting, "png");
    ASSERT_TRUE(given.has_value());
    EXPECT_EQ(*given, std::filesystem::path("rel/shot.png"));
    EXPECT_EQ(loads, 0);

    auto upper = resolve_output_path(nlohmann::json{{"out", "shot.PNG"}}, counting, "png");
    EXPECT_EQ(upper.error(), "the output file must end in .png: `shot.PNG`");
    auto wrong = resolve_output_path(nlohmann::json{{"out", "clip.png"}}, counting, "mp4");
    EXPECT_EQ(wrong.error(), "the output file must end in .mp4: `clip.png`");

    const auto nested = folder_ / "a" / "b";
    auto fresh =
        resolve_output_path(nlohmann::json{{"out", 5}},
                            settings_with_save_dir("  " + nested.string() + " \t", "same"), "mp4");
    ASSERT_TRUE(fresh.has_value()) << fresh.error();
    EXPECT_EQ(*fresh, nested / "same.mp4");
    EXPECT_TRUE(std::filesystem::is_directory(nested));
}

TEST_F(OutputFolder, ReportsAFolderThatCannotBeMade) {
    touch("file");
    const auto blocked = folder_ / "file" / "sub";
    auto result = resolve_output_path(nlohmann::json::object(),
                                      settings_with_save_dir(blocked.string(), "x"), "png");
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().starts_with("could not create " + blocked.string() + ": "))
        << result.error();
    EXPECT_TRUE(result.error().ends_with(")")) << result.error();
}

TEST(DefaultSaveFolder, PrefersTheTrimmedSaveDir) {
    Config config = default_config();
    config.save_dir = " /data/shots ";
    EXPECT_EQ(default_save_folder(config), std::filesystem::path("/data/shots"));
    config.save_dir = " \t ";
    EXPECT_EQ(default_save_folder(config).filename(), "Vantle");
}

}  // namespace
}  // namespace vantle::mcp
