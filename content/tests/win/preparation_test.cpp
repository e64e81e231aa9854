// The whole preparation against the stand-in service: an empty game folder becomes the published
// set through the CDN and the backend; damage is repaired, CDN faults fall back to the backend,
// stray packs go, writers and cancellation stop the run with the player's texts.
#include "content/win/game_preparation.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "content/repair_plan.h"
#include "core/clock.h"
#include "net/http.h"
#include "content/tests/win/temporary_folder.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

namespace nyra::test {
namespace {

using nlohmann::json;

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

struct Outcome {
    std::vector<std::pair<std::string, int>> statuses;
    std::vector<int> phases;
    json summary;
    std::string error;
    std::optional<Prepared> prepared;

    bool sawStatus(const std::string& text) const {
        return std::any_of(statuses.begin(), statuses.end(), [&](const auto& s) { return s.first == text; });
    }
    bool sawStatusStarting(const std::string& prefix) const {
        return std::any_of(statuses.begin(), statuses.end(), [&](const auto& s) { return s.first.starts_with(prefix); });
    }
};

class Preparation : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (!service) return;
        folder = freshTemporaryFolder(L"nyra-game-");
        http = std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock,
                                      "localhost");
        http->login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
        // The published launcher build is the one the policy pins.
        const auto launcher = http->exchange("/api/download/launcher", "", "", 134217728);
        writeWholeFile(folder / L"Launcher.exe", launcher);
        policy = http->call("/api/launcher/package-policy");
        logStart = lastLogId();
    }
    void TearDown() override {
        http.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        ServiceTest::TearDown();
    }

    Outcome prepareOnce(bool force = false, std::function<void(const std::string&)> onStatus = {},
                        PrepareOptions options = {}) {
        Outcome run;
        options.summarySink = [&](const std::filesystem::path&, const json& summary) { run.summary = summary; };
        try {
            run.prepared = prepare(
                *http, folder, policy, force, cancel,
                [&](const std::string& text, int percent) {
                    run.statuses.emplace_back(text, percent);
                    if (onStatus) onStatus(text);
                },
                [&](PreparationPhase phase) { run.phases.push_back(static_cast<int>(phase)); }, noComponents,
                options);
        } catch (const std::exception& error) {
            run.error = error.what();
        }
        return run;
    }

    std::int64_t lastLogId() const {
        const json rows = service->query("SELECT COALESCE(MAX(id), 0) AS id FROM request_log");
        return rows.at(0).at("id").get<std::int64_t>();
    }
    std::int64_t requestsSinceStart(const std::string& target) const {
        const json rows = service->query("SELECT COUNT(*) AS n FROM request_log WHERE id > " +
                                         std::to_string(logStart) + " AND target = '" + target + "'");
        return rows.at(0).at("n").get<std::int64_t>();
    }
    // Body bytes the stand-in served for `target` ("cdn", "op:6") since the start mark.
    std::uint64_t servedSinceStart(const std::string& target) const {
        const json rows = service->query("SELECT COALESCE(SUM(bytes), 0) AS n FROM request_log WHERE id > " +
                                         std::to_string(logStart) + " AND target = '" + target + "'");
        return rows.at(0).at("n").get<std::uint64_t>();
    }
    std::uint64_t packSize(const std::string& path) const {
        for (const auto& pack : policy.at("base_cdn").at("packs")) {
            if (pack.at("path") == path) return pack.at("size").get<std::uint64_t>();
        }
        return 0;
    }
    std::string fileDigest(const wchar_t* name) const { return sha256File(folder / name); }
    std::vector<std::uint8_t> receiptsFile() const { return readWholeFile(folder / L".nyra-verified.bin", 1 << 20); }
    void flipByte(const std::wstring& name, std::uint64_t offset) {
        std::fstream file(folder / name, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        char byte = 0;
        file.read(&byte, 1);
        file.seekp(static_cast<std::streamoff>(offset));
        byte = static_cast<char>(byte ^ 0x5a);
        file.write(&byte, 1);
    }

    WinClock clock;
    std::unique_ptr<Http> http;
    std::filesystem::path folder;
    NoComponents noComponents{L"unused-engine-folder"};  // these runs leave the engine folder out
    json policy;
    std::atomic<bool> cancel{false};
    std::int64_t logStart = 0;
};

