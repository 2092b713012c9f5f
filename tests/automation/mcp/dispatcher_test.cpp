#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "automation/mcp/server.h"
#include "fakes/fake_platform.h"
#include "support/json_line.h"

namespace vantle {
namespace {

struct Exchange {
    const char* name;
    std::string request;
    std::string reply;  // "" for no reply
};

McpServer make_server(bool allow_desktop = false) {
    return McpServer(testing::make_standard_desktop(), [allow_desktop] {
        Config config = default_config();
        config.automation_allow_desktop = allow_desktop;
        return config;
    });
}

std::string reply_to(McpServer& server, const std::string& line) {
    const auto reply = server.handle_line(line);
    return reply ? json_text(*reply) : std::string();
}

const std::string kInstructions =
    "Vantle captures and records windows on this desktop. Name a window by its exact title "
    "(list_windows shows them, with the process that owns each); a title that matches no window "
    "or several is refused. A covered window is captured as itself. Capturing a whole monitor or "
    "a region is off unless the user turns it on in Vantle's settings.";

std::string initialize_reply(const std::string& id, const std::string& version) {
    return R"({"id":)" + id +
           R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"instructions":")" +
           kInstructions + R"(","protocolVersion":")" + version +
           R"(","serverInfo":{"name":"vantle","title":"Vantle","version":"0.3.0"}}})";
}

TEST(Dispatcher, AnswersEachRequestShape) {
    const Exchange exchanges[] = {
        {"ping", R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
         R"({"id":1,"jsonrpc":"2.0","result":{}})"},
        {"ping with a null id", R"({"id":null,"method":"ping"})",
         R"({"id":null,"jsonrpc":"2.0","result":{}})"},
        {"ids of any type are copied", R"({"id":{"b":[1.5,"x"]},"method":"ping"})",
         R"({"id":{"b":[1.5,"x"]},"jsonrpc":"2.0","result":{}})"},
        {"extra members are ignored",
         R"({"id":"a","method":"ping","params":[1],"extra":true,"jsonrpc":"1.0"})",
         R"({"id":"a","jsonrpc":"2.0","result":{}})"},
        {"notification", R"({"jsonrpc":"2.0","method":"notifications/initialized"})", ""},
        {"unknown notification", R"({"method":"nothing/here"})", ""},
        {"numeric method", R"({"id":7,"method":5})",
         R"({"error":{"code":-32600,"message":"invalid request"},"id":7,"jsonrpc":"2.0"})"},
        {"numeric method, no id", R"({"method":5})", ""},
        {"a reply sent to the server", R"({"id":3,"result":{}})",
         R"({"error":{"code":-32600,"message":"invalid request"},"id":3,"jsonrpc":"2.0"})"},
        {"not an object", "42", ""},
        {"a string", R"("ping")", ""},
        {"unknown method", R"({"id":2,"method":"resources/list"})",
         R"({"error":{"code":-32601,"message":"method not found: resources/list"},"id":2,"jsonrpc":"2.0"})"},
        {"methods are case-sensitive", R"({"id":2,"method":"Ping"})",
         R"({"error":{"code":-32601,"message":"method not found: Ping"},"id":2,"jsonrpc":"2.0"})"},
        {"tools/call without params", R"({"id":4,"method":"tools/call"})",
         R"({"error":{"code":-32602,"message":"unknown tool: "},"id":4,"jsonrpc":"2.0"})"},
        {"unknown tool",
         R"({"id":4,"method":"tools/call","params":{"name":"shell","arguments":{}}})",
         R"({"error":{"code":-32602,"message":"unknown tool: shell"},"id":4,"jsonrpc":"2.0"})"},
        {"tool name not a string", R"({"id":4,"method":"tools/call","params":{"name":1}})",
         R"({"error":{"code":-32602,"message":"unknown tool: "},"id":4,"jsonrpc":"2.0"})"},
        {"initialize echoes a known version",
         R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
         initialize_reply("1", "2025-06-18")},
        {"initialize with the oldest version",
         R"({"id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
         initialize_reply("1", "2024-11-05")},
        {"initialize with another date",
         R"({"id":1,"method":"initialize","params":{"protocolVersion":"2026-01-01"}})",
         initialize_reply("1", "2025-11-25")},
        {"initialize with a number",
         R"({"id":1,"method":"initialize","params":{"protocolVersion":20250618}})",
         initialize_reply("1", "2025-11-25")},
        {"initialize without params", R"({"id":"i","method":"initialize"})",
         initialize_reply("\"i\"", "2025-11-25")},
        {"empty batch", "[]", ""},
        {"batch of notifications", R"([{"method":"a"},{"method":"b"}])", ""},
        {"batch keeps order and skips notifications",
         R"([{"id":1,"method":"ping"},{"method":"x"},{"id":2,"method":"nope"}])",
         R"([{"id":1,"jsonrpc":"2.0","result":{}},{"error":{"code":-32601,"message":"method not found: nope"},"id":2,"jsonrpc":"2.0"}])"},
        {"a nested array in a batch gives nothing",
         R"([[{"id":1,"method":"ping"}],{"id":2,"method":"ping"}])",
         R"([{"id":2,"jsonrpc":"2.0","result":{}}])"},
        {"batch with an invalid element", R"([{"id":9},5])",
         R"([{"error":{"code":-32600,"message":"invalid request"},"id":9,"jsonrpc":"2.0"}])"},
        {"blank line", "", ""},
    };
    McpServer server = make_server();
    for (const Exchange& e : exchanges) {
        EXPECT_EQ(reply_to(server, e.request), e.reply) << e.name;
    }
}

