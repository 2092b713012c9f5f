// Bytes into the automation server's input: framing (line feeds, carriage
// returns, white space, UTF-8, the line cap), JSON-RPC dispatch and the tools
// on a small scripted desktop, with waits and recordings that never really
// sleep. Checked on every run:
// - how the input arrives (one read, or pieces of a few bytes) does not change
//   the lines the server sees;
// - every reply is one compact JSON line with the reply shapes of the protocol;
// - the server ends, and ends its recordings, when the input ends.
//
// The first byte chooses the run: bits 0-2 the read size (0: all at once),
// bit 3 whether automation may capture the desktop, bit 4 a line cap of
// 64 to 319 bytes (byte 1) instead of the real 4 MiB, so overlong lines occur,
// and a reply bound of 256 to 1276 bytes instead of the real 1,000,000, so the
// small pictures' previews shrink; a single reply line past its bound must carry
// only a preview one pixel long (what is left when the texts take the room).
//
// The tools write files, so the fuzzer works in a folder of its own and
// refuses inputs whose "out" names anything but a plain file name there.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/mcp/protocol.h"
#include "automation/mcp/server.h"
#include "automation/mcp/transport.h"
#include "fakes/fake_platform.h"
#include "fakes/fake_recording.h"
#include "fakes/png_bytes.h"

namespace {

namespace fs = std::filesystem;
using namespace vantle;
using nlohmann::json;

fs::path g_folder;

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "automation server fuzzer: %s\n%.*s\n", what,
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// The input in reads of at most `piece` bytes (0: everything at once).
class PieceReader final : public Reader {
  public:
    PieceReader(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
        if (piece_ != 0) {
            n = std::min(n, piece_);
        }
        std::copy_n(bytes_.data() + at_, n, buffer.data());
        at_ += n;
        return static_cast<std::ptrdiff_t>(n);
    }

