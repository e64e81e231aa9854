// The install worker and the relocation on real files: copies, markers, the shortcut read back
// through the shell link interface, and nothing of the player's touched when a step fails.
#include "home/folder_rules.h"
#include "home/relocation_plan.h"
#include "home/win/folder_facts.h"
#include "home/win/install.h"
#include "platform/win/handles.h"
#include "state/tests/win/access_entries.h"

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace nyra::home {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write(const fs::path& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary);
    out << content;
}

bool isHidden(const fs::path& file) {
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
}

// The target of a shortcut, read back through the shell link interface.
fs::path shortcutTarget(const fs::path& shortcut) {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    fs::path target;
    {
        win::ComReference<IShellLinkW> link;
        win::ComReference<IPersistFile> file;
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put())) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.put())) &&
            SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ)) &&
            SUCCEEDED(link->GetPath(path, MAX_PATH, nullptr, 0))) {
            target = path;
        }
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return target;
}

// A private folder of C: (Z:, the Linux root, reports a reparse point in Wine) holding a fake
// "running launcher", a desktop and room for installs.
class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, temp);
        static std::atomic<int> counter{0};
        root = fs::path(temp) / (L"nyra-install-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter++));
        fs::remove_all(root);
        fs::create_directories(root / L"download");
        fs::create_directories(root / L"desktop");
        running = root / L"download" / L"Launcher.exe";
        write(running, std::string(5 << 20, 'L') + "end");  // more than one 4 MiB block
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // The real system, with the user's temporary folder moved out of the way: the tests' folders live there.
    struct Facts final : SystemFolderFacts {
        std::optional<std::u16string> temporaryFolder() override { return temporary; }
        std::optional<std::u16string> environment(std::u16string_view name) override {
            if (name == u"SystemDrive" && systemDrive) return systemDrive;
            return SystemFolderFacts::environment(name);
        }
        std::optional<std::u16string> knownFolder(KnownFolder folder) override {
            if (folder == KnownFolder::LocalAppData && localAppData) return localAppData;
            return SystemFolderFacts::knownFolder(folder);
        }
        DriveType driveType(std::u16string_view root) override {
            return currentDriveRemote ? DriveType::Remote : SystemFolderFacts::driveType(root);
        }
        std::optional<std::u16string> systemDrive;
        bool currentDriveRemote = false;
        std::optional<std::u16string> temporary = u"C:\\nyra-no-temp";
        std::optional<std::u16string> localAppData;
    } facts;
    fs::path root;
    fs::path running;
};

TEST_F(InstallTest, InstallsIntoAPickedFolderWithMarkerAndShortcut) {
    fs::create_directories(root / L"Empty");
    fs::create_directories(root / L"Games");
    write(root / L"Games" / L"save.txt", "mine");
    const struct {
        const wchar_t* picked;
        const wchar_t* installedIn;
    } cases[] = {{L"Empty", L"Empty"}, {L"Games", L"Games\\NyraBrasil"}};
    for (const auto& c : cases) {
        const fs::path folder = toPath(folderFromPick(facts, (root / c.picked).u16string()));
        EXPECT_EQ(folder, root / c.installedIn);
        const fs::path launcher = installInto(facts, folder, running.parent_path(), running, root / L"desktop");
        EXPECT_EQ(launcher, root / c.installedIn / L"Launcher.exe");
        EXPECT_EQ(slurp(launcher), slurp(running));
        EXPECT_TRUE(fs::exists(folder / L".nyra-home"));
        EXPECT_TRUE(isHidden(folder / L".nyra-home"));
        EXPECT_EQ(fs::file_size(folder / L".nyra-home"), 0u);
        EXPECT_FALSE(fs::exists(folder / L".nyra-probe"));
        EXPECT_FALSE(fs::exists(folder / L"Launcher.exe.nyra-heal"));
        EXPECT_TRUE(fs::equivalent(shortcutTarget(root / L"desktop" / L"Nyra Saga Brasil.lnk"), launcher));
    }
    EXPECT_EQ(slurp(root / L"Games" / L"save.txt"), "mine");

    // A launcher already in the folder stays as it is.
    write(root / L"Empty" / L"Launcher.exe", "older build");
    EXPECT_EQ(installInto(facts, root / L"Empty", running.parent_path(), running, root / L"desktop"),
              root / L"Empty" / L"Launcher.exe");
    EXPECT_EQ(slurp(root / L"Empty" / L"Launcher.exe"), "older build");
}

