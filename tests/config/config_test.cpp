#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "config/known_folder.h"
#include "support/logger.h"
#include "support/writer.h"

namespace vantle {
namespace {

struct GoodCase {
    const char* name;
    std::string text;
    Config expected;
};

Config with(auto change) {
    Config config = default_config();
    change(config);
    return config;
}

TEST(ParseConfig, ReadsValidFiles) {
    const GoodCase cases[] = {
        {"empty object", "{}", default_config()},
        {"white space around", " \t\r\n{ }\n\n", default_config()},
        {"one key", R"({"automation_allow_desktop": true})",
         with([](Config& c) { c.automation_allow_desktop = true; })},
        {"unknown keys with any value",
         R"({"theme": {"a": [1, {"b": null}]}, "x": [[]], "save_dir": "D:\\shots", "y": -1.5e3})",
         with([](Config& c) { c.save_dir = "D:\\shots"; })},
        {"every field",
         R"({"hotkey_region":"a","hotkey_full":"b","hotkey_screen":"c","save_dir":"d","format":"jpg",)"
         R"("jpeg_quality":255,"copy_to_clipboard":false,"ask_where_to_save":false,)"
         R"("filename_pattern":"p %Y","dim":1,"autostart":true,"hotkey_record":"r",)"
         R"("automation_allow_desktop":true})",
         Config{"a", "b", "c", "d", "jpg", 255, false, false, "p %Y", 1.0, true, "r", true}},
        {"jpeg quality zero", R"({"jpeg_quality": 0})",
         with([](Config& c) { c.jpeg_quality = 0; })},
        {"escapes and non-ASCII", R"({"filename_pattern": "\u00e9\ud83d\ude00\n\/ü"})",
         with([](Config& c) { c.filename_pattern = "\xC3\xA9\xF0\x9F\x98\x80\n/\xC3\xBC"; })},
        {"dim with exponent", R"({"dim": 5e-1})", with([](Config& c) { c.dim = 0.5; })},
        // A number far beyond a double is only skipped where no field reads it (from an
        // earlier settings-fuzzer run, whose reference reader could not take it).
        {"huge number under an unknown key",
         R"({"2222222222222244jP=og2_auali==ty":15e4441101778489})", default_config()},
        {"keys are case-sensitive", R"({"Automation_Allow_Desktop": 5})", default_config()},
        {"array by position", R"(["x", "y"])", with([](Config& c) {
             c.hotkey_region = "x";
             c.hotkey_full = "y";
         })},
        {"empty array", "[]", default_config()},
        {"array of thirteen", R"(["a","b","c","d","e",1,false,false,"p",0.5,true,"r",true])",
         Config{"a", "b", "c", "d", "e", 1, false, false, "p", 0.5, true, "r", true}},
    };
    for (const GoodCase& c : cases) {
        auto parsed = parse_config(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.name << ": " << parsed.error();
        EXPECT_EQ(*parsed, c.expected) << c.name;
    }
}

struct BadCase {
    std::string text;
    std::string error;
};

TEST(ParseConfig, NamesTheFirstProblemWithItsPosition) {
    const BadCase cases[] = {
        {"", "EOF while parsing a value at line 1 column 1"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"{} x", "trailing characters at line 1 column 4"},
        {"{}{}", "trailing characters at line 1 column 3"},
        {"{\n  \"automation_allow_desktop\": true,\n  \"automation_allow_desktop\": false\n}",
         "duplicate field `automation_allow_desktop` at line 3 column 3"},
        {R"({"automation_allow_desktop": "yes"})",
         "invalid type: string \"yes\", expected a boolean at line 1 column 30"},
        {R"({"save_dir": null})", "invalid type: null, expected a string at line 1 column 14"},
        {R"({"jpeg_quality": 300, "automation_allow_desktop": true})",
         "invalid value: integer `300`, expected u8 at line 1 column 18"},
        {R"({"jpeg_quality": -1})", "invalid value: integer `-1`, expected u8 at line 1 column 18"},
        {R"({"jpeg_quality": 9.0})",
         "invalid type: floating point `9.0`, expected u8 at line 1 column 18"},
        {R"({"dim": "0.5"})", "invalid type: string \"0.5\", expected f64 at line 1 column 9"},
        {R"({"dim": 1e999})", "number out of range at line 1 column 9"},
        {R"({"dim": 15e4441101778489})", "number out of range at line 1 column 9"},
        // Decoded control and line-breaking characters are escaped: the warning stays one line.
        {R"({"automation_allow_desktop": "a\nb\r\t\u0000\u001b\u0085\u2028"})",
         "invalid type: string \"a\\nb\\r\\t\\u0000\\u001b\\u0085\\u2028\", expected a boolean at "
         "line 1 column 30"},
        // A raw NUL byte is no JSON white space (found by the settings fuzzer).
        {std::string("{} \0x", 5), "trailing characters at line 1 column 4"},
        {R"({"autostart": 1})",
         "invalid type: integer `1`, expected a boolean at line 1 column 15"},
        {R"({"format": ["png"]})", "invalid type: sequence, expected a string at line 1 column 12"},
        {"\"text\"", "invalid type: string \"text\", expected struct Config at line 1 column 1"},
        {"  42", "invalid type: integer `42`, expected struct Config at line 1 column 3"},
        {"null", "invalid type: null, expected struct Config at line 1 column 1"},
        {R"(["a","b","c","d","e",1,false,false,"p",0.5,true,"r",true,1])",
         "invalid length, expected at most 13 elements in the array at line 1 column 58"},
        {R"([1])", "invalid type: integer `1`, expected a string at line 1 column 2"},
        {"{\"a\": 1,}", "trailing comma at line 1 column 9"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{a: 1}", "key must be a string at line 1 column 2"},
        {"{\"a\": 1", "EOF while parsing an object at line 1 column 8"},
        {"{\"a\": tru}", "expected ident at line 1 column 10"},
        {"{\"a\": 01}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\": \"x\ty\"}",
         "control character (\\u0000-\\u001F) found while parsing a string "
         "at line 1 column 9"},
        {"{\"a\": \"\\ud800\"}", "lone leading surrogate in hex escape at line 1 column 8"},
        {"{\"a\": \"\xFF\"}", "invalid unicode code point at line 1 column 8"},
        {"{\"é\": \"\xFF\"}", "invalid unicode code point at line 1 column 8"},
        {std::string(200, '[') + std::string(200, ']'),
         "recursion limit exceeded at line 1 column 129"},
        {"{\"x\":" + std::string(200, '[') + std::string(200, ']') + "}",
         "recursion limit exceeded at line 1 column 133"},
    };
    for (const BadCase& c : cases) {
        auto parsed = parse_config(c.text);
        ASSERT_FALSE(parsed.has_value()) << c.text;
        EXPECT_EQ(parsed.error(), c.error) << c.text;
    }
}

// A temporary folder with a config.json, and the log lines written while loading.
class LoadSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("vantle-config-test-" +
                   std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        set_log_sink_for_testing(&log_);
    }
    void TearDown() override {
        set_log_sink_for_testing(nullptr);
        std::filesystem::remove_all(folder_);
    }
    std::filesystem::path write(const std::string& text) {
        const auto path = folder_ / "config.json";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::filesystem::path folder_;
    StringWriter log_;
};

TEST_F(LoadSettings, MissingFileGivesDefaultsSilently) {
    EXPECT_EQ(load_settings_from(folder_ / "config.json"), default_config());
    EXPECT_EQ(load_settings_from(folder_), default_config());
    EXPECT_EQ(log_.text(), "");
}

TEST_F(LoadSettings, ReadsTheFile) {
    const Config config = load_settings_from(write(R"({"automation_allow_desktop":true})"));
    EXPECT_TRUE(config.automation_allow_desktop);
    EXPECT_EQ(log_.text(), "");
}

TEST_F(LoadSettings, TheWarningStaysOneLineWhateverTheFileHolds) {
    const Config config = load_settings_from(write(R"({"autostart": "on\nand\u2028off"})"));
    EXPECT_EQ(config, default_config());
    EXPECT_EQ(log_.text(),
              "vantle: WARN: config.json unreadable (invalid type: string "
              "\"on\\nand\\u2028off\", expected a boolean at line 1 column 15); falling back "
              "to defaults\n");
}

TEST_F(LoadSettings, ABadFieldThisProgramIgnoresStillDiscardsTheWholeFile) {
    const Config config =
        load_settings_from(write(R"({"automation_allow_desktop":true,"jpeg_quality":300})"));
    EXPECT_EQ(config, default_config());
    EXPECT_EQ(log_.text(),
              "vantle: WARN: config.json unreadable (invalid value: integer `300`, expected u8 at "
              "line 1 column 49); falling back to defaults\n");
}

// The file is read for every request, so its size is bounded before any of it
// is parsed: a file at the bound still counts, one byte more is refused with
// the warning, and a huge (sparse) one is refused after a bounded read.
TEST_F(LoadSettings, AFileLargerThanTheBoundIsNotParsed) {
    const std::string settings = R"({"automation_allow_desktop":true})";
    const std::string padded = settings + std::string(kMaxSettingsBytes - settings.size(), ' ');
    EXPECT_TRUE(load_settings_from(write(padded)).automation_allow_desktop);
    EXPECT_EQ(log_.text(), "");

    const std::string warning =
        "vantle: WARN: config.json unreadable (the file is larger than 1048576 bytes); falling "
        "back to defaults\n";
    EXPECT_EQ(load_settings_from(write(padded + " ")), default_config());
    EXPECT_EQ(log_.text(), warning);

    const std::filesystem::path huge = write(settings);
    std::filesystem::resize_file(huge, std::uintmax_t{256} << 20);
    EXPECT_EQ(load_settings_from(huge), default_config());
    EXPECT_EQ(log_.text(), warning + warning);
}

}  // namespace
}  // namespace vantle
