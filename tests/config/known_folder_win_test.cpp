#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/config.h"
#include "config/known_folder.h"
#include "support/paths.h"

namespace vantle {
namespace {

bool ends_with_folders(const std::filesystem::path& path, std::string_view tail) {
    return path_to_utf8(path).ends_with(tail);
}

TEST(KnownFolder, NamesTheUsersFolders) {
    const auto roaming = known_folder(KnownFolder::kRoamingAppData);
    const auto pictures = known_folder(KnownFolder::kPictures);
    const auto profile = known_folder(KnownFolder::kProfile);
    ASSERT_TRUE(roaming && pictures && profile);
    EXPECT_TRUE(roaming->is_absolute());
    EXPECT_TRUE(ends_with_folders(*roaming, "\\AppData\\Roaming")) << path_to_utf8(*roaming);
    // Both live in the profile folder on a default installation.
    EXPECT_TRUE(path_to_utf8(*roaming).starts_with(path_to_utf8(*profile) + "\\"));
    EXPECT_TRUE(path_to_utf8(*pictures).starts_with(path_to_utf8(*profile) + "\\"));
}

TEST(SettingsPath, LivesInTheRoamingApplicationData) {
    const auto roaming = known_folder(KnownFolder::kRoamingAppData);
    ASSERT_TRUE(roaming);
    EXPECT_EQ(settings_path(), *roaming / "invalid.vantle.app" / "config.json");
    EXPECT_TRUE(
        ends_with_folders(settings_path(), "\\AppData\\Roaming\\invalid.vantle.app\\config.json"))
        << path_to_utf8(settings_path());
}

}  // namespace
}  // namespace vantle
