// The Win32 content primitives on real files and CNG: file hashing, AES-GCM, whole-file I/O,
// path joining, pack handles and the protected receipts file.
#include "content/tests/win/temporary_folder.h"
#include "core/tests/failure_text.h"
#include "content/package.h"
#include "content/win/pack_file.h"
#include "content/win/pack_journal_source.h"
#include "content/win/primitives.h"
#include "content/win/receipts_file.h"
#include "platform/win/cng.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace nyra {
namespace {

using test::failureOf;

using nlohmann::json;

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        folder = test::freshTemporaryFolder(L"nyra-content-");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::filesystem::path write(const wchar_t* name, const std::string& content) {
        const auto file = folder / name;
        writeWholeFile(file, std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
        return file;
    }
    std::filesystem::path folder;
};

using FilePrimitives = TempFolder;

TEST_F(FilePrimitives, Sha256FileReportsEveryMebibyteBlock) {
    const auto file = write(L"abc.bin", "abc");
    EXPECT_EQ(sha256File(file), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    const auto big = write(L"big.bin", std::string(2 * 1048576 + 5, 'x'));
    std::vector<std::uint64_t> reports;
    const std::string digest = sha256File(big, [&](std::uint64_t done) { reports.push_back(done); });
    EXPECT_EQ(reports, (std::vector<std::uint64_t>{1048576, 2097152, 2097157}));
    const std::string content(2 * 1048576 + 5, 'x');
    EXPECT_EQ(digest, win::sha256Hex(content.data(), content.size()));

    EXPECT_EQ(failureOf([&] { sha256File(folder / L"missing.bin"); }), "Arquivo protegido ausente.");
}

TEST_F(FilePrimitives, WholeFileReadAndWrite) {
    const auto file = write(L"data.bin", "0123456789");
    EXPECT_EQ(readWholeFile(file, 10).size(), 10u);
    EXPECT_EQ(failureOf([&] { readWholeFile(file, 9); }), "Tamanho de arquivo invalido.");
    EXPECT_EQ(failureOf([&] { readWholeFile(folder / L"missing", 9); }), "Arquivo do jogo nao encontrado.");
    EXPECT_EQ(failureOf([&] { readWholeFile(folder, 9); }), "Arquivo do jogo nao encontrado.");
    EXPECT_EQ(failureOf([&] { writeWholeFile(folder / L"no-such-folder" / L"x", {}); }),
              "Nao foi possivel preparar o arquivo.");
    write(L"data.bin", "ab");  // replaces
    EXPECT_EQ(readWholeFile(file, 10).size(), 2u);
}

// Whatever has the name of a file written afresh is removed, not written through: a second name
// of another file leaves that file as it was, a read-only leftover goes, a folder stays and fails.
TEST_F(FilePrimitives, FreshFilesNeverWriteThroughWhatHadTheirName) {
    const auto other = write(L"other.bin", "keep these bytes");
    ASSERT_TRUE(::CreateHardLinkW((folder / L"second-name.bin").c_str(), other.c_str(), nullptr));
    write(L"second-name.bin", "new");
    EXPECT_EQ(readWholeFile(other, 100).size(), 16u);
    EXPECT_EQ(readWholeFile(folder / L"second-name.bin", 100).size(), 3u);

    const auto readOnly = write(L"read-only.bin", "old leftover");
    ASSERT_TRUE(::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    write(L"read-only.bin", "new");
    EXPECT_EQ(readWholeFile(readOnly, 100).size(), 3u);

    std::filesystem::create_directories(folder / L"a-folder" / L"inside");
    EXPECT_EQ(failureOf([&] { write(L"a-folder", "x"); }), "Nao foi possivel preparar o arquivo.");
    EXPECT_TRUE(std::filesystem::is_directory(folder / L"a-folder" / L"inside"));

    // Written in parts, then finished (flushed and closed); nothing more goes in after that.
    FreshFile parts = FreshFile::create(folder / L"parts.bin", FreshFile::Sharing::Readers);
    ASSERT_TRUE(parts);
    const std::uint8_t ab[] = {'a', 'b'};
    EXPECT_TRUE(parts.append(ab));
    EXPECT_TRUE(parts.append(ab));
    EXPECT_TRUE(parts.finish());
    EXPECT_FALSE(parts.append(ab));
    EXPECT_EQ(readWholeFile(folder / L"parts.bin", 100).size(), 4u);
}

TEST(Gcm, ParameterSizesAndAuthentication) {
    const std::vector<std::uint8_t> key(32, 7), nonce(12, 1), tag(16, 2), data(40, 3);
    const std::vector<std::uint8_t> shortKey(31, 7), longNonce(13, 1), shortTag(15, 2);
    EXPECT_EQ(failureOf([&] { decryptGcm(data, shortKey, nonce, tag); }), "Pacote criptografado invalido.");
    EXPECT_EQ(failureOf([&] { decryptGcm(data, key, longNonce, tag); }), "Pacote criptografado invalido.");
    EXPECT_EQ(failureOf([&] { decryptGcm(data, key, nonce, shortTag); }), "Pacote criptografado invalido.");
    EXPECT_EQ(failureOf([&] { decryptGcm(data, key, nonce, tag); }), "Pacote alterado ou chave incorreta.");
}

TEST(Gcm, DecryptsWhatCngEncrypted) {
    // Encrypt with CNG directly, then decrypt through the primitive; a flipped byte fails.
    const std::vector<std::uint8_t> key(32, 9), nonce(12, 4);
    const std::string plain = "{\"format\":1}";
    win::UniqueAlgorithmProvider aes;
    ASSERT_TRUE(BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(aes.put(), BCRYPT_AES_ALGORITHM, nullptr, 0)));
    ASSERT_TRUE(BCRYPT_SUCCESS(::BCryptSetProperty(aes.get(), BCRYPT_CHAINING_MODE,
                                                   reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                                   sizeof(BCRYPT_CHAIN_MODE_GCM), 0)));
    win::UniqueKeyHandle handle;
    ASSERT_TRUE(BCRYPT_SUCCESS(::BCryptGenerateSymmetricKey(aes.get(), handle.put(), nullptr, 0,
                                                            const_cast<PUCHAR>(key.data()), 32, 0)));
    std::vector<std::uint8_t> tag(16), cipher(plain.size());
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce.data());
    info.cbNonce = 12;
    info.pbTag = tag.data();
    info.cbTag = 16;
    ULONG produced = 0;
    ASSERT_TRUE(BCRYPT_SUCCESS(::BCryptEncrypt(handle.get(),
                                               reinterpret_cast<PUCHAR>(const_cast<char*>(plain.data())),
                                               static_cast<ULONG>(plain.size()), &info, nullptr, 0, cipher.data(),
                                               static_cast<ULONG>(cipher.size()), &produced, 0)));
    const auto decrypted = decryptGcm(cipher, key, nonce, tag);
    EXPECT_EQ(std::string(decrypted.begin(), decrypted.end()), plain);
    cipher[0] ^= 1;
    EXPECT_EQ(failureOf([&] { decryptGcm(cipher, key, nonce, tag); }), "Pacote alterado ou chave incorreta.");
}

using PathJoin = TempFolder;

TEST_F(PathJoin, PlainPathsJoinAndLinksAreRefused) {
    EXPECT_EQ(joinPackagePath(folder, "data/world/map.pak"), folder / L"data" / L"world" / L"map.pak");
    EXPECT_EQ(failureOf([&] { joinPackagePath(folder, "data/../x"); }), "Caminho invalido no pacote.");
    std::filesystem::create_directories(folder / L"real");
    if (!::CreateSymbolicLinkW((folder / L"link").c_str(), (folder / L"real").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }
    const DWORD attributes = ::GetFileAttributesW((folder / L"link").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // Wine 8 makes a Unix link that it does not report as a reparse point.
        GTEST_SKIP() << "this system does not report symbolic links as reparse points";
    }
    EXPECT_EQ(failureOf([&] { joinPackagePath(folder, "link/file.bin"); }), "Pasta do jogo redirecionada.");
}

using PackFile = TempFolder;

TEST_F(PackFile, IdentitySizeAndHashThroughTheHandle) {
    const auto file = write(L"nyra-000.pck", std::string(3 * 1048576, 'p'));
    VerifiedPackFile pack = VerifiedPackFile::open(file, VerifiedPackFile::Share::ReadOnly);
    EXPECT_EQ(pack.size(), 3u * 1048576);
    const json identity = pack.identity();
    for (const char* member : {"volume", "file_id", "creation", "write", "change", "size"}) {
        EXPECT_TRUE(identity.contains(member)) << member;
    }
    EXPECT_EQ(identity["file_id"].get<std::string>().size(), 32u);
    EXPECT_EQ(identity["size"], 3 * 1048576);
    std::vector<std::uint64_t> blocks;
    const std::string first = pack.sha256([&](std::uint64_t done) { blocks.push_back(done); });
    EXPECT_EQ(blocks.size(), 3u);
    EXPECT_EQ(pack.sha256({}), first);  // seeks back to the start
    // Wine has no change journal: no stamp, so every run hashes.
    EXPECT_TRUE(pack.journalIdentity(systemJournalSource()).is_null());
}

TEST_F(PackFile, WritersAndDirectoriesAreRefused) {
    const auto file = write(L"nyra-001.pck", "pack");
    {
        win::UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer);
        EXPECT_EQ(failureOf([&] { VerifiedPackFile::open(file, VerifiedPackFile::Share::ReadOnly); }),
                  "Feche programas que estejam alterando os pacotes do jogo e tente novamente.");
    }
    {
        VerifiedPackFile held = VerifiedPackFile::open(file, VerifiedPackFile::Share::ReadOnly);
        // While held, nobody may write the pack.
        win::UniqueHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer);
    }
    std::filesystem::create_directories(folder / L"nyra-002.pck");
    EXPECT_EQ(failureOf([&] { VerifiedPackFile::open(folder / L"nyra-002.pck", VerifiedPackFile::Share::ReadOnly); }),
              "Pacote do jogo invalido ou redirecionado.");
    // A second name for the same bytes would let them change under another path.
    if (::CreateHardLinkW((folder / L"other.bin").c_str(), file.c_str(), nullptr)) {
        EXPECT_EQ(failureOf([&] { VerifiedPackFile::open(file, VerifiedPackFile::Share::ReadOnly); }),
                  "Pacote do jogo invalido ou redirecionado.");
    }
}