TEST_F(Preparation, EmptyFolderIsDownloadedThenTheSecondRunDownloadsNothing) {
    Outcome first = prepareOnce();
    ASSERT_EQ(first.error, "");
    const json& summary = first.summary;
    EXPECT_EQ(summary["result"], "verified");
    EXPECT_EQ(summary["verification_mode"], "fully_hashed");
    EXPECT_EQ(summary["checked_packs"], 3);
    EXPECT_EQ(summary["downloaded_packs"], summary["checked_packs"]);
    EXPECT_EQ(summary["downloaded_index"], true);
    EXPECT_EQ(summary["hashed_existing_packs"], 0);
    EXPECT_EQ(summary["pack_write_locks"], 3);
    EXPECT_EQ(summary["package_id"], policy["package_id"]);
    EXPECT_TRUE(first.sawStatus("Baixando catalogo novo ou reparando o catalogo local..."));
    EXPECT_TRUE(first.sawStatus("3 pacote(s) ausente(s) ou corrompido(s). Reparando automaticamente..."));
    EXPECT_TRUE(first.sawStatusStarting("Reparando nyra-001.pck | "));
    EXPECT_TRUE(first.sawStatus("Validando o pacote recebido: nyra-001.pck"));
    EXPECT_TRUE(first.sawStatus("Downloads validados. Preparando o jogo..."));
    EXPECT_EQ(first.statuses.back(), (std::pair<std::string, int>{"Verificacao concluida. Arquivos recebidos e validados.", 100}));
    EXPECT_EQ(first.phases.front(), 1);
    EXPECT_EQ(first.phases.back(), 4);
    EXPECT_NE(std::find(first.phases.begin(), first.phases.end(), 3), first.phases.end());
    // Percentages never go back and the repair stays within 70..94.
    int previous = 0;
    for (const auto& [text, percent] : first.statuses) {
        EXPECT_GE(percent, previous) << text;
        previous = percent;
        if (text.starts_with("Reparando ")) {
            EXPECT_GE(percent, 70);
            EXPECT_LE(percent, 94);
        }
    }
    // The two CDN-listed packs came as their three objects; the unlisted nyra-002.pck came from
    // the backend in ranges while the CDN stayed in use.
    EXPECT_EQ(requestsSinceStart("cdn"), 3);
    EXPECT_EQ(requestsSinceStart("op:6"), 1);
    EXPECT_TRUE(std::filesystem::exists(folder / L"nyra.nidx.sig"));
    EXPECT_FALSE(std::filesystem::exists(folder / L"nyra-001.pck.download"));

    // Locked while the result lives.
    win::UniqueHandle writer(::CreateFileW((folder / L"nyra-000.pck").c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                           0, nullptr));
    EXPECT_FALSE(writer);
    first.prepared.reset();

    logStart = lastLogId();
    Outcome second = prepareOnce();
    ASSERT_EQ(second.error, "");
    EXPECT_EQ(second.summary["downloaded_packs"], 0);
    EXPECT_EQ(second.summary["downloaded_index"], false);
    EXPECT_EQ(second.summary["hashed_existing_packs"], 3);  // no change journal under Wine
    EXPECT_TRUE(second.sawStatusStarting("Conferindo pacote 2/3 - nyra-001.pck"));
    EXPECT_TRUE(second.sawStatus("Pacotes integros. Conferindo os componentes do jogo..."));
    EXPECT_TRUE(second.sawStatus("Pacotes corretos: nenhum download de pacote necessario. Preparando o jogo..."));
    EXPECT_EQ(second.statuses.back(), (std::pair<std::string, int>{"Verificacao concluida. Nenhum download necessario.", 100}));
    EXPECT_EQ(requestsSinceStart("cdn"), 0);
    EXPECT_EQ(requestsSinceStart("op:5"), 0);
    EXPECT_EQ(requestsSinceStart("op:6"), 0);
}

