#include "automation/run/usage.h"

namespace vantle {

namespace {

constexpr std::string_view kUsage =
    "usage:\n"
    "  vantle windows [--json]\n"
    "  vantle capture --window <title> [--process <exe>] [--restore] --out <file.png>\n"
    "                [--delay-ms N] [--cursor] [--json]\n"
    "  vantle capture (--monitor <n> | --region x,y,w,h) --allow-desktop --out <file.png>\n"
    "                [--delay-ms N] [--cursor] [--json]\n"
    "  vantle record  --window <title> [--process <exe>] [--restore] --out <file.mp4>\n"
    "                [--fps 30] [--max-seconds N] [--cursor] [--json]\n"
    "  vantle record  (--monitor <n> | --region x,y,w,h) --allow-desktop --out <file.mp4> [...]\n"
    "  vantle record  --stop <id> [--json]\n"
    "  vantle mcp\n"
    "  vantle --help | --version\n"
    "\n"
    "exit codes: 0 ok, 1 failed, 2 refused, 3 minimized, 4 unsupported here, 64 usage.\n"
    "In a terminal use vantle-cli; docs/AUTOMATION.md has the details.";

}  // namespace

std::string_view usage_text() {
    return kUsage;
}

}  // namespace vantle
