// Protected components on disk under Wine: materialisation from encrypted packs, the client.ini
// rule, failures, the guard authorisation, the protected-file check and the clean-up.
#include "core/tests/failure_text.h"
#include "content/components.h"
#include "content/tests/win/guard_fixture.h"
#include "content/win/components.h"
#include "content/xpress_huffman.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"

#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nyra {
namespace {

using test::failureOf;

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
std::string hexDigest(std::string_view bytes) { return win::sha256Hex(bytes.data(), bytes.size()); }

// AES-256-GCM encryption with CNG, the publisher's side of decryptGcm.
Bytes encryptGcm(const Bytes& plain, const Bytes& key, const std::array<std::uint8_t, 12>& iv,
                 std::array<std::uint8_t, 16>& tag) {
    win::UniqueAlgorithmProvider aes;
    EXPECT_TRUE(BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(aes.put(), BCRYPT_AES_ALGORITHM, nullptr, 0)));
    EXPECT_TRUE(BCRYPT_SUCCESS(::BCryptSetProperty(aes.get(), BCRYPT_CHAINING_MODE,
                                                   reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                                   sizeof(BCRYPT_CHAIN_MODE_GCM), 0)));
    win::UniqueKeyHandle handle;
    EXPECT_TRUE(BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(aes.get(), handle.put(), nullptr, 0,
                                                            const_cast<PUCHAR>(key.data()), 32, 0)));
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(iv.data());
    info.cbNonce = 12;
    info.pbTag = tag.data();
    info.cbTag = 16;
    Bytes cipher(plain.size());
    ULONG written = 0;
    EXPECT_TRUE(BCRYPT_SUCCESS(::BCryptEncrypt(handle.get(), const_cast<PUCHAR>(plain.data()),
                                               static_cast<ULONG>(plain.size()), &info, nullptr, 0, cipher.data(),
                                               static_cast<ULONG>(cipher.size()), &written, 0)));
    return cipher;
}

// A game folder with one pack holding the entries added, and the catalog describing them.
class PackBuilder {
public:
    PackBuilder() : key_(32, 0x42) { catalog.packs.push_back({"nyra-000.pck", 0, std::string(64, '0')}); }

    CatalogEntry& add(const std::string& path, std::string_view content, bool compress = false) {
        const Bytes plain = bytesOf(content);
        CatalogEntry entry;
        entry.path = path;
        entry.plainSize = plain.size();
        entry.sha256 = hexDigest(content);
        entry.iv.fill(static_cast<std::uint8_t>(catalog.entries.size() + 1));
        entry.compressed = compress;
        const Bytes stored = compress ? compressXpressHuffman(plain) : plain;
        const Bytes cipher = encryptGcm(stored, key_, entry.iv, entry.tag);
        entry.pack = 0;
        entry.offset = pack_.size();
        entry.size = cipher.size();
        pack_.insert(pack_.end(), cipher.begin(), cipher.end());
        catalog.entries.push_back(entry);
        return catalog.entries.back();
    }
    void writeTo(const fs::path& gameFolder) {
        writeFile(gameFolder / "nyra-000.pck", std::string(pack_.begin(), pack_.end()));
        catalog.packs[0].size = pack_.size();
    }
    const Bytes& key() const { return key_; }

    Catalog catalog;

private:
    Bytes key_;
    Bytes pack_;
};

class Components : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("nyra-components-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(game());
        fs::create_directories(engine());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path game() const { return root_ / "game"; }
    fs::path engine() const { return root_ / "game" / ".engine"; }

    std::uint64_t materialise(const PackBuilder& packs, const json& policy, std::vector<std::string>* texts = nullptr,
                              std::vector<int>* percents = nullptr) {
        std::atomic<bool> cancel{false};
        return materialiseEntries(packs.catalog, policy, engine(), game(), packs.key(), cancel,
                                  [&](const std::string& text, int percent) {
                                      if (texts) texts->push_back(text);
                                      if (percents) percents->push_back(percent);
                                  });
    }

    fs::path root_;
};

const std::string kIni = "[screen]\nwidth=1920\n";
const std::string kGameBin = std::string(5000, 'g') + "game body";
const std::string kDll = "MZ guard dll body";