// Read back from a folder: only the installing user, SYSTEM and Administrators may change it,
// Users may read and run; nothing is passed down from the parent. Wine keeps an access list as
// mode bits only and shows the owner's and SYSTEM's entries of it; a folder made without the list
// shows read and run for everyone there as well.
void expectGameFolderAccess(const fs::path& folder) {
    const std::wstring sid = test::currentUserSid();
    const std::wstring entries = test::accessEntries(folder);
    EXPECT_TRUE(entries == L"(A;OICI;FA;;;" + sid + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)" ||
                entries == L"(A;OICI;FA;;;SY)(A;OICI;FA;;;" + sid + L")")
        << fs::path(entries).string();
}

TEST_F(InstallTest, FoldersTheInstallMakesCarryTheirOwnAccessList) {
    const fs::path folder = root / L"Jogos" / L"NyraBrasil";
    installInto(facts, folder, running.parent_path(), running, root / L"desktop");
    expectGameFolderAccess(root / L"Jogos");
    expectGameFolderAccess(folder);
}

TEST_F(InstallTest, InstallingIntoTheCurrentFolderOnlyWritesTheMarker) {
    const fs::path current = running.parent_path();
    EXPECT_EQ(installInto(facts, fs::path(current.wstring() + L"\\"), current, running, root / L"desktop"), fs::path());
    EXPECT_TRUE(isHidden(current / L".nyra-home"));
    EXPECT_FALSE(fs::exists(root / L"desktop" / L"Nyra Saga Brasil.lnk"));
    EXPECT_EQ(std::distance(fs::directory_iterator(current), fs::directory_iterator()), 2);
}