TEST_F(Preparation, DamagedPackIsRepairedAndStrayPacksGo) {
    ASSERT_EQ(prepareOnce().error, "");
    flipByte(L"nyra-001.pck", 70000000);
    writeWholeFile(folder / L"nyra-123.pck", std::vector<std::uint8_t>(3, 1));
    writeWholeFile(folder / L"nyra-12a.pck", std::vector<std::uint8_t>(3, 1));
    std::filesystem::create_directories(folder / L"nyra-124.pck");

    Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.summary["downloaded_packs"], 1);
    EXPECT_EQ(run.summary["downloaded_package_bytes"], packSize("nyra-001.pck"));
    EXPECT_EQ(run.summary["hashed_existing_packs"], 3);
    EXPECT_TRUE(run.sawStatus("1 pacote(s) ausente(s) ou corrompido(s). Reparando automaticamente..."));
    EXPECT_EQ(sha256File(folder / L"nyra-001.pck"), policy["base_cdn"]["packs"][1]["sha256"]);
    EXPECT_FALSE(std::filesystem::exists(folder / L"nyra-123.pck"));
    EXPECT_TRUE(std::filesystem::exists(folder / L"nyra-12a.pck"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / L"nyra-124.pck"));
}

TEST_F(Preparation, CdnFaultsDisableTheCdnAndTheBackendCompletesTheRepair) {
    const json faults[] = {
        {{"target", "cdn"}, {"kind", "corrupt"}, {"always", true}},
        {{"target", "cdn"}, {"kind", "full-200"}, {"always", true}},
        {{"target", "cdn"}, {"kind", "content-range"}, {"always", true}},
    };
    for (const json& fault : faults) {
        SCOPED_TRACE(fault.dump());
        for (const wchar_t* pack : {L"nyra-000.pck", L"nyra-001.pck", L"nyra-002.pck"}) {
            std::error_code ignored;
            std::filesystem::remove(folder / pack, ignored);
        }
        service->request("DELETE", "/faults");
        service->fault(fault);
        logStart = lastLogId();
        Outcome run = prepareOnce();
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(run.summary["downloaded_packs"], 3);
        // At most the first object and its prefetched successor were asked of the CDN; every range
        // of every pack then came from the backend.
        EXPECT_LE(requestsSinceStart("cdn"), 2);
        std::int64_t ranges = 0;
        for (const std::string path : {"nyra-000.pck", "nyra-001.pck"}) {
            ranges += static_cast<std::int64_t>((packSize(path) + 4194303) / 4194304);
        }
        EXPECT_EQ(requestsSinceStart("op:6"), ranges + 1);
    }
}

TEST_F(Preparation, CancellingDuringACdnDownloadStopsWithThePlayersText) {
    Outcome run = prepareOnce(false, [&](const std::string& text) {
        if (text.starts_with("Reparando nyra-001.pck | 8 /")) cancel = true;
    });
    EXPECT_EQ(run.error, "Preparacao cancelada.");
    EXPECT_FALSE(run.prepared);
}

