#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/records.h"

namespace vantle {

// One parsed command line. Everything here has passed the grammar's checks:
// a window target has a non-empty title, a region has a width and a height of
// at least 1, `fps` is 1 to 60, `max_seconds` is finite and positive, and
// `out` carries the right extension. Paths stay exactly as typed: UTF-8, except
// that on POSIX `out` holds the argument's own bytes, which need not be UTF-8.

struct Help {
    friend bool operator==(const Help&, const Help&) = default;
};

struct Version {
    friend bool operator==(const Version&, const Version&) = default;
};

struct Windows {
    bool json = false;
    friend bool operator==(const Windows&, const Windows&) = default;
};

struct Capture {
    std::string out{};
    CaptureTarget target{};
    std::uint64_t delay_ms = 0;
    bool cursor = false;
    bool restore = false;
    bool allow_desktop = false;
    bool json = false;
    friend bool operator==(const Capture&, const Capture&) = default;
};

struct Record {
    std::string out{};
    CaptureTarget target{};
    std::uint32_t fps = 30;
    std::optional<double> max_seconds{};
    bool cursor = false;
    bool restore = false;
    bool allow_desktop = false;
    bool json = false;
    friend bool operator==(const Record&, const Record&) = default;
};

struct RecordStop {
    std::string id{};  // a well-formed recording id such as 1234-1
    bool json = false;
    friend bool operator==(const RecordStop&, const RecordStop&) = default;
};

struct Mcp {
    friend bool operator==(const Mcp&, const Mcp&) = default;
};

using Command = std::variant<Help, Version, Windows, Capture, Record, RecordStop, Mcp>;

}  // namespace vantle
