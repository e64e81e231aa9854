// The receipt fast path end to end. Wine keeps no change journal, so a scripted source answers as
// an NTFS volume with one would (records in the SDK's layout, version 3 for one pack) while the
// packs, their identities, the receipts file and the service are real: a second preparation
// trusts every pack without hashing it, and a touched pack, a recreated journal or a reboot makes
// it hash again. The product source is run on Wine's volume as it is.
#include "content/change_journal.h"
#include "content/win/pack_journal_source.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "content/win/receipts_file.h"
#include "core/clock.h"
#include "net/http.h"
#include "content/tests/win/temporary_folder.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>

namespace nyra::test {
namespace {

using nlohmann::json;

// The version-2 record exactly as the SDK declares it, followed by the file name.
std::vector<std::uint8_t> recordV2(std::int64_t usn, const std::wstring& name) {
    const std::size_t fixed = offsetof(USN_RECORD, FileName);
    std::vector<std::uint8_t> bytes((fixed + 2 * name.size() + 7) / 8 * 8, 0);
    USN_RECORD header{};
    header.RecordLength = static_cast<DWORD>(bytes.size());
    header.MajorVersion = 2;
    header.Usn = usn;
    header.FileNameLength = static_cast<WORD>(2 * name.size());
    header.FileNameOffset = static_cast<WORD>(fixed);
    std::memcpy(bytes.data(), &header, fixed);
    std::memcpy(bytes.data() + fixed, name.data(), 2 * name.size());
    return bytes;
}

// The version-3 record (128-bit file references; the MinGW headers do not declare it).
std::vector<std::uint8_t> recordV3(std::int64_t usn, const std::wstring& name) {
    std::vector<std::uint8_t> bytes((kChangeRecordV3Size + 2 * name.size() + 7) / 8 * 8, 0);
    const auto put = [&](std::size_t offset, const auto& value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    };
    put(0, static_cast<DWORD>(bytes.size()));
    put(4, WORD{3});
    put(40, usn);
    put(72, static_cast<WORD>(2 * name.size()));
    put(74, static_cast<WORD>(kChangeRecordV3Size));
    std::memcpy(bytes.data() + kChangeRecordV3Size, name.data(), 2 * name.size());
    return bytes;
}

std::vector<std::uint8_t> journalAnswer(std::uint64_t id) {
    static_assert(sizeof(USN_JOURNAL_DATA) == kChangeJournalSize);
    USN_JOURNAL_DATA data{};
    data.UsnJournalID = id;
    data.FirstUsn = 0;
    data.NextUsn = 1 << 20;
    data.LowestValidUsn = 0;
    data.MaxUsn = 0x7fffffffffff0000LL;
    std::vector<std::uint8_t> bytes(sizeof data);
    std::memcpy(bytes.data(), &data, sizeof data);
    return bytes;
}

TEST(ChangeJournalLayout, TheSdkStructuresReadAsTheyAreDeclared) {
    const auto v2 = parseChangeRecord(recordV2(0x0123456789ABCDEFLL, L"nyra-000.pck"));
    ASSERT_TRUE(v2);
    EXPECT_EQ(v2->majorVersion, 2);
    EXPECT_EQ(v2->usn, 0x0123456789ABCDEFLL);
    EXPECT_EQ(offsetof(USN_RECORD, FileName), kChangeRecordV2Size);
    EXPECT_EQ(parseChangeRecord(recordV3(42, L"nyra-000.pck")).value().usn, 42);
    const auto journal = parseChangeJournal(journalAnswer(0xFEDCBA9876543210ULL));
    ASSERT_TRUE(journal);
    EXPECT_EQ(journal->id, 0xFEDCBA9876543210ULL);
    EXPECT_EQ(journal->nextUsn, 1 << 20);
    EXPECT_EQ(journal->maxUsn, 0x7fffffffffff0000LL);
}

std::wstring fileNameOf(HANDLE file) {
    std::wstring path(32768, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), 0);
    path.resize(length < path.size() ? length : 0);
    return path.substr(path.find_last_of(L'\\') + 1);
}

// Answers as an NTFS volume with a change journal would, from a script the test changes between
// runs. Identities are the real ones of the files.
class ScriptedJournal final : public PackJournalSource {
public:
    std::map<std::wstring, std::int64_t> usns;  // by file name; 100 when not listed
    std::uint64_t journalId = 0x5eed0001;       // 0: the volume keeps no journal
    ReceiptTime clock{1700000000000ULL, 3600000};

    json fileIdentity(HANDLE file) override { return systemJournalSource().fileIdentity(file); }
    std::vector<std::uint8_t> changeRecord(HANDLE file) override {
        const std::wstring name = fileNameOf(file);
        const auto listed = usns.find(name);
        const std::int64_t usn = listed == usns.end() ? 100 : listed->second;
        return name == L"nyra-002.pck" ? recordV3(usn, name) : recordV2(usn, name);
    }
    std::vector<std::uint8_t> volumeJournal(HANDLE) override {
        return journalId == 0 ? std::vector<std::uint8_t>{} : journalAnswer(journalId);
    }
    ReceiptTime now() override { return clock; }