TEST_F(Preparation, APackOpenForWritingStopsTheRun) {
    ASSERT_EQ(prepareOnce().error, "");
    win::UniqueHandle writer(::CreateFileW((folder / L"nyra-002.pck").c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                           0, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_EQ(prepareOnce().error, "Feche programas que estejam alterando os pacotes do jogo e tente novamente.");
}

TEST_F(Preparation, ALauncherOtherThanThePublishedOneIsRefused) {
    writeWholeFile(folder / L"Launcher.exe", std::vector<std::uint8_t>(10, 'L'));
    EXPECT_EQ(prepareOnce().error, "Este launcher precisa ser atualizado pelo pacote oficial.");
    std::filesystem::remove(folder / L"Launcher.exe");
    EXPECT_EQ(prepareOnce().error, "Arquivo protegido ausente.");
}

TEST_F(Preparation, ALocalCatalogThatDiffersIsDownloadedAgain) {
    ASSERT_EQ(prepareOnce().error, "");
    flipByte(L"nyra.nidx", 40);
    logStart = lastLogId();
    Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.summary["downloaded_index"], true);
    EXPECT_EQ(run.summary["downloaded_packs"], 0);
    EXPECT_EQ(requestsSinceStart("op:5"), 1);
    EXPECT_EQ(run.statuses.back().first, "Verificacao concluida. Arquivos recebidos e validados.");
}

TEST_F(Preparation, CatalogSignatureIsCheckedOnEveryRunAndItsRecordFollowsThePolicy) {
    const json good = policy;
    // 384 zero bytes: well-formed Base64, but not the signature of this catalog.
    std::string forged;
    for (int i = 0; i < 128; ++i) forged += "AAAA";
    policy["signature"] = forged;
    EXPECT_EQ(prepareOnce().error, "Assinatura do catalogo invalida.");
    EXPECT_FALSE(std::filesystem::exists(folder / L"nyra.nidx"));  // nothing replaced

    policy = good;
    ASSERT_EQ(prepareOnce().error, "");
    const auto container = readWholeFile(folder / L"nyra.nidx", kCatalogReadLimit);
    EXPECT_EQ(readWholeFile(folder / L"nyra.nidx.sig", 1024), decodeBase64(good["signature"].get<std::string>()));

    // The local container still matches the digest: not downloaded again, refused on its signature.
    policy["signature"] = forged;
    logStart = lastLogId();
    EXPECT_EQ(prepareOnce().error, "O catalogo do jogo foi alterado.");
    EXPECT_EQ(requestsSinceStart("op:5"), 0);
    EXPECT_EQ(readWholeFile(folder / L"nyra.nidx", kCatalogReadLimit), container);

    // A stale signature record is replaced whole through its pending name, which does not stay.
    policy = good;
    writeWholeFile(folder / L"nyra.nidx.sig", std::vector<std::uint8_t>(10, 1));
    writeWholeFile(folder / L"nyra.nidx.sig.new", std::vector<std::uint8_t>(5000, 2));  // an interrupted run's
    ASSERT_EQ(prepareOnce().error, "");
    EXPECT_EQ(readWholeFile(folder / L"nyra.nidx.sig", 1024), decodeBase64(good["signature"].get<std::string>()));
    EXPECT_FALSE(std::filesystem::exists(folder / L"nyra.nidx.sig.new"));
}

TEST_F(Preparation, AServerThatKeepsPublishingStopsAfterThreePasses) {
    // Each time a pass completes, the next policy answer names another package set.
    int published = 0;
    int limit = 3;
    std::vector<std::string> statuses;
    const auto progress = [&](const std::string& text, int) {
        statuses.push_back(text);
        if (text.starts_with("Verificacao concluida.") && published < limit) {
            ++published;
            service->fault({{"target", "package-policy"},
                            {"kind", "answer-member"},
                            {"name", "package_id"},
                            {"value", "nyra-br-next-" + std::to_string(published)}});
        }
    };
    std::string error;
    try {
        prepareUntilStable(*http, folder, false, cancel, progress, {}, noComponents);
    } catch (const std::exception& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "A versao do servidor mudou durante a atualizacao. Tente novamente; o jogo nao foi aberto.");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Nova atualizacao encontrada. Sincronizando com o servidor..."), 3);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Conferindo a versao atual no servidor..."), 3);

    // One change, then the server holds still: the second pass is the result.
    published = 0;
    limit = 1;
    statuses.clear();
    Prepared prepared = prepareUntilStable(*http, folder, false, cancel, progress, {}, noComponents);
    EXPECT_EQ(prepared.packageId, policy["package_id"]);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Nova atualizacao encontrada. Sincronizando com o servidor..."), 1);
}

TEST_F(Preparation, TheFlowServiceReportsPhasesAndTheResult) {
    GamePreparation flowService(std::make_shared<NoComponents>(folder / L".engine"), nullptr);
    std::vector<int> phases;
    std::string last;
    auto prepared = flowService.prepareUntilStable(
        *http, folder, false, cancel, [&](const std::string& text, int) { last = text; },
        [&](int phase) { phases.push_back(phase); });
    ASSERT_TRUE(prepared);
    EXPECT_TRUE(prepared->receivedOrRepaired());
    EXPECT_EQ(prepared->engineFolder(), folder / L".engine");
    EXPECT_EQ(phases.back(), 4);
    EXPECT_EQ(last, "Verificacao concluida. Arquivos recebidos e validados.");
}

