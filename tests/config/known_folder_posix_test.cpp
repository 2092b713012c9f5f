#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/config.h"

namespace vantle {
namespace {

TEST(SettingsPath, LivesInTheConfigHome) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string restore = saved != nullptr ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/vantle-home", 1);
    EXPECT_EQ(settings_path(),
              std::filesystem::path("/tmp/vantle-home/invalid.vantle.app/config.json"));
    if (saved != nullptr) {
        ::setenv("XDG_CONFIG_HOME", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
}  // namespace vantle