    void advance(std::uint64_t ms) {
        clock.nowMs += ms;
        clock.tickMs += ms;
    }
};

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

const char* const kPacks[] = {"nyra-000.pck", "nyra-001.pck", "nyra-002.pck"};

struct PreparationRun {
    std::vector<std::string> statuses;
    json summary;
    std::string error;
    std::optional<Prepared> prepared;

    bool saw(const std::string& text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
    // The packs whose bytes were hashed in this run: each hash reports "... | hashed / size MB".
    std::set<std::string> hashed() const {
        std::set<std::string> packs;
        for (const std::string& text : statuses) {
            for (const std::string pack : kPacks) {
                if (text.starts_with("Conferindo pacote ") && text.find(" - " + pack + " | ") != std::string::npos) {
                    packs.insert(pack);
                }
            }
        }
        return packs;
    }
    bool trusted(const std::string& pack) const { return saw("Pacote sem alteracoes registradas: " + pack); }
};

class JournalPreparation : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        folder = freshTemporaryFolder(L"nyra-journal-");
        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        const auto launcher = http->exchange("/api/download/launcher", "", "", 134217728);
        writeWholeFile(folder / L"Launcher.exe", launcher);
        policy = http->call("/api/launcher/package-policy");
    }
    void TearDown() override {
        http.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        ServiceTest::TearDown();
    }

    // One preparation with the scripted source; its result is released before the next run.
    PreparationRun prepareOnce() {
        PreparationRun run;
        PrepareOptions options;
        options.journal = &journal;
        options.summarySink = [&](const std::filesystem::path&, const json& summary) { run.summary = summary; };
        std::atomic<bool> cancel{false};
        NoComponents noComponents{folder / L".engine"};  // the packs are what these runs are about
        try {
            run.prepared = prepare(
                *http, folder, policy, false, cancel,
                [&](const std::string& text, int) { run.statuses.push_back(text); }, {}, noComponents, options);
        } catch (const std::exception& error) {
            run.error = error.what();
        }
        run.prepared.reset();
        return run;
    }

    json storedReceipts() const { return loadReceipts(folder, policy.at("index_sha256").get<std::string>()).packs(); }

    void touchWriteTime(const std::wstring& name) {
        win::UniqueHandle file(::CreateFileW((folder / name).c_str(), FILE_WRITE_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        FILETIME written{};
        ASSERT_TRUE(::GetFileTime(file.get(), nullptr, nullptr, &written));
        std::uint64_t ticks = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
        ticks -= 36000000000ULL;  // an hour earlier; the bytes stay as they are
        written.dwLowDateTime = static_cast<DWORD>(ticks);
        written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &written));
    }

    WinClock clock;
    std::unique_ptr<Http> http;
    std::filesystem::path folder;
    json policy;
    ScriptedJournal journal;
};

const std::set<std::string> kNone;
const std::set<std::string> kAll(std::begin(kPacks), std::end(kPacks));

TEST_F(JournalPreparation, TheJournalVouchesUntilAPackIsTouchedOrTheJournalIsRecreated) {
    PreparationRun first = prepareOnce();
    ASSERT_EQ(first.error, "");
    EXPECT_EQ(first.summary["downloaded_packs"], 3);
    // Installed packs get receipts stamped with their record and the journal.
    const json receipts = storedReceipts();
    ASSERT_EQ(receipts.size(), 3u);
    for (const std::string pack : kPacks) {
        EXPECT_EQ(receipts.at(pack).at("stamp").at("usn"), 100) << pack;
        EXPECT_EQ(receipts.at(pack).at("stamp").at("journal_id"), journal.journalId) << pack;
    }

    // Days later and after a reboot: the journal alone vouches, nothing is read.
    journal.clock = {journal.clock.nowMs + 5 * 86400000ULL, 60000};
    PreparationRun second = prepareOnce();
    ASSERT_EQ(second.error, "");
    EXPECT_EQ(second.hashed(), kNone);
    for (const std::string pack : kPacks) EXPECT_TRUE(second.trusted(pack)) << pack;
    EXPECT_EQ(second.summary["verification_mode"], "journal_verified");
    EXPECT_EQ(second.summary["result"], "verified");
    EXPECT_EQ(second.summary["pack_verification_modes"],
              (json{{"cached_on_demand", 0}, {"journal_verified", 3}, {"fully_hashed", 0}}));
    EXPECT_EQ(second.summary["hashed_existing_packs"], 0);
    EXPECT_EQ(second.summary["pack_write_locks"], 3);
    EXPECT_TRUE(second.saw("Pacotes integros. Conferindo os componentes do jogo..."));
    EXPECT_EQ(storedReceipts(), receipts);  // trusting leaves the receipts as they were

    // A new change record on one pack, a new write time on another: those two are hashed.
    journal.usns[L"nyra-001.pck"] = 101;
    touchWriteTime(L"nyra-000.pck");
    PreparationRun touched = prepareOnce();
    ASSERT_EQ(touched.error, "");
    EXPECT_EQ(touched.hashed(), (std::set<std::string>{"nyra-000.pck", "nyra-001.pck"}));
    EXPECT_TRUE(touched.trusted("nyra-002.pck"));
    EXPECT_EQ(touched.summary["hashed_existing_packs"], 2);
    EXPECT_EQ(touched.summary["downloaded_packs"], 0);
    EXPECT_EQ(storedReceipts().at("nyra-001.pck").at("stamp").at("usn"), 101);

    // Their receipts were renewed by that hash.
    EXPECT_EQ(prepareOnce().hashed(), kNone);

    // The journal was deleted and created again: every pack is hashed once, then trusted.
    journal.journalId = 0x5eed0002;
    PreparationRun recreated = prepareOnce();
    ASSERT_EQ(recreated.error, "");
    EXPECT_EQ(recreated.hashed(), kAll);
    EXPECT_EQ(recreated.summary["verification_mode"], "fully_hashed");
    EXPECT_EQ(prepareOnce().hashed(), kNone);
}

