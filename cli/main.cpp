// The console executable vantle-cli.

#include "automation/run/front_door.h"
#include "support/process_arguments.h"

int main(int argc, char** argv) {
    return static_cast<int>(vantle::run_console_entry(vantle::process_arguments(argc, argv)));
}
