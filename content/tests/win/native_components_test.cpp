// Engine folder and the clean-up of native components under Wine.
#include "content/win/native_components.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/win/handles.h"

namespace nyra {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class NativeComponents : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("nyra-native-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(engine());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path engine() const { return root_ / ".engine"; }

    fs::path root_;
};

TEST_F(NativeComponents, CleanUpDeletesNativeComponentsOnly) {
    for (const char* name : {"game.bin", "Helper.DLL", "setup.exe.nyra-new", "nyra.guard", "notes.txt", "client.ini"}) {
        writeFile(engine() / name, "x");
    }
    fs::create_directories(engine() / "plugins.dll");
    writeFile(engine() / "UserSetting" / "deep.dll", "x");
    writeFile(engine() / "graphics" / "reshade" / "fx" / "e.fx", "x");
    writeFile(engine() / "graphics" / "reshade" / "fx" / "e.fx.nyra-new", "x");
    writeFile(engine() / "graphics" / "reshade" / "fx" / "other.fx", "x");
    ::SetFileAttributesW((engine() / "game.bin").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_FALSE(cleanNativeComponents(engine())) << "the folder named like a DLL remains";
    for (const char* gone : {"game.bin", "Helper.DLL", "setup.exe.nyra-new", "nyra.guard"}) {
        EXPECT_FALSE(fs::exists(engine() / gone)) << gone;
    }
    for (const char* kept : {"notes.txt", "client.ini", "plugins.dll", "UserSetting/deep.dll",
                             "graphics/reshade/fx/other.fx"}) {
        EXPECT_TRUE(fs::exists(engine() / kept)) << kept;
    }
    EXPECT_FALSE(fs::exists(engine() / "graphics" / "reshade" / "fx" / "e.fx"));
    EXPECT_FALSE(fs::exists(engine() / "graphics" / "reshade" / "fx" / "e.fx.nyra-new"));

    fs::remove(engine() / "plugins.dll");
    writeFile(engine() / "game.bin", "x");
    EXPECT_TRUE(cleanNativeComponents(engine()));
    EXPECT_FALSE(fs::exists(engine() / "game.bin"));

    EXPECT_TRUE(cleanNativeComponents(root_ / "absent"));
    EXPECT_FALSE(fs::exists(root_ / "absent")) << "the clean-up never creates the folder";
}

TEST_F(NativeComponents, CleanUpReportsAComponentStillInUse) {
    writeFile(engine() / "game.bin", "x");
    {
        win::UniqueHandle running(::CreateFileW((engine() / "game.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(running);
        EXPECT_FALSE(cleanNativeComponents(engine()));
        EXPECT_TRUE(fs::exists(engine() / "game.bin"));
    }
    EXPECT_TRUE(cleanNativeComponents(engine())) << "the game has ended";
    EXPECT_FALSE(fs::exists(engine() / "game.bin"));

    // A file where the folder belongs is not an absent folder.
    writeFile(root_ / ".engine-1", "x");
    EXPECT_FALSE(cleanNativeComponents(root_ / ".engine-1"));
}

// A symbolic link that really is one. Wine 8 answers CreateSymbolicLinkW with success without
// making anything, so the cases that need a link are skipped there.
bool makeDirectoryLink(const fs::path& link, const fs::path& target) {
    if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        return false;
    }
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

TEST_F(NativeComponents, CleanUpNeverFollowsLinks) {
    // Shader files behind a linked folder belong to someone else.
    writeFile(root_ / "elsewhere" / "fx" / "e.fx", "not ours");
    fs::create_directories(engine() / "graphics" / "reshade");
    if (!makeDirectoryLink(engine() / "graphics" / "reshade" / "fx", root_ / "elsewhere" / "fx")) {
        GTEST_SKIP() << "no symbolic links on this system";
    }
    EXPECT_TRUE(cleanNativeComponents(engine()));
    EXPECT_EQ(readFile(root_ / "elsewhere" / "fx" / "e.fx"), "not ours");

    // An engine folder that is itself a link is refused.
    ASSERT_TRUE(makeDirectoryLink(root_ / "linked-engine", engine()));
    writeFile(engine() / "game.bin", "x");
    EXPECT_FALSE(cleanNativeComponents(root_ / "linked-engine"));
    EXPECT_TRUE(fs::exists(engine() / "game.bin"));
}

TEST(EngineFolder, OneFolderPerInstanceSlotBesideTheExecutable) {
    wchar_t module[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
    const fs::path beside = fs::path(module).parent_path();
    EXPECT_EQ(engineFolder(0), beside / ".engine");
    EXPECT_EQ(engineFolder(7), beside / ".engine-7");
}

}  // namespace
}  // namespace nyra