TEST(Dispatcher, ParseErrorsCarryANullIdAndTheParserText) {
    const std::string lines[] = {
        R"({"id":1,"method":"ping"}{"id":2,"method":"ping"})",
        R"({"id":1,"method":"ping")",
        "{'id':1}",
        "nul",
        R"({"id":1} x)",
        std::string(129, '[') + std::string(129, ']'),
        R"({"a":"\ud800"})",
        // A NUL byte anywhere: after the value, after white space, before it, in a string.
        std::string("{\"id\":2,\"method\":\"ping\"}\0{\"id\":3,\"method\":\"ping\"}", 49),
        std::string("{\"id\":2,\"method\":\"ping\"}  \0", 27),
        std::string("\0{\"id\":2,\"method\":\"ping\"}", 25),
        std::string("{\"id\":2,\"method\":\"pi\0ng\"}", 25),
    };
    McpServer server = make_server();
    for (const std::string& line : lines) {
        const auto reply = server.handle_line(line);
        ASSERT_TRUE(reply.has_value()) << line;
        EXPECT_EQ((*reply)["id"], nullptr) << line;
        EXPECT_EQ((*reply)["error"]["code"], -32700) << line;
        const std::string message = (*reply)["error"]["message"];
        EXPECT_TRUE(message.starts_with("parse error: ")) << message;
        EXPECT_GT(message.size(), 13u) << line;
        EXPECT_EQ(reply->size(), 3u);
        EXPECT_EQ((*reply)["error"].size(), 2u);
    }
}

TEST(Dispatcher, AcceptsNestingUpTo128Levels) {
    McpServer server = make_server();
    const std::string deep = R"({"id":1,"method":"ping","params":)" + std::string(127, '[') +
                             std::string(127, ']') + "}";
    EXPECT_EQ(reply_to(server, deep), R"({"id":1,"jsonrpc":"2.0","result":{}})");
    const std::string too_deep = R"({"id":1,"method":"ping","params":)" + std::string(128, '[') +
                                 std::string(128, ']') + "}";
    EXPECT_TRUE(reply_to(server, too_deep).starts_with(R"({"error":{"code":-32700,)"));
}

}  // namespace
}  // namespace vantle