TEST_F(InstallTest, RefusedOrFailedInstallsLeaveThePlayersFilesAndNoTraceOfThemselves) {
    // A probe that cannot be created: the player's folder and its files stay as they were.
    const fs::path blocked = root / L"Blocked";
    fs::create_directories(blocked / L".nyra-probe");
    write(blocked / L"keep.txt", "keep");
    try {
        installInto(facts, blocked, running.parent_path(), running, root / L"desktop");
        ADD_FAILURE() << "installed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Nao foi possivel usar essa pasta. Escolha outro lugar.");
    }
    EXPECT_EQ(slurp(blocked / L"keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(blocked / L"Launcher.exe"));
    EXPECT_FALSE(fs::exists(blocked / L".nyra-home"));

    // A launcher that cannot be read: the folders the install made are gone again.
    try {
        installInto(facts, root / L"New" / L"Deeper", running.parent_path(), root / L"missing.exe", root / L"desktop");
        ADD_FAILURE() << "installed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), kSourceUnreadable);
    }
    EXPECT_FALSE(fs::exists(root / L"New"));
    EXPECT_FALSE(fs::exists(root / L"desktop" / L"Nyra Saga Brasil.lnk"));

    // A folder refused by the rules is never created.
    facts.temporary = root.u16string();
    try {
        installInto(facts, root / L"Other", running.parent_path(), running, root / L"desktop");
        ADD_FAILURE() << "installed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), kReasonTemporary);
    }
    EXPECT_FALSE(fs::exists(root / L"Other"));
}

TEST_F(InstallTest, CopyReportsBlocksAndACancelRemovesThePartialCopy) {
    std::vector<std::uint64_t> reports;
    copyFile(running, root / L"copy", [&](std::uint64_t copied) { reports.push_back(copied); });
    EXPECT_EQ(reports, (std::vector<std::uint64_t>{4194304, (5 << 20) + 3}));
    EXPECT_EQ(slurp(root / L"copy"), slurp(running));

    std::atomic<bool> stop{false};
    try {
        copyFile(running, root / L"partial", [&](std::uint64_t) { stop = true; }, &stop);
        ADD_FAILURE() << "copied";
    } catch (const InstallCancelled& e) {
        EXPECT_STREQ(e.what(), "Instalacao cancelada.");
    }
    EXPECT_FALSE(fs::exists(root / L"partial"));
}

TEST_F(InstallTest, RelocationMovesTheGameToTheFirstSafePlaceAndLeavesTheOldFolderAlone) {
    const fs::path old = root / L"Synced";
    fs::create_directories(old / L".identity");
    const fs::path launcher = old / L"Launcher (2).exe";
    fs::copy_file(running, launcher);
    write(old / L"nyra.nidx", "catalog");
    write(old / L"nyra-000.pck", "pack");
    write(old / L"preferences.json", "{}");
    write(old / L"Launcher.exe.update", "temporary");
    write(old / L"x.nyra-heal", "temporary");
    // The current folder's drive is not a place (as for a network drive): %SystemDrive% is next.
    facts.currentDriveRemote = true;
    facts.systemDrive = (root / L"sys").u16string();
    facts.localAppData = (root / L"local").u16string();
    fs::create_directories(root / L"sys");

    std::vector<std::pair<std::string, int>> statuses;
    std::atomic<bool> stop{false};
    const auto progress = [&](const std::string& text, int percent) { statuses.emplace_back(text, percent); };
    const Relocated moved = relocate(facts, old, launcher, root / L"desktop", progress, stop);
    const fs::path target = root / L"sys" / L"Jogos" / L"NyraBrasil";
    EXPECT_EQ(moved.launcher.parent_path(), target);
    EXPECT_EQ(moved.launcher.filename(), L"Launcher.exe");
    EXPECT_EQ(slurp(moved.launcher), slurp(running));
    for (const wchar_t* name : {L"nyra.nidx", L"nyra-000.pck", L"preferences.json"}) {
        EXPECT_EQ(slurp(target / name), slurp(old / name)) << fs::path(name).string();
    }
    EXPECT_FALSE(fs::exists(target / L"Launcher.exe.update"));
    EXPECT_FALSE(fs::exists(target / L"x.nyra-heal"));
    EXPECT_FALSE(fs::exists(target / L"Launcher (2).exe"));
    EXPECT_TRUE(isHidden(target / L".nyra-home"));
    expectGameFolderAccess(target);
    EXPECT_TRUE(moved.shortcutCreated);
    EXPECT_TRUE(fs::equivalent(shortcutTarget(root / L"desktop" / L"Nyra Saga Brasil.lnk"), moved.launcher));
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front().first, "Instalando o jogo numa pasta segura: " + target.string() + "...");
    EXPECT_EQ(statuses.back(), std::make_pair("Jogo instalado em " + target.string() + ". Abrindo o launcher de la...", 100));
    // Nothing of the old folder changed.
    EXPECT_EQ(slurp(old / L"nyra-000.pck"), "pack");
    EXPECT_TRUE(fs::exists(launcher));

    // Closing the window before the move: cancelled, nothing made.
    fs::remove_all(root / L"sys" / L"Jogos");
    stop = true;
    try {
        relocate(facts, old, launcher, root / L"desktop", progress, stop);
        ADD_FAILURE() << "moved";
    } catch (const InstallCancelled&) {
    }
    EXPECT_FALSE(fs::exists(root / L"sys" / L"Jogos"));

    // Closed once the launcher (two blocks, copied first) is in place and the next file has begun:
    // what was moved already goes again with the folders made for it.
    stop = false;
    int reports = 0;
    try {
        relocate(facts, old, launcher, root / L"desktop",
                 [&](const std::string&, int) {
                     if (++reports == 4) stop = true;  // the status, two launcher blocks, the next file's block
                 },
                 stop);
        ADD_FAILURE() << "moved";
    } catch (const InstallCancelled&) {
    }
    EXPECT_EQ(reports, 4);
    EXPECT_FALSE(fs::exists(root / L"sys" / L"Jogos"));
    EXPECT_TRUE(fs::exists(launcher));
}

}  // namespace
}  // namespace nyra::home