using ReceiptsFile = TempFolder;

TEST_F(ReceiptsFile, ProtectedRoundTripHiddenAndForgotten) {
    const std::string index(64, 'b');
    ReceiptStore store("", index);
    const json stamp = {{"volume", 1}, {"file_id", std::string(32, '0')}, {"usn", 5}};
    store.record("nyra-000.pck", std::string(64, 'a'), 10, stamp, true, {1700000000000ULL, 5000});
    saveReceipts(folder, store);

    const auto file = folder / L".nyra-verified.bin";
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    // Protected, not plain JSON, and no temporary file left behind.
    const auto sealed = readWholeFile(file, 1048576);
    EXPECT_EQ(std::string(sealed.begin(), sealed.end()).find("nyra-000.pck"), std::string::npos);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 1u);

    EXPECT_EQ(loadReceipts(folder, index).packs(), store.packs());

    // Unprotected bytes or a file above 1 MiB give an empty store.
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    write(L".nyra-verified.bin", R"({"format":1,"packs":{"x":{}}})");
    EXPECT_TRUE(loadReceipts(folder, index).packs().empty());
    write(L".nyra-verified.bin", std::string(1048577, 'z'));
    EXPECT_TRUE(loadReceipts(folder, index).packs().empty());

    forgetReceipts(folder);
    EXPECT_EQ(::GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    // A directory of that name is left alone.
    std::filesystem::create_directories(file);
    forgetReceipts(folder);
    EXPECT_TRUE(std::filesystem::is_directory(file));
}

}  // namespace
}  // namespace nyra
