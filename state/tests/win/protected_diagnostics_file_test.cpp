// Protected diagnostics files under Wine: DPAPI round trip, binding to the kind, the reader's
// refusals, atomic replacement and the migration of legacy JSON files.
#include "core/json_limits.h"
#include "core/tests/failure_text.h"
#include "core/tests/hostile_nesting.h"
#include "state/protected_diagnostics.h"
#include "state/win/protected_diagnostics.h"

#include "state/tests/win/access_entries.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace nyra {
namespace {

using test::failureOf;

namespace fs = std::filesystem;
using nlohmann::json;

class ProtectedDiagnostics : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("nyra-diagnostics-" + std::to_string(::GetCurrentProcessId()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path launchFile() const { return folder_ / "last-launch.dat"; }
    fs::path verificationFile() const { return folder_ / "last-verification.dat"; }

    static void writeFile(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Files of the folder other than the given ones (temporary files left behind).
    std::vector<std::string> strayFiles(std::initializer_list<const char*> expected) const {
        std::vector<std::string> stray;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            const std::string name = entry.path().filename().string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end()) stray.push_back(name);
        }
        return stray;
    }

    fs::path folder_;
};

using test::accessEntries;
using test::currentUserSid;

const json kLaunchRecord = {{"exit_code", 0}, {"duration_ms", 5400000}, {"result", "ended"}};
const json kVerificationSummary = {{"checked", 12}, {"repaired", 1}, {"note", "Verificação concluída"}};

TEST_F(ProtectedDiagnostics, WriteThenReadEachKindFromAnOpaqueContainer) {
    writeDiagnostic(folder_, DiagnosticKind::Launch, kLaunchRecord);
    writeDiagnostic(folder_, DiagnosticKind::Verification, kVerificationSummary);
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Launch), kLaunchRecord);
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Verification), kVerificationSummary);

    const std::string stored = readFile(launchFile());
    EXPECT_EQ(stored.substr(0, 8), "NYRADG01");
    EXPECT_EQ(stored.find("exit_code"), std::string::npos) << "the record is stored in the clear";
    EXPECT_EQ(strayFiles({"last-launch.dat", "last-verification.dat"}), std::vector<std::string>{});
    // Only SYSTEM and this user, nothing inherited from the folder.
    EXPECT_EQ(accessEntries(launchFile()), L"(A;;FA;;;SY)(A;;FA;;;" + currentUserSid() + L")");

    // A new record replaces the old one; a temporary file left by a crash disturbs nothing.
    writeFile(folder_ / "last-launch.dat.0123456789abcdef0123456789abcdef.tmp", "NYRADG01 half");
    const json next = {{"exit_code", 3}};
    writeDiagnostic(folder_, DiagnosticKind::Launch, next);
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Launch), next);
    EXPECT_TRUE(recordVerificationSummary(folder_, json::array({1, 2})));
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Verification), json::array({1, 2}));
}

TEST_F(ProtectedDiagnostics, AContainerOfOneKindDoesNotOpenAsTheOther) {
    writeDiagnostic(folder_, DiagnosticKind::Launch, kLaunchRecord);
    fs::copy_file(launchFile(), verificationFile());
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Verification); }),
              "Diagnostico alterado ou pertencente a outra conta do Windows.");

    // A blob made for another origin decrypts nowhere here either.
    DpapiDiagnosticProtector protector;
    writeFile(launchFile(), sealDiagnostic(protector, DiagnosticKind::Launch, "https://other.example", kLaunchRecord));
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Launch); }),
              "Diagnostico alterado ou pertencente a outra conta do Windows.");
}

TEST_F(ProtectedDiagnostics, TheReaderRefusesFilesItCannotTrust) {
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Launch); }), "Diagnostico protegido indisponivel.");
    const struct {
        std::string content;
        const char* failure;
    } cases[] = {
        {"", "Diagnostico com tamanho invalido."},
        {"NYRADG01", "Formato de diagnostico protegido invalido."},
        {"NYRADG01" + std::string(kDiagnosticContainerLimit - 8, 'x'),
         "Diagnostico alterado ou pertencente a outra conta do Windows."},
        {"NYRADG01" + std::string(kDiagnosticContainerLimit - 7, 'x'), "Diagnostico com tamanho invalido."},
    };
    for (const auto& c : cases) {
        writeFile(launchFile(), c.content);
        EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Launch); }), c.failure) << c.content.size();
    }

    writeDiagnostic(folder_, DiagnosticKind::Launch, kLaunchRecord);
    ASSERT_TRUE(::CreateHardLinkW((folder_ / "elsewhere.dat").c_str(), launchFile().c_str(), nullptr));
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Launch); }), "Diagnostico redirecionado.");
}

