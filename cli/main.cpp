// The console executable vantle-cli.

#include <string>

#include "automation/run/front_door.h"
#include "automation/run/usage.h"
#include "support/cli_error.h"
#include "support/process_arguments.h"
#include "support/writer.h"

int main(int argc, char** argv) {
    std::vector<vantle::OsString> arguments = vantle::process_arguments(argc, argv);
    if (arguments.empty()) {
        // Nothing of the front door runs: no process preparation, no logger.
        std::string text(vantle::usage_text());
        text += '\n';
        (void)vantle::standard_error().write(text);
        return static_cast<int>(vantle::to_status(vantle::ExitCode::kUsage));
    }
    return static_cast<int>(vantle::run_front_door(std::move(arguments), true));
}
