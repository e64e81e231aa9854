#include "home/installed_game.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace nyra::home {
namespace {

TEST(InstalledGame, RecognisesCatalogMarkerOrPackFile) {
    const auto folder = std::filesystem::temp_directory_path() / "nyra-installed-game-test";
    const struct {
        const char* entry;
        bool directory;
        bool installed;
    } cases[] = {
        {nullptr, false, false},
        {"nyra.nidx", false, true},
        {".nyra-home", false, true},
        {"nyra-000.pck", false, true},
        {"NYRA-012.PCK", false, true},
        {"nyra-.pck", false, true},  // nine characters is enough
        {"nyra.pck", false, false},
        {"game-000.pck", false, false},
        {"nyra-000.pck.download", false, false},
        {"nyra-001.pck", true, false},  // a folder with a pack's name is not a pack
        {"readme.txt", false, false},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        if (c.entry != nullptr) {
            if (c.directory) {
                std::filesystem::create_directory(folder / c.entry);
            } else {
                std::ofstream(folder / c.entry) << "";
            }
        }
        EXPECT_EQ(holdsInstalledGame(folder), c.installed) << (c.entry ? c.entry : "(empty)");
    }
    std::filesystem::remove_all(folder);
    EXPECT_FALSE(holdsInstalledGame(folder));
}

// Names that are no text are skipped, whatever comes before or after them in the listing.
TEST(InstalledGame, AnEntryWhoseNameIsNoTextIsSkipped) {
    const auto folder = std::filesystem::temp_directory_path() / "nyra-installed-game-names";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    for (const char* name : {"\xff\xfe.bin", "nyra-\xc3.pck", "\x80"}) {
        std::ofstream(folder / std::filesystem::path(std::string(name))) << "";
    }
    EXPECT_FALSE(holdsInstalledGame(folder));
    std::ofstream(folder / "nyra-000.pck") << "";
    EXPECT_TRUE(holdsInstalledGame(folder));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace nyra::home