TEST_F(Components, MaterialisesTheSelectedEntriesOnceAndKeepsMatchingFiles) {
    PackBuilder packs;
    packs.add("Launcher.exe", "a launcher that must never be copied");
    packs.add("NyraGuard.dll", kDll);
    packs.add("client.ini", kIni);
    packs.add("data/world.pak", "not a protected file");
    packs.add("game.bin", kGameBin, /*compress=*/true);
    packs.add("graphics/reshade/fx/e.fx", "shader", /*compress=*/true);
    packs.writeTo(game());
    const json policy = {{"files",
                          {{"Launcher.exe", hexDigest("x")},
                           {"NyraGuard.dll", hexDigest(kDll)},
                           {"game.bin", hexDigest(kGameBin)},
                           {"graphics/reshade/fx/e.fx", hexDigest("shader")}}}};

    std::vector<std::string> texts;
    std::vector<int> percents;
    EXPECT_EQ(materialise(packs, policy, &texts, &percents), 4u);
    EXPECT_EQ(readFile(engine() / "NyraGuard.dll"), kDll);
    EXPECT_EQ(readFile(engine() / "client.ini"), kIni);
    EXPECT_EQ(readFile(engine() / "game.bin"), kGameBin);
    EXPECT_EQ(readFile(engine() / "graphics" / "reshade" / "fx" / "e.fx"), "shader");
    EXPECT_FALSE(fs::exists(engine() / "Launcher.exe"));
    EXPECT_FALSE(fs::exists(engine() / "data"));
    EXPECT_FALSE(fs::exists(engine() / "game.bin.nyra-new"));
    EXPECT_EQ(texts, (std::vector<std::string>{"Componente conferido: NyraGuard.dll", "Componente conferido: client.ini",
                                               "Componente conferido: game.bin",
                                               "Componente conferido: graphics/reshade/fx/e.fx"}));
    EXPECT_EQ(percents.back(), 99);

    // A second start finds everything in place: one hash each, no write.
    texts.clear();
    EXPECT_EQ(materialise(packs, policy, &texts), 0u);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Conferindo componente: game.bin"), texts.end());

    // A changed file of the same size is rewritten from the pack.
    writeFile(engine() / "NyraGuard.dll", std::string(kDll.size(), 'x'));
    EXPECT_EQ(materialise(packs, policy), 1u);
    EXPECT_EQ(readFile(engine() / "NyraGuard.dll"), kDll);
}

TEST_F(Components, AnEmptyClientIniIsReplacedAndAnyOtherOneBelongsToThePlayer) {
    PackBuilder packs;
    packs.add("client.ini", kIni);
    packs.writeTo(game());
    const json policy = {{"files", json::object()}};

    writeFile(engine() / "client.ini", "");
    EXPECT_EQ(materialise(packs, policy), 1u);
    EXPECT_EQ(readFile(engine() / "client.ini"), kIni);

    writeFile(engine() / "client.ini", "[screen]\nwidth=800\n");
    EXPECT_EQ(materialise(packs, policy), 0u);
    EXPECT_EQ(readFile(engine() / "client.ini"), "[screen]\nwidth=800\n");
}