// A symbolic link that really is one. Wine 8 answers CreateSymbolicLinkW with success without
// making anything, so the cases that need a link are skipped there.
bool makeLink(const fs::path& link, const fs::path& target, bool directory) {
    const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) return false;
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

TEST_F(ProtectedDiagnostics, MissingFoldersAndFoldersInPlaceOfFilesAreRefused) {
    EXPECT_EQ(failureOf([&] { writeDiagnostic(folder_ / "missing", DiagnosticKind::Launch, kLaunchRecord); }),
              "Pasta de diagnosticos redirecionada ou indisponivel.");
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_ / "missing", DiagnosticKind::Launch); }),
              "Pasta de diagnosticos redirecionada ou indisponivel.");
    EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_ / "missing"); }),
              "Pasta de diagnosticos redirecionada ou indisponivel.");
    writeFile(folder_ / "plain-file", "x");
    EXPECT_EQ(failureOf([&] { writeDiagnostic(folder_ / "plain-file", DiagnosticKind::Launch, kLaunchRecord); }),
              "Pasta de diagnosticos redirecionada ou indisponivel.");

    fs::create_directories(launchFile());
    EXPECT_EQ(failureOf([&] { writeDiagnostic(folder_, DiagnosticKind::Launch, kLaunchRecord); }),
              "Destino do diagnostico redirecionado.");
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Launch); }), "Diagnostico protegido indisponivel.");
    EXPECT_TRUE(fs::is_directory(launchFile()));
}

TEST_F(ProtectedDiagnostics, LinkedFoldersAndFilesAreRefused) {
    fs::create_directories(folder_ / "real");
    if (!makeLink(folder_ / "link", folder_ / "real", true)) GTEST_SKIP() << "no symbolic links on this system";
    EXPECT_EQ(failureOf([&] { writeDiagnostic(folder_ / "link", DiagnosticKind::Launch, kLaunchRecord); }),
              "Pasta de diagnosticos redirecionada ou indisponivel.");
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_ / "link", DiagnosticKind::Launch); }),
              "Pasta de diagnosticos redirecionada ou indisponivel.");
    EXPECT_TRUE(fs::is_empty(folder_ / "real"));

    writeDiagnostic(folder_ / "real", DiagnosticKind::Verification, kVerificationSummary);
    ASSERT_TRUE(makeLink(verificationFile(), folder_ / "real" / "last-verification.dat", false));
    EXPECT_EQ(failureOf([&] { readDiagnostic(folder_, DiagnosticKind::Verification); }), "Diagnostico redirecionado.");
    EXPECT_EQ(failureOf([&] { writeDiagnostic(folder_, DiagnosticKind::Verification, kLaunchRecord); }),
              "Destino do diagnostico redirecionado.");
    ASSERT_TRUE(makeLink(folder_ / "last-launch.json", folder_ / "real" / "last-verification.dat", false));
    EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }), "Diagnostico antigo redirecionado.");
    EXPECT_EQ(readDiagnostic(folder_ / "real", DiagnosticKind::Verification), kVerificationSummary);
}

TEST_F(ProtectedDiagnostics, AFailedWriteKeepsThePreviousFileAndLeavesNothingBehind) {
    writeDiagnostic(folder_, DiagnosticKind::Launch, kLaunchRecord);
    const std::string previous = readFile(launchFile());

    // Too large to seal, or not readable back as the same record.
    EXPECT_EQ(failureOf([&] {
                  writeDiagnostic(folder_, DiagnosticKind::Launch, json(std::string(kDiagnosticEnvelopeLimit, 'a')));
              }),
              "Diagnostico muito grande.");
    EXPECT_EQ(failureOf([&] {
                  writeDiagnostic(folder_, DiagnosticKind::Launch, json{{"x", std::numeric_limits<double>::infinity()}});
              }),
              "Nao foi possivel conferir o diagnostico cifrado.");
    EXPECT_FALSE(recordDiagnostic(folder_, DiagnosticKind::Launch, json(std::string(kDiagnosticEnvelopeLimit, 'a'))));

    // The target cannot be replaced while another program holds it without sharing deletion.
    {
        HANDLE held = ::CreateFileW(launchFile().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(failureOf([&] { writeDiagnostic(folder_, DiagnosticKind::Launch, json{{"exit_code", 9}}); }),
                  "Nao foi possivel concluir o diagnostico protegido.");
        ::CloseHandle(held);
    }
    EXPECT_EQ(readFile(launchFile()), previous);
    EXPECT_EQ(strayFiles({"last-launch.dat"}), std::vector<std::string>{});
}

TEST_F(ProtectedDiagnostics, MigrationConvertsLegacyFilesAndRemovesThem) {
    EXPECT_EQ(migrateLegacyDiagnostics(folder_), 0u);

    writeFile(folder_ / "last-verification.json", kVerificationSummary.dump(2));
    EXPECT_EQ(migrateLegacyDiagnostics(folder_), 1u);
    EXPECT_FALSE(fs::exists(folder_ / "last-verification.json"));
    EXPECT_FALSE(fs::exists(launchFile()));
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Verification), kVerificationSummary);

    writeFile(folder_ / "last-launch.json", kLaunchRecord.dump());
    writeFile(folder_ / "last-verification.json", "[1,2,3]");
    EXPECT_EQ(migrateLegacyDiagnostics(folder_), 2u);
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Launch), kLaunchRecord);
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Verification), json::array({1, 2, 3}));
    EXPECT_EQ(strayFiles({"last-launch.dat", "last-verification.dat"}), std::vector<std::string>{});
}

