#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "automation/mcp/server.h"
#include "fakes/fake_platform.h"

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
    EXPECT_EQ(output.writes, 1);
    EXPECT_EQ(input.reads(), 1u);
}

}  // namespace
}  // namespace vantle