TEST_F(JournalPreparation, WithoutAJournalTheTimeRuleVouchesUntilAReboot) {
    journal.journalId = 0;
    ASSERT_EQ(prepareOnce().error, "");
    EXPECT_FALSE(storedReceipts().at("nyra-000.pck").at("stamp").contains("journal_id"));

    journal.advance(3600000);
    PreparationRun sameBoot = prepareOnce();
    ASSERT_EQ(sameBoot.error, "");
    EXPECT_EQ(sameBoot.hashed(), kNone);
    for (const std::string pack : kPacks) EXPECT_TRUE(sameBoot.trusted(pack)) << pack;
    EXPECT_EQ(sameBoot.summary["result"], "cached_on_demand");
    EXPECT_EQ(sameBoot.summary["verification_mode"], "cached_on_demand");
    EXPECT_EQ(sameBoot.summary["fast_checked_packs"], 3);
    EXPECT_TRUE(sameBoot.saw("Pacotes sem alteracoes registradas. Conferindo os componentes protegidos..."));

    // The tick count restarted: the machine was rebooted and anything may have written the packs.
    journal.clock = {journal.clock.nowMs + 600000, 120000};
    PreparationRun rebooted = prepareOnce();
    ASSERT_EQ(rebooted.error, "");
    EXPECT_EQ(rebooted.hashed(), kAll);
    EXPECT_EQ(rebooted.summary["result"], "verified");
    EXPECT_EQ(rebooted.summary["hashed_existing_packs"], 3);
    EXPECT_TRUE(rebooted.saw("Pacotes integros. Conferindo os componentes do jogo..."));

    // The new receipts count from that hash; a day and a minute later they have expired.
    journal.advance(60000);
    EXPECT_EQ(prepareOnce().hashed(), kNone);
    journal.advance(86400000);
    EXPECT_EQ(prepareOnce().hashed(), kAll);
}

// The product source on Wine's volume: real identities and clocks, no change record, so no stamp.
TEST(SystemJournalSource, OnWineTheVolumeIsFoundButNoRecordIsKept) {
    wchar_t base[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, base);
    std::uint8_t random[8];
    win::randomBytes(random);
    const std::string hex = toHex(random);
    const std::filesystem::path file =
        std::filesystem::path(base) / (L"nyra-source-" + std::wstring(hex.begin(), hex.end()));
    writeWholeFile(file, std::vector<std::uint8_t>(100, 1));
    {
        VerifiedPackFile pack = VerifiedPackFile::open(file, VerifiedPackFile::Share::ReadOnly);
        PackJournalSource& source = systemJournalSource();
        EXPECT_EQ(source.fileIdentity(pack.handle())["size"], 100);
        EXPECT_FALSE(parseChangeRecord(source.changeRecord(pack.handle())));
        const auto volume = source.volumeJournal(pack.handle());
        EXPECT_TRUE(volume.empty() || volume.size() == kChangeJournalSize) << volume.size();
        EXPECT_TRUE(pack.journalIdentity(source).is_null());
        // The volume is taken from the handle as its GUID path, which names the device to open.
        std::wstring guidPath(32768, L'\0');
        const DWORD length = ::GetFinalPathNameByHandleW(pack.handle(), guidPath.data(), 32768, VOLUME_NAME_GUID);
        ASSERT_GT(length, 0u);
        const auto device = volumeDeviceOf(std::u16string(guidPath.begin(), guidPath.begin() + length));
        ASSERT_TRUE(device);
        EXPECT_EQ(device->size(), 48u);
        const ReceiptTime now = source.now();
        EXPECT_GT(now.nowMs, 1600000000000ULL);
        EXPECT_GT(now.tickMs, 0u);
        EXPECT_GE(now.nowMs, now.tickMs);
    }
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace nyra::test