// A failed repair installs nothing: the pack on disk stays as it was, no receipt is written and
// the run ends with the player's text. nyra-002.pck is not on the CDN, so every range comes from
// the backend, where the faults are injected.
TEST_F(Preparation, AFailedRepairLeavesTheOldPackAndWritesNoReceipt) {
    ASSERT_EQ(prepareOnce().error, "");
    const std::string good = fileDigest(L"nyra-002.pck");
    flipByte(L"nyra-002.pck", 100);
    const std::string damaged = fileDigest(L"nyra-002.pck");
    const auto receipts = receiptsFile();
    struct Case {
        json fault;
        const char* error;
    };
    const Case cases[] = {
        {{{"target", "packages"}, {"kind", "corrupt"}}, "O pacote recebido nao passou na verificacao."},
        {{{"target", "packages"}, {"kind", "truncate"}, {"bytes", 1000}}, "Pacote incompleto."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.dump());
        service->request("DELETE", "/faults");
        service->fault(c.fault);
        const Outcome run = prepareOnce();
        EXPECT_EQ(run.error, c.error);
        EXPECT_FALSE(run.prepared);
        EXPECT_EQ(fileDigest(L"nyra-002.pck"), damaged);
        EXPECT_EQ(receiptsFile(), receipts);
    }
    service->request("DELETE", "/faults");
    ASSERT_EQ(prepareOnce().error, "");
    EXPECT_EQ(fileDigest(L"nyra-002.pck"), good);
}

// The repair needs the pack's size plus 64 MiB free on the game folder's volume, and a free-space
// query that answers.
TEST_F(Preparation, TheRepairNeedsRoomForThePackAndItsMargin) {
    ASSERT_EQ(prepareOnce().error, "");
    const std::string good = fileDigest(L"nyra-002.pck");
    const std::uint64_t needed = std::filesystem::file_size(folder / L"nyra-002.pck") + 67108864;
    flipByte(L"nyra-002.pck", 100);
    const std::string damaged = fileDigest(L"nyra-002.pck");
    struct Case {
        bool answers;
        std::uint64_t freeBytes;
        const char* error;
    };
    const Case cases[] = {
        {false, UINT64_MAX, "Espaco insuficiente para reparar o pacote."},
        {true, needed, "Espaco insuficiente para reparar o pacote."},
        {true, needed + 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.freeBytes);
        std::vector<std::filesystem::path> asked;
        PrepareOptions options;
        options.freeSpace = [&](const std::filesystem::path& where, std::uint64_t& freeBytes) {
            asked.push_back(where);
            freeBytes = c.freeBytes;
            return c.answers;
        };
        const Outcome run = prepareOnce(false, {}, options);
        EXPECT_EQ(run.error, c.error);
        EXPECT_EQ(asked, std::vector<std::filesystem::path>{folder});
        if (run.error.empty()) {
            EXPECT_EQ(fileDigest(L"nyra-002.pck"), good);
        } else {
            EXPECT_EQ(fileDigest(L"nyra-002.pck"), damaged);
            EXPECT_FALSE(std::filesystem::exists(folder / L"nyra-002.pck.download"));  // nothing received
        }
    }
}

