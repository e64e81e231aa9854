// Healing of linked launcher files. Wine makes no links (CreateSymbolicLinkW creates nothing), so
// the link test is given: it names which plain files stand for links, and everything after the
// test runs as on Windows.
#include "content/tests/win/temporary_folder.h"
#include "home/win/healing.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Healing, LinkedFilesAndTheLauncherBecomeRealCopiesInPlace) {
    const fs::path folder = freshTemporaryFolder(L"nyra-heal-");
    const std::string big(5 * 1024 * 1024, 'p');  // more than one 4 MiB block
    write(folder / L"Launcher.exe", "launcher bytes");
    write(folder / L"nyra-000.pck", big);
    write(folder / L"plain.txt", "left alone");
    write(folder / L"preferences.json.new", "a pending write is no game file");
    const std::set<std::wstring> linked{L"Launcher.exe", L"nyra-000.pck", L"preferences.json.new"};
    const auto isLinked = [&](const fs::path& file) { return linked.contains(file.filename().wstring()); };
    std::vector<int> percents;
    const auto launcher = home::repairInPlace(folder, folder / L"Launcher.exe", [&](const std::string& text, int percent) {
        EXPECT_EQ(text, "Reparando os arquivos do launcher nesta pasta (uma vez so)...");
        percents.push_back(percent);
    }, isLinked);

    EXPECT_EQ(launcher, folder / L"Launcher.exe");
    EXPECT_EQ(read(folder / L"Launcher.exe"), "launcher bytes");
    EXPECT_EQ(read(folder / L"nyra-000.pck"), big);
    EXPECT_EQ(read(folder / L"plain.txt"), "left alone");
    EXPECT_FALSE(fs::exists(folder / L"nyra-000.pck.nyra-heal"));
    EXPECT_FALSE(fs::exists(folder / L"Launcher.exe.nyra-heal"));
    EXPECT_FALSE(fs::exists(folder / L"preferences.json.new.nyra-heal"));  // temporary names are skipped
    EXPECT_EQ(read(folder / L"Launcher.exe.nyra-old"), "launcher bytes");  // the link, moved aside
    // Of 5 MiB + 14 bytes in all: nothing copied yet, the first 4 MiB block of the pack (79 or 80
    // depending on which file comes first), and everything copied, held below 100.
    ASSERT_FALSE(percents.empty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.front(), 0);
    EXPECT_TRUE(std::find_if(percents.begin(), percents.end(), [](int p) { return p == 79 || p == 80; }) !=
                percents.end());
    EXPECT_EQ(percents.back(), 99);

    write(folder / L"old.NYRA-HEAL", "x");
    home::removeHealingLeftovers(folder);
    EXPECT_FALSE(fs::exists(folder / L"Launcher.exe.nyra-old"));
    EXPECT_FALSE(fs::exists(folder / L"old.NYRA-HEAL"));
    EXPECT_TRUE(fs::exists(folder / L"Launcher.exe"));
    EXPECT_TRUE(fs::exists(folder / L"preferences.json.new"));
    fs::remove_all(folder);
}

// A repair that cannot finish leaves the files as they were and none of its copies behind.
TEST(Healing, ARepairThatFailsLeavesNoCopyBehind) {
    const struct {
        const wchar_t* held;  // open elsewhere, without letting anyone delete or rename it
        const char* message;
    } cases[] = {
        {L"nyra-000.pck", "Nao foi possivel reparar os arquivos do jogo. Feche o jogo e tente de novo."},
        {L"Launcher.exe", "Nao foi possivel reparar o launcher. Feche outras janelas do launcher e tente de novo."},
    };
    for (const auto& c : cases) {
        const fs::path folder = freshTemporaryFolder(L"nyra-heal-");
        write(folder / L"Launcher.exe", "launcher bytes");
        write(folder / L"nyra-000.pck", "pack");
        const auto isLinked = [&](const fs::path& file) { return file.filename() == c.held; };
        HANDLE held = ::CreateFileW((folder / c.held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        try {
            home::repairInPlace(folder, folder / L"Launcher.exe", {}, isLinked);
            ADD_FAILURE() << "repaired";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        ::CloseHandle(held);
        EXPECT_EQ(read(folder / L"Launcher.exe"), "launcher bytes");
        EXPECT_EQ(read(folder / L"nyra-000.pck"), "pack");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2)
            << fs::path(c.held).string();
        fs::remove_all(folder);
    }
}

TEST(Healing, AFolderWithoutLinksIsLeftAsItIs) {
    const fs::path folder = freshTemporaryFolder(L"nyra-heal-");
    write(folder / L"Launcher.exe", "launcher bytes");
    int reports = 0;
    EXPECT_EQ(home::repairInPlace(folder, folder / L"Launcher.exe", [&](const std::string&, int) { ++reports; }),
              folder / L"Launcher.exe");  // the platform's own link test: plain files here
    EXPECT_EQ(reports, 0);
    EXPECT_FALSE(home::isReparsePointFile(folder / L"Launcher.exe"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace nyra::test
