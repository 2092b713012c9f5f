#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <set>
#include <sstream>

#include "automation/run/grammar.h"
#include "automation/run/options.h"
#include "automation/run/out_path.h"
#include "automation/run/usage.h"

namespace vantle {
namespace {

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream stream{std::string(line)};
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

CliResult<Command> parse(std::string_view line) {
    const std::vector<std::string> texts = split_words(line);
    return parse_command_line(texts);
}

std::string describe(const std::vector<std::string>& texts) {
    std::string text;
    for (const std::string& t : texts) {
        text += "[" + t + "]";
    }
    return text;
}

// Every failure message, each reached by the shortest command line that shows
// it; lines are split at spaces (the cases that need other tokens are below).
TEST(Grammar, ReportsEveryFailureWithItsMessage) {
    struct Case {
        std::string_view line;
        std::string_view message;
    } cases[] = {
        {"", "no command given"},
        {"frobnicate", "unknown command `frobnicate`"},
        {"Windows", "unknown command `Windows`"},
        {"-v", "unknown command `-v`"},
        {"windows json", "unexpected argument `json`"},
        {"windows -j", "unexpected argument `-j`"},
        {"windows -", "unexpected argument `-`"},
        {"windows --nonsense", "unknown option `--nonsense`"},
        {"windows --nonsense=1", "unknown option `--nonsense`"},
        {"windows --", "unknown option `--`"},
        {"windows --JSON", "unknown option `--JSON`"},
        {"capture --out", "--out needs a value"},
        {"windows --json=yes", "--json takes no value"},
        {"windows --json=", "--json takes no value"},
        {"windows --json --json", "--json given twice"},
        {"capture --out a.png --out a.png", "--out given twice"},
        {"windows --out a.png", "`windows` does not take --out"},
        {"mcp --json", "`mcp` does not take --json"},
        {"capture --window x --fps 5", "`capture` does not take --fps"},
        {"record --window x --delay-ms 5", "`record` does not take --delay-ms"},
        {"record --stop 99-1 --window x", "`record --stop` does not take --window"},
        {"record --stop 99-1 --fps 3", "`record --stop` does not take --fps"},
        {"record --stop 99", "`99` is not a recording id (they look like 1234-1)"},
        {"record --stop=", "`` is not a recording id (they look like 1234-1)"},
        {"record --monitor 1 --region 0,0,5,5 --out a.mp4",
         "give one target, not --monitor and --region"},
        {"capture --region 1,1,1,1 --window x", "give one target, not --window and --region"},
        {"capture --region 1,1,1,1 --monitor 0 --window x",
         "give one target, not --window and --monitor and --region"},
        {"capture --window= --out a.png", "--window needs the window's exact title"},
        {"capture --monitor 0 --process x --out a.png", "--process only goes with --window"},
        {"capture --monitor 0 --restore --out a.png", "--restore only goes with --window"},
        {"capture --restore --process x --out a.png", "--process only goes with --window"},
        {"capture --out a.png", "name a target: --window, --monitor or --region"},
        {"capture --restore", "--restore only goes with --window"},
        {"capture --monitor x --out a.png",
         "--monitor needs an index from `vantle windows`, not `x`"},
        {"capture --monitor -1 --out a.png",
         "--monitor needs an index from `vantle windows`, not `-1`"},
        {"capture --monitor 18446744073709551616 --out a.png",
         "--monitor needs an index from `vantle windows`, not `18446744073709551616`"},
        {"capture --region 0,0,0,10 --allow-desktop --out a.png",
         "--region is x,y,width,height in desktop pixels, not `0,0,0,10`"},
        {"capture --window x", "--out <file.png> is required"},
        {"record --window x", "--out <file.mp4> is required"},
        {"capture --window x --out=", "the output file must end in .png: ``"},
        {"capture --window x --out shot.PNG", "the output file must end in .png: `shot.PNG`"},
        {"record --window x --out a.png", "the output file must end in .mp4: `a.png`"},
        {"capture --window x --out a.png --delay-ms 1.5",
         "--delay-ms needs a whole number of milliseconds, not `1.5`"},
        {"capture --window x --out a.png --delay-ms -1",
         "--delay-ms needs a whole number of milliseconds, not `-1`"},
        {"capture --window x --out a.png --delay-ms=",
         "--delay-ms needs a whole number of milliseconds, not ``"},
        {"record --window x --out a.mp4 --fps 0", "--fps is 1 to 60, not `0`"},
        {"record --window x --out a.mp4 --fps 61", "--fps is 1 to 60, not `61`"},
        {"record --window x --out a.mp4 --fps -1", "--fps is 1 to 60, not `-1`"},
        {"record --window x --out a.mp4 --fps 4294967326", "--fps is 1 to 60, not `4294967326`"},
        {"record --window x --out a.mp4 --max-seconds 0",
         "--max-seconds needs a positive number, not `0`"},
        {"record --window x --out a.mp4 --max-seconds -2",
         "--max-seconds needs a positive number, not `-2`"},
        {"record --window x --out a.mp4 --max-seconds inf",
         "--max-seconds needs a positive number, not `inf`"},
        {"record --window x --out a.mp4 --max-seconds Infinity",
         "--max-seconds needs a positive number, not `Infinity`"},
        {"record --window x --out a.mp4 --max-seconds NaN",
         "--max-seconds needs a positive number, not `NaN`"},
        {"record --window x --out a.mp4 --max-seconds 1e999",
         "--max-seconds needs a positive number, not `1e999`"},
        {"record --window x --out a.mp4 --max-seconds 0x10",
         "--max-seconds needs a positive number, not `0x10`"},
        {"record --window x --out a.mp4 --max-seconds 1s",
         "--max-seconds needs a positive number, not `1s`"},
    };
    for (const Case& c : cases) {
        const auto result = parse(c.line);
        ASSERT_FALSE(result.has_value()) << c.line;
        EXPECT_EQ(result.error().message, c.message) << c.line;
        EXPECT_EQ(result.error().exit_code, ExitCode::kUsage) << c.line;
    }
}

// Where two checks could fail, the earlier one in the documented order wins.
TEST(Grammar, ReportsOnlyTheFirstFailureInCheckOrder) {
    struct Case {
        std::string_view line;
        std::string_view message;
    } cases[] = {
        // The scan runs to its first error before anything else is looked at.
        {"capture --out a.txt --bogus", "unknown option `--bogus`"},
        {"windows --bogus --json=1", "unknown option `--bogus`"},
        {"windows --json=1 --bogus", "--json takes no value"},
        // Disallowed options are named in name order, not typed order.
        {"windows --window a --fps 3", "`windows` does not take --fps"},
        {"capture --window x --stop 1-1 --fps 5", "`capture` does not take --fps"},
        {"record --stop 1-1 --window x --cursor", "`record --stop` does not take --cursor"},
        // The stop checks replace the record checks, options first, then the id.
        {"record --stop nope --fps 5", "`record --stop` does not take --fps"},
        // Allowed options, then target, then out, then numbers.
        {"capture --fps 5", "`capture` does not take --fps"},
        {"capture --out a.txt", "name a target: --window, --monitor or --region"},
        {"capture --window x --region 1 --out a.txt", "give one target, not --window and --region"},
        {"capture --monitor x --out a.txt",
         "--monitor needs an index from `vantle windows`, not `x`"},
        {"capture --window x --out a.txt --delay-ms x",
         "the output file must end in .png: `a.txt`"},
        {"record --window x --out a.mp4 --fps 0 --max-seconds 0", "--fps is 1 to 60, not `0`"},
        // Process before restore, both before the missing target.
        {"record --out a.mp4 --restore --process p", "--process only goes with --window"},
    };
    for (const Case& c : cases) {
        const auto result = parse(c.line);
        ASSERT_FALSE(result.has_value()) << c.line;
        EXPECT_EQ(result.error().message, c.message) << c.line;
    }
}

TEST(Grammar, TakesTokensThatSpacesCannotShow) {
    struct Case {
        std::vector<std::string> texts;
        std::string_view message;
    } cases[] = {
        {{"windows", ""}, "unexpected argument ``"},
        {{"record", "--stop", "12 -3"}, "`12 -3` is not a recording id (they look like 1234-1)"},
        {{"capture", "--region", "1, 2,3,4", "--out", "a.png"},
         "--region is x,y,width,height in desktop pixels, not `1, 2,3,4`"},
        {{"capture", "--window", "", "--out", "a.png"}, "--window needs the window's exact title"},
        {{"capture", "--window", "x", "--out", "a.png", "--delay-ms", " 5"},
         "--delay-ms needs a whole number of milliseconds, not ` 5`"},
        {{"record", "--window", "x", "--out", "a.mp4", "--max-seconds", " 1"},
         "--max-seconds needs a positive number, not ` 1`"},
        // Quoted input never breaks the one-line message (found by the command-line fuzzer).
        {{"windrecord\n\xD3\xD2ows"}, "unknown command `windrecord\\n\xD3\xD2ows`"},
        {{"windows", "--json\r\x1B[2J"}, "unknown option `--json\\r\\u001b[2J`"},
        {{"capture", "--window", "x", "--out", "a\tb.txt"},
         "the output file must end in .png: `a\\tb.txt`"},
        {{"record", "--window", "x", "--out", "a.mp4", "--fps", "5\xC2\x85\xE2\x80\xA8"},
         "--fps is 1 to 60, not `5\\u0085\\u2028`"},
    };
    for (const Case& c : cases) {
        const auto result = parse_command_line(c.texts);
        ASSERT_FALSE(result.has_value()) << describe(c.texts);
        EXPECT_EQ(result.error().message, c.message) << describe(c.texts);
    }
}

TEST(Grammar, HelpAndVersionIgnoreWhateverFollows) {
    for (std::string_view line : {"-h", "help", "--help", "--help whatever", "help --bogus"}) {
        EXPECT_EQ(parse(line), Command(Help{})) << line;
    }
    for (std::string_view line : {"-V", "version", "--version", "-V --nonsense"}) {
        EXPECT_EQ(parse(line), Command(Version{})) << line;
    }
}

TEST(Grammar, BuildsEachCommandWithItsFields) {
    EXPECT_EQ(parse("windows"), Command(Windows{.json = false}));
    EXPECT_EQ(parse("windows --json"), Command(Windows{.json = true}));
    EXPECT_EQ(parse("mcp"), Command(Mcp{}));
    EXPECT_EQ(parse("record --stop 99-1 --json"), Command(RecordStop{.id = "99-1", .json = true}));
    EXPECT_EQ(parse("record --json --stop=0-0"), Command(RecordStop{.id = "0-0", .json = true}));
    EXPECT_EQ(parse("record --stop 1234-1"), Command(RecordStop{.id = "1234-1", .json = false}));

    EXPECT_EQ(parse("capture --window Untitled --out shot.png"),
              Command(Capture{.out = "shot.png", .target = WindowTarget{"Untitled", {}}}));
    EXPECT_EQ(parse("capture --json --cursor --restore --delay-ms +250 --process=notepad.exe "
                    "--window=a=b --out=dir/a=b.png"),
              Command(Capture{.out = "dir/a=b.png",
                              .target = WindowTarget{"a=b", "notepad.exe"},
                              .delay_ms = 250,
                              .cursor = true,
                              .restore = true,
                              .json = true}));
    EXPECT_EQ(parse("capture --monitor 18446744073709551615 --allow-desktop --out m.png "
                    "--delay-ms 18446744073709551615"),
              Command(Capture{.out = "m.png",
                              .target = MonitorTarget{18446744073709551615u},
                              .delay_ms = 18446744073709551615u,
                              .allow_desktop = true}));
    EXPECT_EQ(parse("capture --region -10,-20,300,200 --out r.png"),
              Command(Capture{.out = "r.png", .target = RegionTarget{{-10, -20, 300, 200}}}));

    EXPECT_EQ(parse("record --window x --out a.mp4"),
              Command(Record{.out = "a.mp4", .target = WindowTarget{"x", {}}}));
    EXPECT_EQ(parse("record --region 0,0,2,2 --allow-desktop --cursor --json --fps +60 "
                    "--max-seconds 0.5 --out C:\\clips\\a.mp4"),
              Command(Record{.out = "C:\\clips\\a.mp4",
                             .target = RegionTarget{{0, 0, 2, 2}},
                             .fps = 60,
                             .max_seconds = 0.5,
                             .cursor = true,
                             .allow_desktop = true,
                             .json = true}));
}

TEST(Grammar, TakesTheNextTokenAsAValueWhateverItLooksLike) {
    const std::vector<std::string> texts = {"capture", "--window", "--json", "--process",
                                            "",        "--out",    "a.png"};
    EXPECT_EQ(parse_command_line(texts),
              Command(Capture{.out = "a.png", .target = WindowTarget{"--json", ""}}));
}

TEST(Grammar, ReadsRegions) {
    struct Case {
        std::string_view text;
        std::optional<Region> expected;
    } cases[] = {
        {"-10,-20,300,200", Region{-10, -20, 300, 200}},
        {"+5,+5,+5,+5", Region{5, 5, 5, 5}},
        {"-2147483648,2147483647,4294967295,1",
         Region{-2147483647 - 1, 2147483647, 4294967295u, 1}},
        {"0,0,1,1", Region{0, 0, 1, 1}},
        {"10,20,300", std::nullopt},
        {"10,20,300,200,", std::nullopt},
        {",20,300,200", std::nullopt},
        {"", std::nullopt},
        {"0,0,0,10", std::nullopt},
        {"0,0,10,0", std::nullopt},
        {"0,0,-5,5", std::nullopt},
        {"2147483648,0,1,1", std::nullopt},
        {"-2147483649,0,1,1", std::nullopt},
        {"0,0,4294967296,1", std::nullopt},
        {"0, 0,1,1", std::nullopt},
        {"++1,0,1,1", std::nullopt},
        {"-,0,1,1", std::nullopt},
        {"1.5,0,1,1", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_region(c.text), c.expected) << c.text;
    }
}

TEST(Grammar, ReadsIntegersStrictly) {
    struct Case {
        std::string_view text;
        std::optional<std::uint64_t> u64;
        std::optional<std::uint32_t> u32;
        std::optional<std::int32_t> i32;
    } cases[] = {
        {"0", 0, 0, 0},
        {"+7", 7, 7, 7},
        {"-7", std::nullopt, std::nullopt, -7},
        {"-0", std::nullopt, std::nullopt, 0},
        {"007", 7, 7, 7},
        {"", std::nullopt, std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt, std::nullopt},
        {"-", std::nullopt, std::nullopt, std::nullopt},
        {"+-1", std::nullopt, std::nullopt, std::nullopt},
        {"1 ", std::nullopt, std::nullopt, std::nullopt},
        {"0x1", std::nullopt, std::nullopt, std::nullopt},
        {"\xEF\xBC\x91", std::nullopt, std::nullopt, std::nullopt},  // a full-width 1
        {"2147483647", 2147483647u, 2147483647u, 2147483647},
        {"2147483648", 2147483648u, 2147483648u, std::nullopt},
        {"-2147483648", std::nullopt, std::nullopt, -2147483647 - 1},
        {"4294967295", 4294967295u, 4294967295u, std::nullopt},
        {"4294967296", 4294967296u, std::nullopt, std::nullopt},
        {"18446744073709551615", 18446744073709551615u, std::nullopt, std::nullopt},
        {"18446744073709551616", std::nullopt, std::nullopt, std::nullopt},
        {"99999999999999999999999", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_u64(c.text), c.u64) << c.text;
        EXPECT_EQ(read_u32(c.text), c.u32) << c.text;
        EXPECT_EQ(read_i32(c.text), c.i32) << c.text;
    }
}

TEST(Grammar, ReadsFloatingPointTextsAndTheWordsForInfinityAndNan) {
    struct Case {
        std::string_view text;
        std::optional<double> expected;
    } cases[] = {
        {"1", 1.0},
        {"2.5", 2.5},
        {".5", 0.5},
        {"5.", 5.0},
        {"1e3", 1000.0},
        {"1E-3", 0.001},
        {"+1.5e+2", 150.0},
        {"-2", -2.0},
        {"", std::nullopt},
        {".", std::nullopt},
        {"e3", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"--1", std::nullopt},
        {"0x1p3", std::nullopt},
        {"1,5", std::nullopt},
        {" 1", std::nullopt},
        {"in", std::nullopt},
        {"infinit", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_double(c.text), c.expected) << c.text;
    }
    for (std::string_view word : {"inf", "INF", "Infinity", "-inf", "+iNfInItY"}) {
        const auto value = read_double(word);
        ASSERT_TRUE(value.has_value()) << word;
        EXPECT_TRUE(std::isinf(*value)) << word;
    }
    for (std::string_view word : {"nan", "NAN", "-NaN"}) {
        const auto value = read_double(word);
        ASSERT_TRUE(value.has_value()) << word;
        EXPECT_TRUE(std::isnan(*value)) << word;
    }
}

TEST(Grammar, FindsTheExtensionOfTheFinalComponent) {
    struct Case {
        std::string_view path;
        std::optional<std::string_view> extension;
    } cases[] = {
        {"shot.png", "png"},
        {"dir.d/shot.png", "png"},
        {"C:\\shots\\a.b.png", "png"},
        {"a..png", "png"},
        {"shot.", ""},
        {"shot.PNG", "PNG"},
        {"dir.png/shot", std::nullopt},
        {"dir.png\\shot", std::nullopt},
        {".png", std::nullopt},
        {"dir/.png", std::nullopt},
        {"..", std::nullopt},
        {"a/..", std::nullopt},
        {"C:.png", std::nullopt},
        {"C:a.png", "png"},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(path_extension(c.path), c.extension) << c.path;
    }
    EXPECT_TRUE(has_extension("a.mp4", "mp4"));
    EXPECT_FALSE(has_extension("a.MP4", "mp4"));
    EXPECT_FALSE(has_extension(".mp4", "mp4"));
}

// The usage text is fixed to the byte; its shape is checked here and its
// whole content by the transcript of `vantle --help`.
TEST(Usage, HasFifteenLinesAndNoLineFeedOfItsOwn) {
    const std::string_view usage = usage_text();
    EXPECT_FALSE(usage.ends_with('\n'));
    EXPECT_TRUE(usage.ends_with("docs/AUTOMATION.md has the details."));
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = usage.find('\n', start)) != std::string_view::npos;
         start = end + 1) {
        lines.push_back(usage.substr(start, end - start));
    }
    lines.push_back(usage.substr(start));
    ASSERT_EQ(lines.size(), 15u);
    for (std::size_t i : {3u, 5u, 7u}) {
        EXPECT_TRUE(lines[i].starts_with(std::string(16, ' ') + "[")) << lines[i];
    }
    EXPECT_TRUE(lines[12].empty());
}