// The received pack is moved over the old one and re-opened: a pack that cannot be replaced (the
// game holds it open) or that is not the validated file after the move fails the run.
TEST_F(Preparation, TheInstalledPackMustBeTheValidatedFile) {
    ASSERT_EQ(prepareOnce().error, "");
    flipByte(L"nyra-002.pck", 100);
    const std::string damaged = fileDigest(L"nyra-002.pck");
    const auto receipts = receiptsFile();
    {
        // Readers only, no renaming or deleting: the check can read it, the move cannot replace it.
        win::UniqueHandle game(::CreateFileW((folder / L"nyra-002.pck").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(game);
        EXPECT_EQ(prepareOnce().error, "Nao foi possivel instalar o pacote.");
    }
    EXPECT_EQ(fileDigest(L"nyra-002.pck"), damaged);
    EXPECT_EQ(receiptsFile(), receipts);

    // Between the move and the re-open another file with the same bytes takes the pack's name.
    PrepareOptions swapping;
    swapping.afterPackMoved = [](const std::filesystem::path& installed) {
        std::filesystem::path aside = installed;
        aside += L".aside";
        ASSERT_TRUE(::MoveFileExW(installed.c_str(), aside.c_str(), 0));
        ASSERT_TRUE(::CopyFileW(aside.c_str(), installed.c_str(), TRUE));
    };
    const Outcome swapped = prepareOnce(false, {}, swapping);
    EXPECT_EQ(swapped.error, "O pacote instalado mudou durante o reparo. Tente novamente.");
    EXPECT_EQ(receiptsFile(), receipts);

    // Left alone, the moved file is the validated one.
    std::filesystem::remove(folder / L"nyra-002.pck");
    std::vector<std::filesystem::path> moved;
    PrepareOptions watching;
    watching.afterPackMoved = [&](const std::filesystem::path& installed) { moved.push_back(installed); };
    const Outcome run = prepareOnce(false, {}, watching);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(moved, std::vector<std::filesystem::path>{folder / L"nyra-002.pck"});
    EXPECT_EQ(run.summary["downloaded_packs"], 1);
}

// Second names planted where the preparation writes its temporary and record files are removed,
// never written through: the files they point at keep their bytes.
TEST_F(Preparation, HardLinksPlantedAtTemporaryAndRecordNamesAreNotWrittenThrough) {
    ASSERT_EQ(prepareOnce().error, "");
    const std::string good = fileDigest(L"nyra-002.pck");
    flipByte(L"nyra-002.pck", 100);
    flipByte(L"nyra.nidx", 40);  // the catalog is downloaded again through "nyra.nidx.new"
    const std::string kept = "bytes of some other file";
    const std::vector<std::uint8_t> keptBytes(kept.begin(), kept.end());
    // The kept download's record names this very pack, so only the second name makes it unusable.
    const CatalogPack pack002{"nyra-002.pck", std::filesystem::file_size(folder / L"nyra-002.pck"), good};
    for (const wchar_t* planted :
         {L"nyra-002.pck.download", L"nyra.nidx.new", L"nyra.nidx.sig", L"nyra.nidx.sig.new"}) {
        const std::filesystem::path victim = folder / (std::wstring(L"victim-") + planted);
        writeWholeFile(victim, keptBytes);
        std::error_code ignored;
        std::filesystem::remove(folder / planted, ignored);
        ASSERT_TRUE(::CreateHardLinkW((folder / planted).c_str(), victim.c_str(), nullptr));
    }
    // The signature record differs from the policy's now, so it is rewritten.
    const std::string record = downloadRecord(pack002);
    writeWholeFile(folder / L"nyra-002.pck.download.rec", std::vector<std::uint8_t>(record.begin(), record.end()));

    const Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.summary["downloaded_packs"], 1);
    EXPECT_EQ(run.summary["downloaded_index"], true);
    for (const wchar_t* planted :
         {L"nyra-002.pck.download", L"nyra.nidx.new", L"nyra.nidx.sig", L"nyra.nidx.sig.new"}) {
        EXPECT_EQ(readWholeFile(folder / (std::wstring(L"victim-") + planted), 1024), keptBytes)
            << std::filesystem::path(planted).string();
    }
    EXPECT_EQ(fileDigest(L"nyra-002.pck"), good);
    EXPECT_EQ(fileDigest(L"nyra.nidx"), policy["index_sha256"]);
    EXPECT_EQ(readWholeFile(folder / L"nyra.nidx.sig", 1024), decodeBase64(policy["signature"].get<std::string>()));
}

// The percent of a repair as the player sees it: each pack takes its share of 70..94, half for
// its download and half for its validation (two equal packs would end at 76, 82, 88 and 94).
TEST_F(Preparation, RepairProgressSplitsSeventyToNinetyFourByPackSize) {
    ASSERT_EQ(prepareOnce().error, "");
    std::filesystem::remove(folder / L"nyra-000.pck");
    std::filesystem::remove(folder / L"nyra-001.pck");
    const std::uint64_t first = packSize("nyra-000.pck");
    const std::uint64_t both = first + packSize("nyra-001.pck");
    const auto at = [&](std::uint64_t work) { return static_cast<int>(70 + 24 * work / (2 * both)); };

    const Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    // The last report of each stage of each pack, and the range every report of a pack stays in.
    std::map<std::string, int> last;
    for (const auto& [text, percent] : run.statuses) {
        for (const std::string pack : {"nyra-000.pck", "nyra-001.pck"}) {
            const bool receiving = text.starts_with("Reparando " + pack);
            const bool validating = text == "Validando o pacote recebido: " + pack;
            if (!receiving && !validating) continue;
            last[(receiving ? "received " : "validated ") + pack] = percent;
            if (pack == "nyra-000.pck") {
                EXPECT_GE(percent, 70) << text;
                EXPECT_LE(percent, at(2 * first)) << text;
            } else {
                EXPECT_GE(percent, at(2 * first)) << text;
                EXPECT_LE(percent, 94) << text;
            }
        }
    }
    EXPECT_EQ(last["received nyra-000.pck"], at(first));
    EXPECT_EQ(last["validated nyra-000.pck"], at(2 * first));
    EXPECT_EQ(last["received nyra-001.pck"], at(first + both));
    EXPECT_EQ(last["validated nyra-001.pck"], 94);
}

// The same game with nyra-001.pck spanning three CDN objects and a nyra-002.pck (backend only) of
// three ranges: what a repair can take from the disk instead of fetching, counted in the bytes the
// stand-in served.
class ChunkReuse : public Preparation {
protected:
    void SetUp() override {
        Preparation::SetUp();
        if (!service) return;
        originalSet_ = service->request("GET", "/state").at("set").at("folder").get<std::string>();
        for (const char* suffix : {"-chunks-next", "-chunks"}) {  // a run cut off before its tear-down
            if (originalSet_.ends_with(suffix)) originalSet_.resize(originalSet_.size() - std::strlen(suffix));
        }
        publish("-chunks");
        for (const auto& chunk : packChunks(policy.at("base_cdn"), pack("nyra-001.pck"))) chunks.push_back(chunk);
        ASSERT_EQ(chunks.size(), 3u);
    }
    void TearDown() override {
        if (service && !originalSet_.empty()) service->request("POST", "/publish", {{"set", originalSet_}});
        Preparation::TearDown();
    }
    void publish(const std::string& suffix) {
        service->request("POST", "/publish", {{"set", originalSet_ + suffix}});
        policy = http->call("/api/launcher/package-policy");
    }
    CatalogPack pack(const std::string& path) const {
        for (const auto& listed : policy.at("base_cdn").at("packs")) {
            if (listed.at("path") == path) return {path, listed.at("size"), listed.at("sha256")};
        }
        // nyra-002.pck is not in the CDN identity: its catalog record comes from a finished run.
        return {path, std::filesystem::file_size(folder / std::wstring(path.begin(), path.end())),
                fileDigest(std::wstring(path.begin(), path.end()).c_str())};
    }
    void expectInstalled(const std::string& path, const std::string& sha256) {
        const std::wstring name(path.begin(), path.end());
        EXPECT_EQ(fileDigest(name.c_str()), sha256);
        EXPECT_FALSE(std::filesystem::exists(folder / (name + L".download")));
        EXPECT_FALSE(std::filesystem::exists(folder / (name + L".download.rec")));
    }

    std::string originalSet_;
    std::vector<PackChunk> chunks;
};

TEST_F(ChunkReuse, AFlippedByteRefetchesOnlyTheChunkThatHoldsIt) {
    ASSERT_EQ(prepareOnce().error, "");
    flipByte(L"nyra-001.pck", chunks[1].offset + 12345);
    logStart = lastLogId();
    const Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.summary["downloaded_packs"], 1);
    EXPECT_EQ(servedSinceStart("cdn"), chunks[1].size);
    EXPECT_EQ(servedSinceStart("op:6"), 0u);
    EXPECT_TRUE(run.sawStatus("Aproveitando dados ja baixados: nyra-001.pck"));
    // The bar moves over reused bytes as over received ones, and ends the pack where a download would.
    EXPECT_TRUE(run.sawStatus(repairingText("nyra-001.pck", chunks[0].size, pack("nyra-001.pck").size)));
    EXPECT_TRUE(run.sawStatus(repairingText("nyra-001.pck", pack("nyra-001.pck").size, pack("nyra-001.pck").size)));
    expectInstalled("nyra-001.pck", pack("nyra-001.pck").sha256);
}

