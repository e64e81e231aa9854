// The whole preparation against the stand-in service: an empty game folder becomes the published
// set through the CDN and the backend; damage is repaired, CDN faults fall back to the backend,
// stray packs go, writers and cancellation stop the run with the player's texts.
#include "content/win/game_preparation.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/clock.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

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
        wchar_t base[MAX_PATH + 1];
        ::GetTempPathW(MAX_PATH + 1, base);
        std::uint8_t random[8];
        win::randomBytes(random);
        const std::string hex = toHex(random);
        folder = std::filesystem::path(base) / (L"nyra-game-" + std::wstring(hex.begin(), hex.end()));
        std::filesystem::create_directories(folder);
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

    Outcome prepareOnce(bool force = false, std::function<void(const std::string&)> onStatus = {}) {
        Outcome run;
        PrepareOptions options;
        options.summarySink = [&](const std::filesystem::path&, const json& summary) { run.summary = summary; };
        try {
            run.prepared = prepare(
                *http, folder, policy, force, cancel,
                [&](const std::string& text, int percent) {
                    run.statuses.emplace_back(text, percent);
                    if (onStatus) onStatus(text);
                },
                [&](PreparationPhase phase) { run.phases.push_back(static_cast<int>(phase)); }, options);
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
    std::uint64_t packSize(const std::string& path) const {
        for (const auto& pack : policy.at("base_cdn").at("packs")) {
            if (pack.at("path") == path) return pack.at("size").get<std::uint64_t>();
        }
        return 0;
    }
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

    // A stale signature record is rewritten.
    policy = good;
    writeWholeFile(folder / L"nyra.nidx.sig", std::vector<std::uint8_t>(10, 1));
    ASSERT_EQ(prepareOnce().error, "");
    EXPECT_EQ(readWholeFile(folder / L"nyra.nidx.sig", 1024), decodeBase64(good["signature"].get<std::string>()));
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
        prepareUntilStable(*http, folder, false, cancel, progress, {});
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
    Prepared prepared = prepareUntilStable(*http, folder, false, cancel, progress, {});
    EXPECT_EQ(prepared.packageId, policy["package_id"]);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Nova atualizacao encontrada. Sincronizando com o servidor..."), 1);
}

TEST_F(Preparation, TheFlowServiceReportsPhasesAndTheResult) {
    GamePreparation flowService(folder / L".engine");
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

}  // namespace
}  // namespace nyra::test
