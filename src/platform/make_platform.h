#pragma once

#include "platform/platform.h"

namespace vantle {

// The desktop implementation this build was made with (exactly one definition
// is compiled, chosen by the build for the target system).
[[nodiscard]] PlatformPtr make_platform();

}  // namespace vantle
