#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/known_folder.h"
#include "fakes/temp_directory.h"

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

// Sets environment variables for one test and puts the old values back.
class Environment {
  public:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.push_back({name, old != nullptr ? std::optional<std::string>(old) : std::nullopt});
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~Environment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(KnownFolder, PicturesComeFromUserDirsWhenTheEnvironmentHasNone) {
    const std::filesystem::path config = testing::make_temp_directory("vantle-user-dirs");
    struct Case {
        const char* name;
        std::string file;  // user-dirs.dirs; empty: no file
        std::string want;
    };
    const Case cases[] = {
        {"the usual $HOME form",
         "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
         "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
         "/home/someone/Bilder"},
        {"an absolute path, indented, CRLF", "  XDG_PICTURES_DIR=\"/data/pics\"\r\n", "/data/pics"},
        {"without quotes", "XDG_PICTURES_DIR=$HOME/p q\n", "/home/someone/p q"},
        {"a relative value is not a folder", "XDG_PICTURES_DIR=\"pics\"\n",
         "/home/someone/Pictures"},
        {"a commented-out line does not count", "#XDG_PICTURES_DIR=\"/x\"\n",
         "/home/someone/Pictures"},
        {"no file", "", "/home/someone/Pictures"},
    };
    for (const Case& c : cases) {
        Environment environment;
        environment.set("HOME", "/home/someone");
        environment.set("XDG_CONFIG_HOME", config.string());
        environment.set("XDG_PICTURES_DIR", std::nullopt);
        std::filesystem::remove(config / "user-dirs.dirs");
        if (!c.file.empty()) {
            std::ofstream(config / "user-dirs.dirs", std::ios::binary) << c.file;
        }
        EXPECT_EQ(known_folder(KnownFolder::kPictures), std::filesystem::path(c.want)) << c.name;
    }
    {
        Environment environment;
        environment.set("HOME", "/home/someone");
        environment.set("XDG_CONFIG_HOME", config.string());
        environment.set("XDG_PICTURES_DIR", "/from/the/environment");
        EXPECT_EQ(known_folder(KnownFolder::kPictures),
                  std::filesystem::path("/from/the/environment"));
    }
    std::filesystem::remove_all(config);
}

TEST(KnownFolder, TheConfigHomeFallsBackToDotConfigUnlessAbsolute) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "/home/someone/.config"},
        {"relative/config", "/home/someone/.config"},
        {"/etc/xdg-user", "/etc/xdg-user"},
    };
    for (const auto& [value, want] : cases) {
        Environment environment;
        environment.set("HOME", "/home/someone");
        environment.set("XDG_CONFIG_HOME", value);
        EXPECT_EQ(known_folder(KnownFolder::kRoamingAppData), std::filesystem::path(want))
            << value.value_or("(unset)");
    }
}

}  // namespace
}  // namespace vantle