  private:
    std::string_view bytes_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

struct Framed {
    std::vector<std::pair<LineReader::Status, std::string>> items;
    friend bool operator==(const Framed&, const Framed&) = default;
};

Framed frame(std::string_view bytes, std::size_t piece, std::size_t cap) {
    PieceReader input(bytes, piece);
    LineReader lines(input, cap);
    Framed framed;
    for (;;) {
        std::string line;
        const LineReader::Status status = lines.next(line);
        if (lines.held_bytes() > cap + 2 * 64 * 1024) {
            fail("the line reader holds more than the cap allows", std::to_string(cap));
        }
        if (status == LineReader::Status::kEnd || status == LineReader::Status::kFailed) {
            framed.items.emplace_back(status, std::string());
            return framed;
        }
        framed.items.emplace_back(status, status == LineReader::Status::kLine ? line : "");
    }
}

bool plain_file_name(const std::string& name) {
    return !name.empty() && name.size() < 200 && name.front() != '.' &&
           name.find_first_of(std::string_view("/\\:\0", 4)) == std::string::npos;
}

// Whether every "out" member anywhere in the message names a plain file here.
bool writes_only_here(const json& value) {
    if (value.is_object()) {
        for (const auto& [key, member] : value.items()) {
            if (key == "out" && member.is_string() && !plain_file_name(member.get<std::string>())) {
                return false;
            }
            if (!writes_only_here(member)) {
                return false;
            }
        }
    } else if (value.is_array()) {
        for (const json& element : value) {
            if (!writes_only_here(element)) {
                return false;
            }
        }
    }
    return true;
}

std::shared_ptr<testing::FakePlatform> small_desktop() {
    using testing::make_minimized_window;
    using testing::make_monitor;
    using testing::make_window;
    auto platform = std::make_shared<testing::FakePlatform>();
    platform->monitors = {make_monitor(0, 0, 0, 40, 30, true, "DISPLAY1"),
                          make_monitor(1, 40, 0, 24, 18, false, "DISPLAY2")};
    platform->windows = {
        make_window(7, "Notepad", "notepad.exe", 4242, {4, 3, 20, 15}, 0),
        make_minimized_window(8, "Calculator", std::nullopt, 77),
        make_window(9, "Wide", "wide.exe", 9, {0, 0, 1600, 2}, 0),
        make_window(10, "Twin", "a.exe", 10, {1, 1, 3, 3}, 0),
        make_window(11, "Twin", "b.exe", 11, {41, 1, 3, 3}, 1),
        make_window(12, "Gone", "gone.exe", 12, {2, 2, 5, 5}, 0),
    };
    platform->closed_windows = {12};
    platform->region_picture = testing::solid_image(5, 4, 0x10203040);
    return platform;
}

void check_reply(const json& reply, std::string_view line) {
    if (!reply.is_object() || !reply.contains("id") || reply.value("jsonrpc", "") != "2.0" ||
        reply.contains("result") == reply.contains("error") || reply.size() != 3) {
        fail("a reply of neither shape", line);
    }
    if (const auto error = reply.find("error"); error != reply.end()) {
        if (!error->is_object() || error->size() != 2 || !(*error)["code"].is_number_integer() ||
            !(*error)["message"].is_string()) {
            fail("an error object of the wrong shape", line);
        }
    }
}

// The longer side of the PNG in an image item's base64 data (its header only).
std::uint32_t preview_longer_side(const std::string& base64) {
    const auto [width, height] =
        testing::png_size(testing::from_base64(base64, testing::kPngHeaderBytes));
    return std::max(width, height);
}

void check_bound(const json& reply, std::string_view line, std::size_t bound) {
    if (line.size() + 1 <= bound) {
        return;
    }
    const auto check_one = [&](const json& one) {
        const json* content =
            one.contains("result") && one["result"].is_object() && one["result"].contains("content")
                ? &one["result"]["content"]
                : nullptr;
        if (content == nullptr || !content->is_array()) {
            return;
        }
        for (const json& item : *content) {
            if (item.value("type", "") == "image" &&
                preview_longer_side(item.value("data", "")) != 1) {
                fail("a reply past its bound carries a preview that could shrink", line);
            }
        }
    };
    // A batch's capture cannot know what the replies after it will take.
    if (!reply.is_array()) {
        check_one(reply);
    }
}

void empty_folder() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(g_folder, error)) {
        fs::remove_all(entry.path(), error);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    std::string folder = (fs::temp_directory_path() / "vantle-fuzz-mcp-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_folder = folder;
    fs::current_path(g_folder);
    std::atexit([] {
        std::error_code error;
        fs::current_path(fs::temp_directory_path(), error);
        fs::remove_all(g_folder, error);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::size_t piece = mode & 7;
    const bool allow_desktop = (mode & 8) != 0;
    const std::size_t cap = (mode & 16) != 0 ? 64 + std::size_t{data[1]} : kMaxLineBytes;
    const std::size_t bound = (mode & 16) != 0 ? 256 + 4 * std::size_t{data[1]} : kMaxReplyBytes;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    const Framed framed = frame(bytes, piece, cap);
    if (!(frame(bytes, 1, cap) == framed) || !(frame(bytes, 0, cap) == framed)) {
        fail("the lines depend on how the input arrives", bytes);
    }
    std::size_t answerable = 0;
    for (const auto& [status, line] : framed.items) {
        if (status == LineReader::Status::kTooLong) {
            ++answerable;
        } else if (status == LineReader::Status::kLine && !line.empty()) {
            ++answerable;
            if (const auto message = parse_message(line); message && !writes_only_here(*message)) {
                return -1;  // would write outside the fuzzer's folder
            }
        }
    }

    auto platform = small_desktop();
    const testing::ScriptedFrameSource::Script source{
        testing::solid_frame(8, 6, 0xFF336699), {}, 3};
    const testing::RecordingEncoder::Script encoder{std::nullopt, std::nullopt, false,
                                                    std::nullopt};
    auto log = std::make_shared<testing::RecordingLog>();
    testing::script_recordings(*platform, source, encoder, log, true);
    Config config;
    config.save_dir = (g_folder / "saved").string();
    config.filename_pattern = "shot %H";
    config.automation_allow_desktop = allow_desktop;

    StringWriter output;
    {
        McpServer server(platform, [config] { return config; });
        server.sleep = [](std::uint64_t) {};
        server.make_frame_clock = [] { return std::make_unique<testing::FakeFrameClock>(); };
        server.max_line_bytes = cap;
        server.max_reply_bytes = bound;
        PieceReader input(bytes, piece);
        if (server.serve(input, output) != 0) {
            fail("serve did not return 0", bytes);
        }
        if (!server.recordings.empty()) {
            fail("recordings outlived the connection", bytes);
        }
    }

    const std::string text = output.text();
    if (std::getenv("VANTLE_FUZZ_SHOW_REPLIES") != nullptr) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
    if (!text.empty() && text.back() != '\n') {
        fail("the output does not end with a line feed", text);
    }
    std::size_t replies = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++replies;
        const json reply = json::parse(line, nullptr, false);
        if (reply.is_discarded() || reply.dump() != line) {
            fail("a reply that is not one compact JSON line", line);
        }
        check_bound(reply, line, bound);
        if (reply.is_array()) {
            if (reply.empty()) {
                fail("an empty batch reply", line);
            }
            for (const json& element : reply) {
                check_reply(element, line);
            }
        } else {
            check_reply(reply, line);
        }
    }
    if (replies > answerable) {
        fail("more replies than lines", text);
    }
    empty_folder();
    return 0;
}
