#include "home/folder_rules.h"
#include "home/tests/fake_folder_facts.h"
#include "core/text.h"

#include <gtest/gtest.h>

namespace nyra::home {
namespace {

using test::FakeFolderFacts;
using test::FakeVolume;

std::string narrow(const std::u16string& text) { return utf16ToUtf8(text); }

TEST(FolderRules, NormalPathsAndParents) {
    const struct {
        const char16_t* path;
        const char16_t* normal;
        const char16_t* parent;
        const char16_t* name;
    } cases[] = {
        {u"C:\\", u"C:\\", u"", u""},
        {u"c:", u"C:\\", u"", u""},
        {u"C:\\Jogos\\", u"C:\\Jogos", u"C:\\", u"Jogos"},
        {u"C:/Jogos//NyraBrasil/", u"C:\\Jogos\\NyraBrasil", u"C:\\Jogos", u"NyraBrasil"},
        {u"C:\\a\\.\\b\\..\\c", u"C:\\a\\c", u"C:\\a", u"c"},
        {u"C:\\..\\..\\x", u"C:\\x", u"C:\\", u"x"},
        {u"\\\\?\\D:\\Games", u"D:\\Games", u"D:\\", u"Games"},
        {u"\\\\nas\\share\\x\\y", u"\\\\nas\\share\\x\\y", u"\\\\nas\\share\\x", u"y"},
        {u"\\\\nas\\share\\x", u"\\\\nas\\share\\x", u"\\\\nas\\share", u"x"},
        {u"\\\\?\\UNC\\nas\\share\\..\\..", u"\\\\nas\\share", u"", u""},
    };
    for (const auto& c : cases) {
        const std::u16string normal = normalPath(c.path);
        EXPECT_EQ(narrow(normal), narrow(c.normal)) << narrow(c.path);
        EXPECT_EQ(narrow(parentPath(normal)), narrow(c.parent)) << narrow(c.path);
        EXPECT_EQ(narrow(lastName(normal)), narrow(c.name)) << narrow(c.path);
    }
}

TEST(FolderRules, IsInsideIgnoresCaseAndTrailingSeparatorsButNeedsASeparator) {
    const struct {
        const char16_t* path;
        const char16_t* base;
        bool inside;
    } cases[] = {
        {u"C:\\Users\\ana\\OneDrive\\Jogos", u"C:\\Users\\ana\\OneDrive", true},
        {u"c:\\users\\ANA\\onedrive", u"C:\\Users\\ana\\OneDrive\\\\", true},
        {u"C:\\Users\\ana\\OneDrive - Empresa", u"C:\\Users\\ana\\OneDrive", false},
        {u"C:\\Users\\ana", u"C:\\Users\\ana\\OneDrive", false},
        {u"D:\\x", u"D:\\", true},
        {u"D:\\", u"D:", true},
        {u"E:\\x", u"D:\\", false},
        {u"C:\\ÁGUA\\x", u"c:\\água", true},
        {u"C:\\x", u"", false},
        {u"\\\\nas\\share\\x", u"\\\\NAS\\Share", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isInside(c.path, c.base), c.inside) << narrow(c.path) << " in " << narrow(c.base);
    }
}

TEST(FolderRules, FolderCheckTakesTheFirstReasonInItsOrder) {
    FakeFolderFacts facts;
    facts.variables[u"OneDrive"] = u"D:\\Sync";  // a OneDrive folder whose path does not say so
    facts.variables[u"OneDriveCommercial"] = std::u16string(300, u'x');  // too long: ignored
    facts.volumes[u"D:\\"] = {};
    facts.volumes[u"R:\\"] = {DriveType::RamDisk};
    facts.volumes[u"G:\\"] = {DriveType::Fixed, u"Google Drive", u"FAT32"};
    facts.volumes[u"V:\\"] = {DriveType::Fixed, u"Cloud", u"CloudFS"};
    facts.volumes[u"\\\\nas\\games"] = {DriveType::Remote};
    facts.addFolder(u"D:\\Games\\Linked\\x");
    facts.reparse.insert(u"d:\\games\\linked");
    // A Downloads folder inside the OneDrive folder is refused for OneDrive, the first rule.
    facts.known[KnownFolder::Downloads] = u"D:\\Sync\\Downloads";
    facts.known[KnownFolder::Desktop] = u"C:\\Users\\ana\\Desktop";
    facts.variables[u"WINDIR"] = u"C:\\Windows";
    const struct {
        const char16_t* folder;
        const char* reason;
    } cases[] = {
        {u"D:\\Sync\\Games", kReasonOneDrive},
        {u"d:\\sync\\downloads\\x", kReasonOneDrive},
        {u"D:\\Backup\\Dropbox\\Games", kReasonCloudFolder},
        {u"C:\\Users\\ana\\OneDrive - Empresa\\x", kReasonCloudFolder},
        {u"D:\\Meu Drive\\Jogos", kReasonCloudFolder},
        {u"D:\\Mega\\x", kReasonCloudFolder},
        {u"D:\\Mega", kReasonCloudFolder},  // the sync root itself, not only what is inside
        {u"D:\\MegaGames", ""},
        {u"D:\\iCloudDrive\\x", kReasonCloudFolder},
        {u"C:\\Users\\ana\\AppData\\Local\\Temp\\nyra", kReasonTemporary},
        {u"C:\\Windows\\Temp\\x", kReasonSystem},
        {u"C:\\Users\\ana\\Desktop\\Jogo", kReasonDesktop},
        {u"C:\\Program Files\\Nyra", kReasonSystem},
        {u"C:\\Program Files (x86)\\Nyra", kReasonSystem},
        {u"\\\\nas\\games\\Nyra", kReasonNetworkDrive},
        {u"R:\\Nyra", kReasonUnsuitableDrive},
        {u"G:\\Nyra", kReasonGoogleDriveVolume},
        {u"V:\\Nyra", kReasonVirtualVolume},
        {u"D:\\Games\\Linked\\x\\y", kReasonRedirected},  // nearest existing folder is below a link
        {u"D:\\Games\\New\\Deeper", ""},                  // nearest existing folder D:\Games is plain
        {u"Q:\\Nyra", kReasonRedirected},                 // no such drive: nothing proves it plain
        {u"C:\\Jogos\\NyraBrasil", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(folderReason(facts, c.folder), c.reason) << narrow(c.folder);

    facts.known[KnownFolder::Downloads] = u"C:\\Users\\ana\\Downloads";
    EXPECT_EQ(folderReason(facts, u"C:\\Users\\ana\\Downloads\\Nyra"), kReasonDownloads);

    // A temporary folder inside Windows (as for a service account): the temporary rule comes first.
    facts.temporary = u"C:\\Windows\\Temp";
    EXPECT_EQ(folderReason(facts, u"C:\\Windows\\Temp\\x"), kReasonTemporary);
    EXPECT_EQ(folderReason(facts, u"C:\\Windows\\System32\\x"), kReasonSystem);
}

TEST(FolderRules, VolumeCheckReadsTypeLabelAndFileSystem) {
    FakeFolderFacts facts;
    const struct {
        FakeVolume volume;
        const char* reason;
    } cases[] = {
        {{DriveType::Fixed, u"Dados", u"NTFS"}, ""},
        {{DriveType::Removable, u"PENDRIVE", u"FAT32"}, ""},
        {{DriveType::Removable, u"", u"exFAT"}, ""},
        {{DriveType::Fixed, u"", u"ReFS"}, ""},
        {{DriveType::Fixed, u"", u"FAT"}, ""},
        {{DriveType::Fixed, u"My GoogleDrive", u"NTFS"}, kReasonGoogleDriveVolume},
        {{DriveType::Fixed, u"", u"FUSE"}, kReasonVirtualVolume},
        {{DriveType::Remote, u"", u"NTFS"}, kReasonNetworkDrive},
        {{DriveType::Optical, u"", u"CDFS"}, kReasonUnsuitableDrive},
        {{DriveType::Fixed, u"", u"weird", 0, false}, ""},  // names unreadable: no reason
    };
    for (const auto& c : cases) {
        facts.volumes[u"E:\\"] = c.volume;
        EXPECT_EQ(volumeReason(facts, u"E:\\Nyra"), c.reason) << narrow(c.volume.label) << narrow(c.volume.fileSystem);
    }
    EXPECT_EQ(volumeReason(facts, u"K:\\Nyra"), "");  // no volume root found: no reason
}

TEST(FolderRules, RedirectCheckWalksEveryParent) {
    FakeFolderFacts facts;
    facts.addFolder(u"C:\\Jogos\\NyraBrasil");
    EXPECT_FALSE(isRedirected(facts, u"C:\\Jogos\\NyraBrasil"));
    facts.reparse.insert(u"c:\\jogos");
    EXPECT_TRUE(isRedirected(facts, u"C:\\Jogos\\NyraBrasil"));
    EXPECT_TRUE(isRedirected(facts, u"C:\\Missing"));
    facts.files.insert(u"C:\\file.txt");
    EXPECT_TRUE(isRedirected(facts, u"C:\\file.txt"));
}

TEST(FolderRules, FreeSpaceTextAndTheTwelveGibRule) {
    EXPECT_EQ(freeSpaceText(0), "0 GB");
    EXPECT_EQ(freeSpaceText((12ull << 30) - (1ull << 29) + 1), "12 GB");  // 11.5 GiB and a byte rounds up
    EXPECT_EQ(freeSpaceText(1000ull << 30), "1000 GB");

    FakeFolderFacts facts;
    facts.volumes[u"D:\\"] = {DriveType::Fixed, u"", u"NTFS", (12ull << 30) - (1ull << 27)};  // 11.875 GiB
    const InstallEntry low = makeEntry(facts, u"D:\\Jogos\\NyraBrasil\\");
    EXPECT_EQ(low.path, "D:\\Jogos\\NyraBrasil");
    EXPECT_FALSE(low.usable);
    EXPECT_EQ(low.reason, "Espaço insuficiente (precisa de 12 GB livres).");
    EXPECT_EQ(low.label, "D:\\Jogos\\NyraBrasil   \u00B7   12 GB livres");
    EXPECT_EQ(low.freeBytes, (12ull << 30) - (1ull << 27));

    facts.volumes[u"D:\\"].freeBytes = 12ull << 30;
    const InstallEntry enough = makeEntry(facts, u"D:\\Jogos\\NyraBrasil");
    EXPECT_TRUE(enough.usable);
    EXPECT_EQ(enough.reason, "");

    // A folder refused for its place keeps that reason whatever the space.
    const InstallEntry desktop = makeEntry(facts, u"C:\\Users\\ana\\Desktop\\x");
    EXPECT_EQ(desktop.reason, kReasonDesktop);
}

TEST(FolderRules, CandidateListSortsUsableAndFreeSpaceKeepsFourAndPutsAUsableCurrentFolderFirst) {
    FakeFolderFacts facts;
    facts.volumes[u"C:\\"].freeBytes = 40ull << 30;
    facts.volumes[u"D:\\"] = {DriveType::Fixed, u"", u"NTFS", 500ull << 30};
    facts.volumes[u"E:\\"] = {DriveType::Removable, u"USB", u"FAT32", 5ull << 30};  // listed, unusable
    facts.volumes[u"F:\\"] = {DriveType::Remote, u"", u"NTFS", 900ull << 30};      // never listed
    facts.volumes[u"G:\\"] = {DriveType::Fixed, u"Google Drive", u"NTFS", 900ull << 30};
    facts.volumes[u"H:\\"] = {DriveType::Optical, u"", u"CDFS", 900ull << 30};
    facts.volumes[u"I:\\"] = {DriveType::Fixed, u"", u"NTFS", 60ull << 30};
    facts.volumes[u"J:\\"] = {DriveType::Fixed, u"", u"NTFS", 20ull << 30};

    // From a temporary folder (unusable) the drives alone fill the list.
    auto entries = candidateList(facts, u"C:\\Users\\ana\\AppData\\Local\\Temp\\x");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].path, "D:\\Jogos\\NyraBrasil");
    EXPECT_EQ(entries[1].path, "I:\\Jogos\\NyraBrasil");
    EXPECT_EQ(entries[2].path, "C:\\Jogos\\NyraBrasil");
    EXPECT_EQ(entries[3].path, "J:\\Jogos\\NyraBrasil");

    facts.volumes.erase(u"I:\\");
    facts.volumes.erase(u"J:\\");
    entries = candidateList(facts, u"C:\\Users\\ana\\Downloads");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].path, "E:\\Jogos\\NyraBrasil");
    EXPECT_FALSE(entries[2].usable);