TEST_F(ChunkReuse, ANewVersionWithOneChangedChunkFetchesThatChunkAlone) {
    ASSERT_EQ(prepareOnce().error, "");
    const std::string before = fileDigest(L"nyra-001.pck");
    publish("-chunks-next");
    const std::vector<PackChunk> next = packChunks(policy.at("base_cdn"), pack("nyra-001.pck"));
    ASSERT_EQ(next.size(), 3u);
    EXPECT_NE(pack("nyra-001.pck").sha256, before);
    EXPECT_EQ(next[0].sha256, chunks[0].sha256);
    EXPECT_NE(next[1].sha256, chunks[1].sha256);
    EXPECT_EQ(next[2].sha256, chunks[2].sha256);

    logStart = lastLogId();
    const Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.summary["downloaded_packs"], 1);
    EXPECT_EQ(servedSinceStart("cdn"), next[1].size);
    EXPECT_EQ(servedSinceStart("op:6"), 0u);
    expectInstalled("nyra-001.pck", pack("nyra-001.pck").sha256);
}

TEST_F(ChunkReuse, AnInterruptedRepairResumesFromTheChunksItKept) {
    const std::uint64_t size = pack("nyra-001.pck").size;
    const Outcome cut = prepareOnce(false, [&](const std::string& text) {
        if (text == repairingText("nyra-001.pck", 100 * 1048576, size)) cancel = true;
    });
    ASSERT_EQ(cut.error, "Preparacao cancelada.");
    ASSERT_TRUE(std::filesystem::exists(folder / L"nyra-001.pck.download"));
    cancel = false;

    logStart = lastLogId();
    Outcome run = prepareOnce();
    ASSERT_EQ(run.error, "");
    // The first object was whole in the kept file; the second was cut off and the third not begun.
    EXPECT_EQ(servedSinceStart("cdn"), chunks[1].size + chunks[2].size);
    EXPECT_TRUE(run.sawStatus("Aproveitando dados ja baixados: nyra-001.pck"));
    expectInstalled("nyra-001.pck", pack("nyra-001.pck").sha256);
    run.prepared.reset();  // lets the pack be written below

    // A kept file whose record names another version of the pack is not used.
    flipByte(L"nyra-001.pck", 5);
    writeWholeFile(folder / L"nyra-001.pck.download", readWholeFile(folder / L"nyra-001.pck", size));
    CatalogPack other = pack("nyra-001.pck");
    other.sha256 = std::string(64, '0');
    const std::string record = downloadRecord(other);
    writeWholeFile(folder / L"nyra-001.pck.download.rec", std::vector<std::uint8_t>(record.begin(), record.end()));
    logStart = lastLogId();
    ASSERT_EQ(prepareOnce().error, "");
    EXPECT_EQ(servedSinceStart("cdn"), chunks[0].size);  // the damaged pack still gave the two others
    expectInstalled("nyra-001.pck", pack("nyra-001.pck").sha256);
}

