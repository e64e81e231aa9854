// Rules of the protected components: which entries are materialised, which names the clean-up
// removes, when an existing file stays, the guard record layout and the protected-file map.
#include "core/tests/failure_text.h"
#include "content/components.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace nyra {
namespace {

using test::failureOf;

using nlohmann::json;

TEST(NativeComponentNames, OnlyTopLevelBinariesAndTheGuardFile) {
    const struct {
        std::u16string name;
        bool component;
    } cases[] = {
        {u"game.bin", true},           {u"NyraGuard.DLL", true},      {u"setup.exe.nyra-new", true},
        {u"nyra.guard", true},         {u"NYRA.GUARD", true},         {u"nyra.guard.nyra-new", true},
        {u"readme.txt", false},        {u"client.ini", false},        {u"client.ini.nyra-new", false},
        {u"game.bin.NYRA-NEW", false},  // the temporary suffix is ours and exact in case
        {u"game.bin.nyra-new.nyra-new", false},  // only one suffix is removed
        {u"bin", false},               {u".dll", true},               {u"game.binx", false},
        {u"x.guard", false},           {u"data.Exe", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNativeComponentName(c.name), c.component) << std::string(c.name.begin(), c.name.end());
    }
}

TEST(MaterialisedEntries, PolicyFilesAndClientIniButNeverTheLauncher) {
    const json files = {{"Launcher.exe", "a"}, {"game.bin", "b"}, {"sub/NyraGuard.dll", "c"}, {"nyra.guard", "d"}};
    Catalog catalog;
    for (const auto& [path, size] : std::vector<std::pair<std::string, std::uint64_t>>{
             {"Launcher.exe", 100}, {"client.ini", 7}, {"data/world.pak", 1000}, {"game.bin", 50},
             {"nyra.guard", 488}, {"sub/NyraGuard.dll", 20}, {"Client.ini", 3}}) {
        CatalogEntry entry;
        entry.path = path;
        entry.plainSize = size;
        catalog.entries.push_back(entry);
    }
    std::vector<std::string> selected;
    const auto entries = materialisedEntries(catalog, files);
    for (const CatalogEntry* entry : entries) selected.push_back(entry->path);
    EXPECT_EQ(selected, (std::vector<std::string>{"client.ini", "game.bin", "nyra.guard", "sub/NyraGuard.dll"}));
    EXPECT_EQ(materialisedBytes(entries), 7u + 50u + 488u + 20u);

    CatalogEntry huge;
    huge.plainSize = UINT64_MAX - 1;
    EXPECT_EQ(materialisedBytes({&huge, &huge}), UINT64_MAX) << "saturates instead of wrapping";

    EXPECT_THROW(protectedFiles(json{{"files", json::array()}}), json::type_error);
    EXPECT_THROW(protectedFiles(json::object()), json::out_of_range);
    EXPECT_EQ(protectedFiles(json{{"files", files}}), files);
}

TEST(MaterialisedEntries, ExistingFilesStayWhenClientIniHoldsAnythingOrSizeThenDigestMatch) {
    const struct {
        const char* path;
        bool exists;
        std::uint64_t size;
        std::uint64_t plain;
        ExistingComponent expected;
    } cases[] = {
        {"client.ini", true, 1, 900, ExistingComponent::Keep},
        {"client.ini", true, 0, 900, ExistingComponent::Write},
        {"client.ini", false, 0, 900, ExistingComponent::Write},
        {"client.ini", true, 900, 900, ExistingComponent::Keep},
        {"game.bin", true, 900, 900, ExistingComponent::HashToDecide},
        {"game.bin", true, 899, 900, ExistingComponent::Write},
        {"game.bin", false, 0, 0, ExistingComponent::Write},
        {"sub/client.ini", true, 5, 900, ExistingComponent::Write},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(judgeExistingComponent(c.path, c.exists, c.size, c.plain), c.expected) << c.path << " " << c.size;
    }
}

TEST(MaterialisedEntries, ProgressAndFreeSpaceArithmetic) {
    EXPECT_EQ(componentPercent(0, 0), 94);
    EXPECT_EQ(componentPercent(0, 1000), 94);
    EXPECT_EQ(componentPercent(199, 1000), 94);
    EXPECT_EQ(componentPercent(200, 1000), 95);
    EXPECT_EQ(componentPercent(1000, 1000), 99);
    EXPECT_EQ(componentPercent(5000, 1000), 99);
    EXPECT_EQ(componentPercent(UINT64_MAX, UINT64_MAX), 99);  // no overflow in 5 x done

    EXPECT_FALSE(hasRoomForComponents(kEngineFreeSpaceMargin + 100, 100));
    EXPECT_TRUE(hasRoomForComponents(kEngineFreeSpaceMargin + 101, 100));
    EXPECT_FALSE(hasRoomForComponents(UINT64_MAX, UINT64_MAX - kEngineFreeSpaceMargin + 1));
}

// A guard record naming the digests `digests` (hex) in the order Launcher.exe, game.bin,
// NyraGuard.dll, followed by a placeholder signature.
std::vector<std::uint8_t> guardRecord(const std::array<std::string, 3>& digests) {
    std::vector<std::uint8_t> record(kGuardMagic.begin(), kGuardMagic.end());
    for (const auto& digest : digests) {
        const auto bytes = decodeHex(digest);
        record.insert(record.end(), bytes.begin(), bytes.end());
    }
    record.resize(kGuardFileSize, 0x5a);
    return record;
}

const std::string kLauncher(64, 'a');
const std::string kGame = "00" + std::string(62, 'b');
const std::string kGuardDll = std::string(62, 'c') + "ff";

TEST(GuardAuthorization, LayoutAndSize) {
    const auto record = guardRecord({kLauncher, kGame, kGuardDll});
    const GuardAuthorization parts = splitGuardAuthorization(record);
    EXPECT_EQ(parts.signedPart.size(), 104u);
    EXPECT_EQ(parts.signature.size(), 384u);
    EXPECT_EQ(parts.signedPart.data(), record.data());
    EXPECT_EQ(parts.signature.data(), record.data() + 104);
    EXPECT_EQ(record[40], 0x00);
    EXPECT_EQ(record[103], 0xff);

    for (const std::size_t size : {std::size_t{0}, std::size_t{487}, std::size_t{489}, std::size_t{1024}}) {
        std::vector<std::uint8_t> resized = record;
        resized.resize(size, 0x5a);
        EXPECT_EQ(failureOf([&] { splitGuardAuthorization(resized); }), texts::kGuardMalformed) << size;
    }
    std::vector<std::uint8_t> otherMagic = record;
    otherMagic[7] = '2';
    EXPECT_EQ(failureOf([&] { splitGuardAuthorization(otherMagic); }), texts::kGuardMalformed);
}

TEST(GuardAuthorization, DigestsMustMatchTheProtectedFileMap) {
    const auto record = guardRecord({kLauncher, kGame, kGuardDll});
    const json map = {{"Launcher.exe", kLauncher}, {"game.bin", kGame}, {"NyraGuard.dll", kGuardDll}, {"x.ini", "1"}};
    EXPECT_NO_THROW(checkGuardDigests(record, map));

    for (const char* name : {"Launcher.exe", "game.bin", "NyraGuard.dll"}) {
        json stale = map;
        stale[name] = std::string(64, 'e');
        EXPECT_EQ(failureOf([&] { checkGuardDigests(record, stale); }), texts::kGuardInconsistent) << name;
        json shorter = map;
        shorter[name] = std::string(62, 'e');
        EXPECT_EQ(failureOf([&] { checkGuardDigests(record, shorter); }), texts::kGuardInconsistent) << name;
        json upper = map;
        upper[name] = std::string(64, 'E');
        EXPECT_EQ(failureOf([&] { checkGuardDigests(record, upper); }), "Hash invalido.") << name;
        json missing = map;
        missing.erase(name);
        EXPECT_THROW(checkGuardDigests(record, missing), json::out_of_range) << name;
    }
}

TEST(ProtectedFileMap, HashesEveryListedFileInKeyOrder) {
    const json files = {{"Launcher.exe", "1"}, {"game.bin", "2"}, {"data/a.dll", "3"}};
    std::vector<std::string> asked;
    const json map = collectProtectedFiles(files, [&](const std::string& key) {
        asked.push_back(key);
        return files.at(key).get<std::string>();
    });
    EXPECT_EQ(map, files);
    EXPECT_EQ(asked, (std::vector<std::string>{"Launcher.exe", "data/a.dll", "game.bin"}));

    EXPECT_EQ(failureOf([&] {
                  collectProtectedFiles(files, [&](const std::string& key) { return key == "game.bin" ? "9" : files.at(key).get<std::string>(); });
              }),
              texts::kProtectedFileAltered);
    EXPECT_EQ(failureOf([&] { collectProtectedFiles(json{{"a", 1}}, [](const std::string&) { return std::string("1"); }); }),
              texts::kProtectedFileAltered);
}

}  // namespace
}  // namespace nyra
