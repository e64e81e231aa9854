// Healing of linked launcher files. Wine makes no links (CreateSymbolicLinkW creates nothing), so
// the link test is given: it names which plain files stand for links, and everything after the
// test runs as on Windows.
#include "content/tests/win/temporary_folder.h"
#include "home/win/healing.h"

#include <gtest/gtest.h>

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
    ASSERT_FALSE(percents.empty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_LE(percents.back(), 99);

    write(folder / L"old.NYRA-HEAL", "x");
    home::removeHealingLeftovers(folder);
    EXPECT_FALSE(fs::exists(folder / L"Launcher.exe.nyra-old"));
    EXPECT_FALSE(fs::exists(folder / L"old.NYRA-HEAL"));
    EXPECT_TRUE(fs::exists(folder / L"Launcher.exe"));
    EXPECT_TRUE(fs::exists(folder / L"preferences.json.new"));
    fs::remove_all(folder);
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
