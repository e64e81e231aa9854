#include "home/temporary_names.h"

#include <gtest/gtest.h>

namespace nyra::home {
namespace {

TEST(TemporaryNames, SuffixesMatchWithoutRegardToCase) {
    const struct {
        const char* name;
        bool temporary;
        bool healing;
    } cases[] = {
        {"Launcher.exe.update", true, false},
        {"Launcher.exe.UPDATE.Json", true, false},
        {"Launcher.exe.ready", true, false},
        {"preferences.json.new", true, false},
        {"Launcher.exe.nyra-heal", true, true},
        {"Launcher.exe.NYRA-OLD", true, true},
        {"nyra-001.pck.Nyra-Heal", true, true},
        {".new", true, false},
        {"Launcher.exe", false, false},
        {"update", false, false},
        {"notes.update.txt", false, false},
        {"Launcher.exe.readyx", false, false},
        {"Launcher.exe.nyra-heal.pck", false, false},
        {"news", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isTemporaryFileName(c.name), c.temporary) << c.name;
        EXPECT_EQ(isHealingLeftoverName(c.name), c.healing) << c.name;
    }
    // Only the file name counts, never a folder on the way.
    EXPECT_FALSE(isTemporaryFileName(std::filesystem::path("game.new") / "Launcher.exe"));
    EXPECT_TRUE(isTemporaryFileName(std::filesystem::path("game") / "Launcher.exe.ready"));
}

}  // namespace
}  // namespace nyra::home
