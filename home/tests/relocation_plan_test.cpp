#include "home/relocation_plan.h"
#include "home/tests/fake_folder_facts.h"
#include "core/text.h"

#include <gtest/gtest.h>

#include <set>

namespace nyra::home {
namespace {

std::vector<std::string> targets(const RelocationPlan& plan) {
    std::vector<std::string> names;
    for (const auto& copy : plan.copies) names.push_back(utf16ToUtf8(copy.sourceName) + ">" + utf16ToUtf8(copy.targetName));
    return names;
}

TEST(RelocationPlan, CopiesTheLauncherFirstSkipsTemporaryAndPresentFilesAndPacksWithoutRoom) {
    const FolderFile launcher{u"Launcher (1).exe", 5 << 20};
    const std::vector<FolderFile> files{
        {u"Launcher (1).exe", 5 << 20}, {u"nyra.nidx", 1000},         {u"NYRA-000.PCK", 3ull << 30},
        {u"preferences.json", 80},     {u"Launcher.exe.update", 9},  {u"x.nyra-heal", 9},
        {u"LAUNCHER.EXE", 7},          {u"client.ini", 50},
    };
    const std::set<std::u16string> present{u"client.ini"};
    const auto inTarget = [&](std::u16string_view name) { return present.contains(std::u16string(name)); };
    const std::uint64_t all = (5 << 20) + 1000 + (3ull << 30) + 80;

    RelocationPlan plan = planRelocation(launcher, files, inTarget, all + kPackSpaceMargin);
    EXPECT_EQ(targets(plan), (std::vector<std::string>{"Launcher (1).exe>Launcher.exe", "nyra.nidx>nyra.nidx",
                                                       "NYRA-000.PCK>NYRA-000.PCK", "preferences.json>preferences.json"}));
    EXPECT_TRUE(plan.copies[0].launcher);
    EXPECT_EQ(plan.totalBytes, all);
    EXPECT_FALSE(plan.packsLeftBehind);

    for (const std::optional<std::uint64_t> free : {std::optional<std::uint64_t>(all + kPackSpaceMargin - 1),
                                                    std::optional<std::uint64_t>(), std::optional<std::uint64_t>(0)}) {
        plan = planRelocation(launcher, files, inTarget, free);
        EXPECT_EQ(targets(plan), (std::vector<std::string>{"Launcher (1).exe>Launcher.exe", "nyra.nidx>nyra.nidx",
                                                           "preferences.json>preferences.json"}));
        EXPECT_TRUE(plan.packsLeftBehind);
        EXPECT_EQ(plan.totalBytes, all - (3ull << 30));
    }

    // A launcher already in the target is left as it is.
    plan = planRelocation(launcher, {}, [](std::u16string_view name) { return name == u"Launcher.exe"; }, 1ull << 40);
    EXPECT_TRUE(plan.copies.empty());
}

TEST(RelocationPlan, SafeFolderCandidatesInOrder) {
    test::FakeFolderFacts facts;
    facts.volumes[u"D:\\"] = {};
    facts.volumes[u"N:\\"] = {DriveType::Remote};
    facts.variables[u"SystemDrive"] = u"C:";
    const auto narrow = [](const std::vector<std::u16string>& list) {
        std::vector<std::string> out;
        for (const auto& p : list) out.push_back(utf16ToUtf8(p));
        return out;
    };
    EXPECT_EQ(narrow(safeFolderCandidates(facts, u"D:\\Users\\ana\\OneDrive\\Nyra")),
              (std::vector<std::string>{"D:\\Jogos\\NyraBrasil", "C:\\Jogos\\NyraBrasil",
                                        "C:\\Users\\ana\\AppData\\Local\\NyraBrasil"}));
    // A network drive is never a place for the game, and the same place is tried once.
    EXPECT_EQ(narrow(safeFolderCandidates(facts, u"N:\\Nyra")),
              (std::vector<std::string>{"C:\\Jogos\\NyraBrasil", "C:\\Users\\ana\\AppData\\Local\\NyraBrasil"}));
    EXPECT_EQ(narrow(safeFolderCandidates(facts, u"C:\\Users\\ana\\OneDrive")),
              (std::vector<std::string>{"C:\\Jogos\\NyraBrasil", "C:\\Users\\ana\\AppData\\Local\\NyraBrasil"}));
}

TEST(RelocationPlan, StartRelocationCase) {
    EXPECT_EQ(startRelocation(false, true, true), StartRelocation::MoveGame);
    EXPECT_EQ(startRelocation(false, false, true), StartRelocation::RepairInPlace);
    EXPECT_EQ(startRelocation(false, false, false), StartRelocation::None);
    EXPECT_EQ(startRelocation(true, true, true), StartRelocation::None);  // a relocated launcher never moves again
}

}  // namespace
}  // namespace nyra::home
