// What the settings tests share: a private folder standing in for the program's folder and the
// per-user configuration folder, and whole-file reads and writes.
#pragma once

#include "common/support.h"
#include "settings/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace kvx::settings::testing {

using kvx::test::slurp;
using kvx::test::spit;

// Each test gets `dir` with "prog" (the program's folder) and "config" (the per-user folder)
// inside, and `file`, a path in `dir` named by the fixture.
class SettingsFolderTest : public ::testing::Test {
protected:
    virtual const char* fileName() const = 0;

    void SetUp() override {
        dir = temp.path();
        std::filesystem::create_directories(dir / "prog");
        std::filesystem::create_directories(dir / "config");
        setProgramFolderForTesting((dir / "prog").string());
        setUserConfigFolderForTesting((dir / "config").string());
        file = (dir / fileName()).string();
    }
    void TearDown() override {
        setProgramFolderForTesting("");
        setUserConfigFolderForTesting("");
    }

    kvx::test::TempFolder temp;
    std::filesystem::path dir;
    std::string file;
};

} // namespace kvx::settings::testing