TEST_F(Components, BrokenEntriesAndPacksFailWithTheirTexts) {
    const json policy = {{"files", {{"game.bin", "0"}, {"sub/game.bin", "0"}}}};
    const auto failureWith = [&](const std::function<void(PackBuilder&)>& change) {
        PackBuilder packs;
        packs.add("game.bin", kGameBin, true);
        packs.writeTo(game());
        change(packs);
        fs::remove(engine() / "game.bin");
        return failureOf([&] { materialise(packs, policy); });
    };
    EXPECT_EQ(failureWith([](PackBuilder& p) { p.catalog.entries[0].pack = 1; }), "Pacote ausente.");
    EXPECT_EQ(failureWith([&](PackBuilder&) { fs::remove(game() / "nyra-000.pck"); }), "Pacote ausente.");
    EXPECT_EQ(failureWith([](PackBuilder& p) { p.catalog.entries[0].offset += 1; }), "Indice de pacote invalido.");
    EXPECT_EQ(failureWith([](PackBuilder& p) { p.catalog.entries[0].offset = UINT64_MAX; }), "Indice de pacote invalido.");
    EXPECT_EQ(failureWith([](PackBuilder& p) { p.catalog.entries[0].plainSize = kMaxEntrySize + 1; }),
              "Arquivo muito grande.");
    EXPECT_EQ(failureWith([](PackBuilder& p) { p.catalog.entries[0].tag[0] ^= 1; }),
              "Pacote alterado ou chave incorreta.");
    EXPECT_EQ(failureWith([](PackBuilder& p) { p.catalog.entries[0].sha256 = std::string(64, 'a'); }),
              "Arquivo do jogo alterado.");
    EXPECT_EQ(failureWith([&](PackBuilder& p) {
                  p.catalog.entries[0].path = "sub/game.bin";
                  writeFile(engine() / "sub", "a file where the folder belongs");
              }),
              "Nao foi possivel preparar o arquivo.");
    EXPECT_EQ(failureWith([&](PackBuilder&) { fs::resize_file(game() / "nyra-000.pck", 100); }),
              "Indice de pacote invalido.") << "a pack cut short since the catalog was made";
    EXPECT_FALSE(fs::exists(engine() / "game.bin"));
    EXPECT_FALSE(fs::exists(engine() / "game.bin.nyra-new"));

    PackBuilder packs;
    packs.add("game.bin", kGameBin);
    packs.writeTo(game());
    std::atomic<bool> cancel{true};
    EXPECT_EQ(failureOf([&] { materialiseEntries(packs.catalog, policy, engine(), game(), packs.key(), cancel, {}); }),
              "Preparacao cancelada.");
}