// The usage and the option table must agree: every option a usage line shows
// is one its command takes, and every option appears somewhere.
TEST(Usage, ShowsOnlyOptionsTheirCommandsTake) {
    const std::string usage(usage_text());
    const std::regex command_line(R"(^  vantle (\w+))");
    const std::regex option(R"(--[a-z-]+)");
    std::set<std::string> shown;
    // The command of the current usage line as its OptionUser bit; 0 outside one.
    // (A plain byte rather than an optional: GCC 12 at -O3 warns falsely on the latter.)
    std::uint8_t user = 0;
    const auto bit = [](OptionUser u) { return static_cast<std::uint8_t>(u); };
    std::istringstream stream(usage);
    for (std::string line; std::getline(stream, line);) {
        std::smatch match;
        if (std::regex_search(line, match, command_line)) {
            const std::string word = match[1];
            user = word == "windows"   ? bit(OptionUser::kWindows)
                   : word == "capture" ? bit(OptionUser::kCapture)
                   : word == "record"  ? bit(OptionUser::kRecord)
                   : word == "mcp"     ? bit(OptionUser::kMcp)
                                       : std::uint8_t{0};
            if (user == bit(OptionUser::kRecord) && line.find("--stop") != std::string::npos) {
                user = bit(OptionUser::kRecordStop);
            }
        } else if (!line.starts_with("                ")) {
            user = 0;
        }
        for (auto it = std::sregex_iterator(line.begin(), line.end(), option);
             it != std::sregex_iterator(); ++it) {
            const std::string name = it->str();
            shown.insert(name);
            if (user == 0) {
                continue;
            }
            const auto known = find_option(name);
            ASSERT_TRUE(known.has_value()) << name;
            EXPECT_TRUE((known->commands & user) != 0) << line;
        }
    }
    for (const OptionInfo& known : option_table()) {
        EXPECT_TRUE(shown.contains(std::string(known.name))) << known.name;
    }
}

