// vantle-cli-fake: the real process entry and front door in front of a
// scripted desktop, so tests can run the built program without one.
//
// VANTLE_FAKE_DESKTOP names a scripted-desktop file (see
// fakes/scripted_desktop.h); without it the desktop is empty. When
// VANTLE_FAKE_CALLS names a file, the platform calls made are written to it,
// one per line, when the command ends.

#include <cstdlib>
#include <fstream>

#include "automation/run/front_door.h"
#include "fakes/scripted_desktop.h"
#include "support/process_arguments.h"
#include "support/writer.h"

namespace {

// Distinct from every status the program itself ends with.
constexpr int kBadScript = 70;

}  // namespace

int main(int argc, char** argv) {
    std::shared_ptr<vantle::testing::FakePlatform> platform;
    if (const char* file = std::getenv("VANTLE_FAKE_DESKTOP"); file != nullptr && *file != '\0') {
        auto loaded = vantle::testing::load_scripted_desktop(file);
        if (!loaded) {
            (void)vantle::standard_error().write("vantle-cli-fake: " + loaded.error().render() +
                                                 "\n");
            return kBadScript;
        }
        platform = std::move(*loaded);
    } else {
        platform = std::make_shared<vantle::testing::FakePlatform>();
    }

    const std::uint32_t status = vantle::run_console_entry(vantle::process_arguments(argc, argv),
                                                           [platform] { return platform; });

    if (const char* file = std::getenv("VANTLE_FAKE_CALLS"); file != nullptr && *file != '\0') {
        std::ofstream calls(file, std::ios::binary | std::ios::trunc);
        for (const std::string& call : platform->calls()) {
            calls << call << '\n';
        }
    }
    return static_cast<int>(status);
}
