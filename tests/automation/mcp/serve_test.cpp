#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "automation/mcp/server.h"
#include "automation/mcp/transport.h"
#include "fakes/fake_platform.h"
#include "support/paths.h"

namespace vantle {
namespace {

// Hands out the scripted chunks one read at a time, then the end of the input
// (or a read failure when `fail_at_end`).
class ScriptedReader final : public Reader {
  public:
    explicit ScriptedReader(std::vector<std::string> chunks, bool fail_at_end = false)
        : chunks_(std::move(chunks)), fail_at_end_(fail_at_end) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        if (next_ == chunks_.size()) {
            return fail_at_end_ ? -1 : 0;
        }
        const std::string& chunk = chunks_[next_++];
        const std::size_t length = std::min(chunk.size(), buffer.size());
        std::memcpy(buffer.data(), chunk.data(), length);
        return static_cast<std::ptrdiff_t>(length);
    }
    [[nodiscard]] std::size_t reads() const { return next_; }

  private:
    std::vector<std::string> chunks_;
    bool fail_at_end_;
    std::size_t next_ = 0;
};

class FailingWriter final : public Writer {
  public:
    bool write(std::string_view /*text*/) override {
        ++writes;
        return false;
    }
    bool flush() override { return false; }
    int writes = 0;
};

std::string serve(std::vector<std::string> chunks, bool fail_at_end = false) {
    McpServer server(testing::make_standard_desktop(), default_config);
    ScriptedReader input(std::move(chunks), fail_at_end);
    StringWriter output;
    EXPECT_EQ(server.serve(input, output), 0);
    return output.text();
}

const std::string kPong1 = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";
const std::string kPong2 = "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n";

TEST(Serve, FramesLinesWhateverTheReadsLookLike) {
    EXPECT_EQ(serve({"{\"id\":1,\"method\":\"ping\"}\r\n{\"id\":2,\"method\":\"ping\"}\n"}),
              kPong1 + kPong2);
    EXPECT_EQ(serve({"{\"id\":1,\"met", "hod\":\"ping\"}", "\n{\"id\":2,", "\"method\":\"ping\"}"}),
              kPong1 + kPong2);
}

TEST(Serve, SkipsBlankLinesIncludingUnicodeWhiteSpace) {
    EXPECT_EQ(
        serve({"\n \t \n\r\n\xC2\xA0\xE3\x80\x80\n\xE2\x80\xA8 {\"id\":1,\"method\":\"ping\"} "
               "\xC2\x85\r\n"}),
        kPong1);
}

TEST(Serve, AParseErrorDoesNotEndTheConnection) {
    EXPECT_EQ(serve({"{\"id\":1,\n{\"id\":1,\"method\":\"ping\"}\n"}),
              "{\"error\":{\"code\":-32700,\"message\":\"parse error: syntax error while parsing "
              "object key - unexpected end of input; expected string literal at line 1, column "
              "9\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n" +
                  kPong1);
}

TEST(Serve, TextAfterANulByteIsNotIgnored) {
    EXPECT_EQ(
        serve({std::string("{\"id\":2,\"method\":\"ping\"}\0{\"id\":3,\"method\":\"ping\"}\n", 50) +
               "{\"id\":1,\"method\":\"ping\"}\n"}),
        "{\"error\":{\"code\":-32700,\"message\":\"parse error: syntax error while parsing "
        "value - unexpected NUL byte; expected end of input at line 1, column "
        "25\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n" +
            kPong1);
}

TEST(Serve, InvalidUtf8EndsTheConnection) {
    EXPECT_EQ(serve({"{\"id\":1,\"method\":\"ping\"}\n\"\xFF\"\n{\"id\":2,\"method\":\"ping\"}\n"}),
              kPong1);
}

TEST(Serve, AReadFailureEndsTheConnection) {
    EXPECT_EQ(serve({"{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\""}, true), kPong1);
}

TEST(Serve, AFailedWriteEndsTheConnection) {
    McpServer server(testing::make_standard_desktop(), default_config);
    ScriptedReader input({"{\"id\":1,\"method\":\"ping\"}\n", "{\"id\":2,\"method\":\"ping\"}\n"});
    FailingWriter output;
    EXPECT_EQ(server.serve(input, output), 0);
    // Lines are read ahead of the dispatcher, so the input may be read on; but
    // nothing after the failed reply is answered.
    EXPECT_EQ(output.writes, 1);
}

TEST(Serve, TheEndOfTheInputCutsTheWaitOfARequestShort) {
    McpServer server(testing::make_standard_desktop(), default_config);
    const std::filesystem::path out =
        std::filesystem::temp_directory_path() / "vantle-serve-never-written.png";
    // Built as JSON, so a Windows path's backslashes are escaped.
    const nlohmann::json request = {
        {"id", 1},
        {"method", "tools/call"},
        {"params",
         {{"name", "capture"},
          {"arguments",
           {{"window", "Untitled - Notepad"}, {"delay_ms", 600000}, {"out", path_to_utf8(out)}}}}}};
    ScriptedReader input({request.dump() + "\n"});
    StringWriter output;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(server.serve(input, output), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    EXPECT_EQ(output.text(),
              "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"the server is "
              "ending; the capture's delay was cut short and nothing was captured\",\"type\":"
              "\"text\"}],\"isError\":true}}\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}

// An input that is one line without end: `chunks` reads of `size` bytes of "x",
// then `tail`.
class EndlessLine final : public Reader {
  public:
    EndlessLine(std::size_t chunks, std::size_t size, std::string tail)
        : chunks_(chunks), size_(size), tail_(std::move(tail)) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        if (chunks_ > 0) {
            --chunks_;
            const std::size_t length = std::min(size_, buffer.size());
            std::memset(buffer.data(), 'x', length);
            return static_cast<std::ptrdiff_t>(length);
        }
        const std::size_t length = std::min(tail_.size(), buffer.size());
        std::memcpy(buffer.data(), tail_.data(), length);
        tail_.erase(0, length);
        return static_cast<std::ptrdiff_t>(length);
    }

  private:
    std::size_t chunks_;
    std::size_t size_;
    std::string tail_;
};

TEST(LineReader, ReadsLinesUpToTheLimitAndThrowsLongerOnesAwayWhole) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;  // "<too long>" for a line thrown away
    };
    const Case cases[] = {
        {"exactly the limit", {"12345678\nab\n"}, {"12345678", "ab"}},
        {"the carriage return counts", {"1234567\r\nab\n"}, {"1234567", "ab"}},
        {"one more than the limit", {"123456789\nab\n"}, {"<too long>", "ab"}},
        {"over the limit across reads", {"12345", "6789", "0123\nab", "\n"}, {"<too long>", "ab"}},
        {"the line feed in a later read", {"123456789", "01", "\nab\n"}, {"<too long>", "ab"}},
        {"at the end of the input", {"ab\n1234567890"}, {"ab", "<too long>"}},
        {"two in a row", {"1234567890\n1234567890\nab"}, {"<too long>", "<too long>", "ab"}},
    };
    for (const Case& c : cases) {
        ScriptedReader input(c.chunks);
        LineReader reader(input, 8);
        std::vector<std::string> got;
        std::string line;
        for (;;) {
            const LineReader::Status status = reader.next(line);
            if (status == LineReader::Status::kLine) {
                got.push_back(line);
            } else if (status == LineReader::Status::kTooLong) {
                got.emplace_back("<too long>");
            } else {
                EXPECT_EQ(status, LineReader::Status::kEnd) << c.name;
                break;
            }
        }
        EXPECT_EQ(got, c.lines) << c.name;
    }
}

TEST(LineReader, HoldsNoMoreThanTheLimitOfALineThatNeverEnds) {
    constexpr std::size_t kChunk = 64 * 1024;
    // 64 MiB without a line feed against a 1 MiB limit.
    EndlessLine input(1024, kChunk, "\n{\"id\":1}\n");
    std::size_t most = 0;
    // The reader gives the line up only at its end, so watch it through the reads.
    class Watch final : public Reader {
      public:
        Watch(Reader& inner, const LineReader*& reader, std::size_t& most)
            : inner_(inner), reader_(reader), most_(most) {}
        std::ptrdiff_t read(std::span<char> buffer) override {
            most_ = std::max(most_, reader_->held_bytes());
            return inner_.read(buffer);
        }

      private:
        Reader& inner_;
        const LineReader*& reader_;
        std::size_t& most_;
    };
    const LineReader* watched = nullptr;
    Watch watch(input, watched, most);
    LineReader bounded(watch, std::size_t{1} << 20);
    watched = &bounded;
    std::string line;
    EXPECT_EQ(bounded.next(line), LineReader::Status::kTooLong);
    EXPECT_EQ(bounded.next(line), LineReader::Status::kLine);
    EXPECT_EQ(line, "{\"id\":1}");
    EXPECT_EQ(bounded.next(line), LineReader::Status::kEnd);
    EXPECT_LE(most, (std::size_t{1} << 20) + kChunk);
}

TEST(Serve, AnswersAnOverlongLineAsAParseErrorAndGoesOn) {
    // Reads hand out at most 64 KiB, so the line comes in pieces of that size.
    std::vector<std::string> chunks(kMaxLineBytes / (64 * 1024), std::string(64 * 1024, ' '));
    chunks.emplace_back(" ");
    chunks.emplace_back("\n{\"id\":1,\"method\":\"ping\"}\n");
    EXPECT_EQ(serve(chunks),
              "{\"error\":{\"code\":-32700,\"message\":\"parse error: the line is longer than "
              "4194304 bytes\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n" +
                  kPong1);
}

}  // namespace
}  // namespace vantle