// A pack the CDN identity does not list continues after the whole ranges kept; when the result
// fails the catalog digest it is fetched once more from zero, and the player is told.
TEST_F(ChunkReuse, ABackendOnlyPackResumesAndStartsOverOnceWhenTheResultIsWrong) {
    ASSERT_EQ(prepareOnce().error, "");
    const CatalogPack pack002 = pack("nyra-002.pck");
    ASSERT_GT(pack002.size, 2 * kRangeBytes + 1000);
    const std::vector<std::uint8_t> good = readWholeFile(folder / L"nyra-002.pck", pack002.size);
    const std::string record = downloadRecord(pack002);
    struct Case {
        bool damaged;
        std::uint64_t served;
        bool startedOver;
    } cases[] = {
        {false, pack002.size - 2 * kRangeBytes, false},
        {true, pack002.size - 2 * kRangeBytes + pack002.size, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.damaged);
        std::vector<std::uint8_t> kept(good.begin(), good.begin() + 2 * kRangeBytes + 1000);
        if (c.damaged) kept[100] ^= 0x5a;
        std::filesystem::remove(folder / L"nyra-002.pck");
        writeWholeFile(folder / L"nyra-002.pck.download", kept);
        writeWholeFile(folder / L"nyra-002.pck.download.rec", std::vector<std::uint8_t>(record.begin(), record.end()));
        logStart = lastLogId();
        const Outcome run = prepareOnce();
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(servedSinceStart("op:6"), c.served);
        EXPECT_EQ(servedSinceStart("cdn"), 0u);
        EXPECT_EQ(run.sawStatus("Dados aproveitados nao conferem. Baixando de novo: nyra-002.pck"), c.startedOver);
        expectInstalled("nyra-002.pck", pack002.sha256);
    }
}

}  // namespace
}  // namespace nyra::test