TEST_F(ProtectedDiagnostics, LegacyFilesNestedTooDeepAreRefusedAndKept) {
    const std::string atLimit = test::nestedJson(kDocumentNestingLimit, "1");
    const std::string hostile = test::nestedJson(test::kHostileDepth);
    ASSERT_LE(hostile.size(), kLegacyDiagnosticLimit);
    test::onWindowsSizedStack([&] {
        // At the limit the record is sealed, read back and compared on a 1 MiB stack.
        writeFile(folder_ / "last-launch.json", atLimit);
        EXPECT_EQ(migrateLegacyDiagnostics(folder_), 1u);
        EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Launch), json::parse(atLimit));

        for (const std::string& deep : {test::nestedJson(kDocumentNestingLimit + 1), hostile}) {
            writeFile(folder_ / "last-verification.json", deep);
            EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }), "Diagnostico antigo invalido.");
            EXPECT_EQ(fs::file_size(folder_ / "last-verification.json"), deep.size());
            EXPECT_FALSE(fs::exists(verificationFile()));
        }
    });
}

TEST_F(ProtectedDiagnostics, MigrationStopsAtTheFirstFailureAndKeepsWhatItCouldNotConvert) {
    // The launch file converts; the verification file is not JSON and stays.
    writeFile(folder_ / "last-launch.json", kLaunchRecord.dump());
    writeFile(folder_ / "last-verification.json", "{not json");
    EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }), "Diagnostico antigo invalido.");
    EXPECT_FALSE(fs::exists(folder_ / "last-launch.json"));
    EXPECT_EQ(readDiagnostic(folder_, DiagnosticKind::Launch), kLaunchRecord);
    EXPECT_EQ(readFile(folder_ / "last-verification.json"), "{not json");
    EXPECT_FALSE(fs::exists(verificationFile()));

    const struct {
        const char* name;
        std::string content;
        const char* failure;
    } cases[] = {
        {"too large", std::string(kLegacyDiagnosticLimit + 1, ' '), "Diagnostico antigo muito grande."},
        {"empty", "", "Diagnostico com tamanho invalido."},
    };
    for (const auto& c : cases) {
        writeFile(folder_ / "last-verification.json", c.content);
        EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }), c.failure) << c.name;
        EXPECT_EQ(fs::file_size(folder_ / "last-verification.json"), c.content.size()) << c.name;
    }

    // Another launcher still holds the legacy file.
    writeFile(folder_ / "last-verification.json", "{}");
    HANDLE held = ::CreateFileW((folder_ / "last-verification.json").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }),
              "Feche o launcher antigo para proteger os diagnosticos.");
    ::CloseHandle(held);
    EXPECT_EQ(migrateLegacyDiagnostics(folder_), 1u);

    // Links and folders in place of a legacy file.
    fs::create_directories(folder_ / "last-launch.json");
    EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }), "Diagnostico antigo redirecionado.");
    fs::remove(folder_ / "last-launch.json");
    writeFile(folder_ / "other.json", "{}");
    ASSERT_TRUE(::CreateHardLinkW((folder_ / "last-launch.json").c_str(), (folder_ / "other.json").c_str(), nullptr));
    EXPECT_EQ(failureOf([&] { migrateLegacyDiagnostics(folder_); }), "Diagnostico antigo redirecionado.");
    EXPECT_TRUE(fs::exists(folder_ / "other.json"));
}

}  // namespace
}  // namespace nyra