TEST_F(Components, AComponentInUseIsNotReplacedAndNothingHalfWrittenStays) {
    PackBuilder packs;
    packs.add("game.bin", kGameBin);
    packs.writeTo(game());
    writeFile(engine() / "game.bin", "old game");
    win::UniqueHandle running(::CreateFileW((engine() / "game.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(running);
    EXPECT_EQ(failureOf([&] { materialise(packs, json{{"files", {{"game.bin", "0"}}}}); }),
              "Feche o jogo para aplicar os arquivos.");
    running.reset();
    EXPECT_EQ(readFile(engine() / "game.bin"), "old game");
    EXPECT_FALSE(fs::exists(engine() / "game.bin.nyra-new"));
}

TEST_F(Components, ALeftoverTemporaryFileIsReplacedNotWrittenThrough) {
    PackBuilder packs;
    packs.add("game.bin", kGameBin);
    packs.writeTo(game());
    writeFile(root_ / "outside.txt", "someone else's file");
    ASSERT_TRUE(::CreateHardLinkW((engine() / "game.bin.nyra-new").c_str(), (root_ / "outside.txt").c_str(), nullptr));
    ::SetFileAttributesW((engine() / "game.bin.nyra-new").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(materialise(packs, json{{"files", {{"game.bin", "0"}}}}), 1u);
    EXPECT_EQ(readFile(engine() / "game.bin"), kGameBin);
    EXPECT_EQ(readFile(root_ / "outside.txt"), "someone else's file");
    EXPECT_FALSE(fs::exists(engine() / "game.bin.nyra-new"));
}

TEST_F(Components, PreparedEngineFolderHasItsSubfoldersAndRoomForTheEntries) {
    PackBuilder packs;
    packs.add("game.bin", kGameBin);
    packs.add("data/world.pak", std::string(100, 'w'));
    const json policy = {{"files", {{"game.bin", "0"}}}};
    std::uint64_t asked = 0;
    prepareEngineFolder(engine(), packs.catalog, policy, [&](const fs::path&, std::uint64_t& free) {
        free = kEngineFreeSpaceMargin + kGameBin.size() + 1;
        ++asked;
        return true;
    });
    EXPECT_EQ(asked, 1u);
    for (const char* sub : {"UserSetting", "ScreenCapture", "Temp"}) EXPECT_TRUE(fs::is_directory(engine() / sub)) << sub;
    EXPECT_NE(::GetFileAttributesW(engine().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

    EXPECT_EQ(failureOf([&] {
                  prepareEngineFolder(engine(), packs.catalog, policy, [&](const fs::path&, std::uint64_t& free) {
                      free = kEngineFreeSpaceMargin + kGameBin.size();
                      return true;
                  });
              }),
              "Espaco insuficiente na pasta do jogo.");
    EXPECT_EQ(failureOf([&] {
                  prepareEngineFolder(engine(), packs.catalog, policy, [](const fs::path&, std::uint64_t&) { return false; });
              }),
              "Espaco insuficiente na pasta do jogo.");
    std::uint64_t real = 0;
    EXPECT_TRUE(freeBytesForCurrentUser(engine(), real));
    EXPECT_GT(real, 0u);
}

class GuardCheck : public Components {
protected:
    void SetUp() override {
        Components::SetUp();
        for (std::size_t i = 0; i < test::kFixtureGuardHex.size(); i += 2) {
            guard_.push_back(static_cast<char>(std::stoi(std::string(test::kFixtureGuardHex.substr(i, 2)), nullptr, 16)));
        }
        ASSERT_EQ(guard_.size(), kGuardFileSize);
        writeFile(root_ / "Launcher.exe", test::kFixtureLauncher);
        writeFile(engine() / "game.bin", test::kFixtureGame);
        writeFile(engine() / "NyraGuard.dll", test::kFixtureGuardDll);
        writeFile(engine() / "nyra.guard", guard_);
        map_ = {{"Launcher.exe", hexDigest(test::kFixtureLauncher)},
                {"game.bin", hexDigest(test::kFixtureGame)},
                {"NyraGuard.dll", hexDigest(test::kFixtureGuardDll)}};
    }
    std::string guard_;
    json map_;
};

TEST_F(GuardCheck, ASignedGuardNamingTheFilesFoundPasses) {
    EXPECT_NO_THROW(verifyGuardAuthorization(engine(), map_));

    json policy = {{"files", map_}};
    policy["files"]["nyra.guard"] = hexDigest(guard_);
    const json found = checkProtectedFiles(root_, engine(), policy);
    EXPECT_EQ(found, policy["files"]);
}

TEST_F(GuardCheck, MalformedForgedOrStaleGuardsFail) {
    writeFile(engine() / "nyra.guard", guard_.substr(0, 487));
    EXPECT_EQ(failureOf([&] { verifyGuardAuthorization(engine(), map_); }),
              "A autorizacao do Guard esta invalida. Use Verificar arquivos.");
    writeFile(engine() / "nyra.guard", guard_ + "x");
    EXPECT_EQ(failureOf([&] { verifyGuardAuthorization(engine(), map_); }),
              "A autorizacao do Guard esta invalida. Use Verificar arquivos.");
    writeFile(engine() / "nyra.guard", guard_ + std::string(1024 - 488 + 1, 'x'));
    EXPECT_EQ(failureOf([&] { verifyGuardAuthorization(engine(), map_); }), "Tamanho de arquivo invalido.");

    std::string forged = guard_;
    forged[45] = static_cast<char>(forged[45] ^ 1);  // a digest changed after signing
    writeFile(engine() / "nyra.guard", forged);
    EXPECT_EQ(failureOf([&] { verifyGuardAuthorization(engine(), map_); }),
              "A assinatura do Guard esta invalida. Use Verificar arquivos.");

    writeFile(engine() / "nyra.guard", guard_);
    json stale = map_;
    stale["game.bin"] = hexDigest("an older game");
    EXPECT_EQ(failureOf([&] { verifyGuardAuthorization(engine(), stale); }),
              "A distribuicao do Guard e do launcher esta inconsistente. Atualize o launcher oficial; o jogo nao foi "
              "aberto.");
    fs::remove(engine() / "nyra.guard");
    EXPECT_EQ(failureOf([&] { verifyGuardAuthorization(engine(), map_); }), "Arquivo do jogo nao encontrado.");
}

TEST_F(GuardCheck, AComponentChangedAfterPreparationFailsTheLaunch) {
    const json policy = {{"files", map_}};
    writeFile(engine() / "NyraGuard.dll", "another dll");
    EXPECT_EQ(failureOf([&] { checkProtectedFiles(root_, engine(), policy); }),
              "Arquivo protegido alterado. Use Verificar arquivos.");
    fs::remove(engine() / "NyraGuard.dll");
    EXPECT_EQ(failureOf([&] { checkProtectedFiles(root_, engine(), policy); }), "Arquivo protegido ausente.");
}

}  // namespace
}  // namespace nyra