TEST(Options, AllowedListsMatchTheCommands) {
    const auto names_for = [](OptionUser user) {
        std::vector<std::string_view> names;
        for (const OptionInfo& known : option_table()) {
            if (known.used_by(user)) {
                names.push_back(known.name);
            }
        }
        return names;
    };
    using V = std::vector<std::string_view>;
    EXPECT_EQ(names_for(OptionUser::kWindows), (V{"--json"}));
    EXPECT_EQ(names_for(OptionUser::kMcp), V{});
    EXPECT_EQ(names_for(OptionUser::kRecordStop), (V{"--json", "--stop"}));
    EXPECT_EQ(names_for(OptionUser::kCapture),
              (V{"--allow-desktop", "--cursor", "--delay-ms", "--json", "--monitor", "--out",
                 "--process", "--region", "--restore", "--window"}));
    EXPECT_EQ(names_for(OptionUser::kRecord),
              (V{"--allow-desktop", "--cursor", "--fps", "--json", "--max-seconds", "--monitor",
                 "--out", "--process", "--region", "--restore", "--window"}));
}

TEST(LocateOutValue, FindsTheTokenTheGrammarTookTheValueFrom) {
    using Found = std::optional<std::pair<std::size_t, std::size_t>>;
    const struct {
        std::vector<std::string> texts;
        Found expected;
    } cases[] = {
        {{"capture", "--window", "A", "--out", "a.png"}, Found{{4, 0}}},
        {{"record", "--out=a.mp4", "--window", "A"}, Found{{1, 6}}},
        // A value that looks like the option is still a value.
        {{"capture", "--window", "--out", "--out", "b.png"}, Found{{4, 0}}},
        {{"capture", "--window", "--out=x", "--out=c.png"}, Found{{3, 6}}},
        {{"windows", "--json"}, Found{}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(locate_out_value(c.texts), c.expected) << c.texts[1];
    }
}

}  // namespace
}  // namespace vantle
