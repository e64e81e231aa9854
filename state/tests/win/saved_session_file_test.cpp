// The saved session file under Wine: DPAPI round trip, refusals, forgetting and failed saves.
#include "core/tests/failure_text.h"
#include "state/saved_session.h"
#include "state/win/private_folder.h"
#include "state/win/saved_session.h"

#include "state/tests/win/access_entries.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nyra {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCookie = "Qm9vdHN0cmFwLXNlc3Npb24tdG9rZW4tZXhhbXBsZQA";  // 43 characters

class SavedSessionFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("nyra-session-" + std::to_string(::GetCurrentProcessId()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path identity() const { return folder_ / ".identity"; }
    fs::path sessionFile() const { return identity() / "session.dat"; }
    fs::path pendingFile() const { return identity() / "session.dat.new"; }

    void writeFile(const fs::path& path, const std::string& bytes) const {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // What CryptProtectData makes of `plain`, optionally bound to an entropy text.
    static std::string protect(const std::string& plain, const std::string& entropy = {}) {
        DATA_BLOB in{static_cast<DWORD>(plain.size()), reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
        DATA_BLOB extra{static_cast<DWORD>(entropy.size()), reinterpret_cast<BYTE*>(const_cast<char*>(entropy.data()))};
        DATA_BLOB out{};
        EXPECT_TRUE(::CryptProtectData(&in, L"Nyra Saga Brasil", entropy.empty() ? nullptr : &extra, nullptr,
                                       nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
        std::string blob(reinterpret_cast<const char*>(out.pbData), out.cbData);
        ::LocalFree(out.pbData);
        return blob;
    }

    void expectLoadFails(const char* message) const {
        try {
            const std::string value = loadSavedSession(folder_);
            ADD_FAILURE() << "loaded \"" << value << "\"";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), message);
        }
    }

    fs::path folder_;
};

using test::accessEntries;
using test::currentUserSid;

TEST_F(SavedSessionFile, SaveThenLoadGivesTheValueBackFromAHiddenProtectedFile) {
    EXPECT_EQ(loadSavedSession(folder_), "") << "no file yet";
    saveSession(folder_, kCookie);

    const DWORD attributes = ::GetFileAttributesW(identity().c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_FALSE(fs::exists(pendingFile()));
    const std::string stored = readFile(sessionFile());
    EXPECT_EQ(stored.find(kCookie), std::string::npos) << "the value is stored in the clear";
    EXPECT_LE(stored.size(), kSavedSessionLimit);

    EXPECT_EQ(loadSavedSession(folder_), kCookie);
    saveSession(folder_, "second-session-value");
    EXPECT_EQ(loadSavedSession(folder_), "second-session-value");
}

TEST_F(SavedSessionFile, UnusableFilesFailAndStayInPlace) {
    const struct {
        const char* name;
        std::string content;
        const char* message;
    } cases[] = {
        {"corrupted blob", "not a protected blob at all", "Sessao pertence a outro Windows."},
        {"empty file", "", "Sessao pertence a outro Windows."},
        {"protected with an entropy (another purpose)",
         protect(composeSavedSession(kCookie), "other purpose"), "Sessao pertence a outro Windows."},
        {"another backend's session",
         protect(R"({"origin":"https://api.other.example","session":")" + std::string(kCookie) + R"("})"),
         "Endereco da sessao alterado."},
        {"8192 bytes", std::string(8192, 'x'), "Sessao pertence a outro Windows."},
        {"8193 bytes", std::string(8193, 'x'), "Tamanho de arquivo invalido."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(sessionFile(), c.content);
        expectLoadFails(c.message);
        EXPECT_EQ(readFile(sessionFile()), c.content) << "the file was changed";
    }
}

TEST_F(SavedSessionFile, MissingFileOrAFolderInItsPlaceMeansNoSession) {
    EXPECT_EQ(loadSavedSession(folder_ / "does-not-exist"), "");
    fs::create_directories(sessionFile());
    EXPECT_EQ(loadSavedSession(folder_), "");
}

TEST_F(SavedSessionFile, AFileWithASecondNameIsRefused) {
    saveSession(folder_, kCookie);
    ASSERT_TRUE(::CreateHardLinkW((folder_ / "copy.dat").c_str(), sessionFile().c_str(), nullptr));
    expectLoadFails("Sessao redirecionada.");
}

TEST_F(SavedSessionFile, ForgetRemovesBothFilesAndIgnoresWhatIsMissing) {
    saveSession(folder_, kCookie);
    writeFile(pendingFile(), "left over");
    forgetSavedSession(folder_);
    EXPECT_FALSE(fs::exists(sessionFile()));
    EXPECT_FALSE(fs::exists(pendingFile()));
    EXPECT_EQ(loadSavedSession(folder_), "");
    forgetSavedSession(folder_);
    forgetSavedSession(folder_ / "never-created");
}

TEST_F(SavedSessionFile, AFailedSaveLeavesThePreviousSession) {
    saveSession(folder_, kCookie);
    const std::string previous = readFile(sessionFile());
    const auto expectSaveFails = [&](const std::string& value, const char* message) {
        try {
            saveSession(folder_, value);
            ADD_FAILURE() << "saved";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), message);
        }
        EXPECT_EQ(readFile(sessionFile()), previous);
        EXPECT_EQ(loadSavedSession(folder_), kCookie);
    };

    expectSaveFails("", "Sessao indisponivel para salvar.");
    // Too long to be read back: the unprotected text, or the protected file, passes the limit.
    expectSaveFails(std::string(8200, 'v'), "Nao foi possivel salvar a sessao.");
    expectSaveFails(std::string(8000, 'v'), "Nao foi possivel salvar a sessao.");
    EXPECT_FALSE(fs::exists(pendingFile()));

    // The pending name is taken by a folder: nothing can be written.
    fs::create_directories(pendingFile());
    expectSaveFails("another-value", "Nao foi possivel salvar a sessao.");
    EXPECT_TRUE(fs::is_directory(pendingFile())) << "a folder the save did not create was removed";
}

TEST_F(SavedSessionFile, AFailedMoveRemovesTheHalfDoneFile) {
    fs::create_directories(sessionFile() / "inside");  // the target cannot be replaced
    try {
        saveSession(folder_, kCookie);
        ADD_FAILURE() << "saved";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Nao foi possivel salvar a sessao.");
    }
    EXPECT_FALSE(fs::exists(pendingFile()));
    EXPECT_TRUE(fs::is_directory(sessionFile() / "inside"));
}

TEST_F(SavedSessionFile, PrivateFolderIsCreatedWithParentsAndRefusesNonFolders) {
    const auto nested = folder_ / "a" / "b" / ".engine";
    protectPrivateFolder(nested);
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_NE(::GetFileAttributesW(nested.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    // Only SYSTEM and this user, inherited by files and folders (a fresh folder here also lets
    // everyone read).
    EXPECT_EQ(accessEntries(nested), L"(A;OICI;FA;;;SY)(A;OICI;FA;;;" + currentUserSid() + L")");
    protectPrivateFolder(nested);  // again: nothing changes, nothing fails

    // The folder stays usable by its owner.
    writeFile(nested / "file.bin", "data");
    EXPECT_EQ(readFile(nested / "file.bin"), "data");

    // A file where the folder or a parent should be: the player's text, not the library's.
    writeFile(folder_ / "plain-file", "x");
    for (const fs::path& blocked : {folder_ / "plain-file", folder_ / "plain-file" / "inside"}) {
        EXPECT_EQ(test::failureOf([&] { protectPrivateFolder(blocked); }), "Nao foi possivel proteger o cache do jogo.")
            << blocked.string();
    }
}

}  // namespace
}  // namespace nyra