    // A usable current folder comes first and replaces its own drive entry.
    facts.addFolder(u"C:\\Jogos\\NyraBrasil");
    entries = candidateList(facts, u"c:\\jogos\\nyrabrasil");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].path, "C:\\jogos\\nyrabrasil");
    EXPECT_EQ(entries[1].path, "D:\\Jogos\\NyraBrasil");
    EXPECT_EQ(entries[2].path, "E:\\Jogos\\NyraBrasil");
}

TEST(FolderRules, FolderFromPick) {
    FakeFolderFacts facts;
    facts.addFolder(u"E:\\Games");
    facts.addFolder(u"E:\\Full\\Other");
    facts.addFolder(u"E:\\NyraOnline\\x");
    facts.addFolder(u"E:\\Stuff");
    facts.files.insert(u"E:\\Stuff\\notes.txt");
    const struct {
        const char16_t* picked;
        const char16_t* folder;
    } cases[] = {
        {u"E:\\Games", u"E:\\Games"},                // empty: used as it is
        {u"E:\\Full", u"E:\\Full\\NyraBrasil"},      // holds a folder
        {u"E:\\Stuff\\", u"E:\\Stuff\\NyraBrasil"},  // holds a file
        {u"E:\\NyraOnline", u"E:\\NyraOnline"},      // its name speaks of the game
        {u"E:\\", u"E:\\NyraBrasil"},                // a drive root
    };
    for (const auto& c : cases) EXPECT_EQ(narrow(folderFromPick(facts, c.picked)), narrow(c.folder)) << narrow(c.picked);
}

}  // namespace
}  // namespace nyra::home
