#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/temp_directory.h"
#include "support/paths.h"

namespace vantle::testing {

// A fresh directory per test, removed afterwards, with the small file helpers
// that the atomic-write cases on both systems need.
class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_directory("vantle-files"); }
    void TearDown() override {
        // A case may have taken the write permission away.
        std::error_code ignored;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }

    static void put(const std::filesystem::path& path, std::string_view text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string contents(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::vector<std::uint8_t> bytes(std::string_view text) {
        return {text.begin(), text.end()};
    }
    // The names in the directory, to show that nothing was left behind.
    [[nodiscard]] std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.push_back(path_to_utf8(entry.path().filename()));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir_;
};

// Runs each case with the current directory set to a known place.
class AbsolutePathTest : public FilesTest {
  protected:
    void SetUp() override {
        FilesTest::SetUp();
        previous_ = std::filesystem::current_path();
        std::filesystem::create_directories(dir_ / "work" / "here");
        std::filesystem::current_path(dir_ / "work" / "here");
        cwd_ = path_to_utf8(std::filesystem::current_path());
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        FilesTest::TearDown();
    }

    std::filesystem::path previous_;
    std::string cwd_;
};

}  // namespace vantle::testing
