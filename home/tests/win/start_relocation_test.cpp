// Relocation at start in a plain folder of C:, with the link test given (Wine makes no links):
// what an earlier healing left goes, a linked temporary file repairs nothing, and this launcher's
// instance slot stays its own until the new launcher has started.
#include "content/tests/win/temporary_folder.h"
#include "home/win/folder_facts.h"
#include "home/win/install.h"
#include "home/win/start_relocation.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;

class StartRelocation : public ::testing::Test {
protected:
    void SetUp() override {
        folder = freshTemporaryFolder(L"nyra-relocate-");
        for (const wchar_t* name : {L"Launcher.exe", L"nyra-000.pck", L"Launcher.exe.update"}) {
            std::ofstream(folder / name) << "bytes";
        }
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // Runs the check with `linked` standing for links; records the hooks called, in order.
    bool relocate(const std::set<std::wstring>& linked, bool starts) {
        home::RelocationHooks hooks{
            [&](const fs::path&, const fs::path& launcher, const ProgressFn&) {
                calls.push_back("repair");
                return launcher;
            },
            [&] { calls.push_back("release slot"); },
            [&](const std::string&) { calls.push_back("message"); },
            [&](const fs::path&) {
                calls.push_back("start");
                return starts;
            },
            {}};
        home::RelocationAtStart check(facts, false, folder / L"Launcher.exe", hooks,
                                      [&](const fs::path& file) { return linked.contains(file.filename().wstring()); });
        std::atomic<bool> stop{false};
        return check.relocateAtStart(folder, [](const std::string&, int) {}, stop);
    }

    home::SystemFolderFacts facts;
    fs::path folder;
    std::vector<std::string> calls;
};

TEST_F(StartRelocation, HealingLeftoversGoAndALinkedTemporaryFileRepairsNothing) {
    std::ofstream(folder / L"Launcher.exe.nyra-old") << "old";
    std::ofstream(folder / L"pack.NYRA-HEAL") << "half";
    EXPECT_FALSE(relocate({L"Launcher.exe.update"}, true));
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(fs::exists(folder / L"Launcher.exe.nyra-old"));
    EXPECT_FALSE(fs::exists(folder / L"pack.NYRA-HEAL"));
    EXPECT_TRUE(fs::exists(folder / L"Launcher.exe.update"));
}

TEST_F(StartRelocation, TheSlotIsReleasedOnlyOnceTheNewLauncherHasStarted) {
    EXPECT_TRUE(relocate({L"nyra-000.pck"}, true));
    EXPECT_EQ(calls, (std::vector<std::string>{"repair", "start", "release slot"}));

    calls.clear();
    try {
        relocate({L"Launcher.exe"}, false);
        ADD_FAILURE() << "restarted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), home::kNewLauncherNotStarted);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"repair", "start"}));
}

// The start itself: what frees the slot runs once the process exists, never for one that could not start.
TEST_F(StartRelocation, ASettledStartFreesTheSlotOnlyForAProcessThatExists) {
    int freed = 0;
    EXPECT_FALSE(home::startSettledLauncher(folder / L"missing.exe", [&] { ++freed; }));
    EXPECT_FALSE(home::startSettledLauncher(folder / L"Launcher.exe", [&] { ++freed; }));  // not a program
    EXPECT_EQ(freed, 0);

    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const fs::path program = fs::path(system) / L"hostname.exe";  // ends at once, whatever its arguments
    ASSERT_TRUE(fs::exists(program));
    EXPECT_TRUE(home::startSettledLauncher(program, [&] { ++freed; }));
    EXPECT_EQ(freed, 1);
}

}  // namespace
}  // namespace nyra::test
