// The Verify button end to end: the flow's play job with the product backend client and the
// real preparation takes an empty game folder to the published set against the stand-in service.
#include "content/win/game_preparation.h"
#include "content/win/primitives.h"
#include "core/flow.h"
#include "core/tests/verify_surroundings.h"
#include "app/win/product_services.h"
#include "net/http.h"
#include "content/tests/win/temporary_folder.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "platform/win/cng.h"

#include <gtest/gtest.h>

#include <mutex>

namespace nyra::test {
namespace {

struct WinClock final : Clock {
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

struct NoWindow final : WindowPoster {
    void post(unsigned, std::uintptr_t) override {}
};

// The settings, preferences and environment of the flow, which this test does not exercise.
struct Surroundings final : VerifySurroundings, GameSettings, PreferencesWriter, ProcessEnvironment {
    void applyPendingAndReload(const std::filesystem::path& engine) override { engines.push_back(engine); }
    void writePreferences(const std::filesystem::path&, const nlohmann::json&) override {}
    void setVariable(const std::string&, const std::string&) override {}
    std::vector<std::filesystem::path> engines;
};

class VerifyButton : public ServiceTest {};

TEST_F(VerifyButton, EmptyGameFolderBecomesThePublishedSetThenStaysUpToDate) {
    const std::filesystem::path folder = freshTemporaryFolder(L"nyra-verify-");
    WinClock clock;
    {
        Http http(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock, "localhost");
        writeWholeFile(folder / L"Launcher.exe", http.exchange("/api/download/launcher", "", "", 134217728));
    }

    NoWindow poster;
    UiStore store(clock, poster);
    WinHttpBackendFactory backend(clock);
    Surroundings rest;
    GamePreparation preparation(std::make_shared<NoComponents>(folder / L".engine"), nullptr);
    FlowServices services{backend, rest, rest, rest, rest, preparation, rest, rest, rest, rest};
    {
        FlowController flow(store, services, clock, poster, folder);
        store.withLock([&](UiState& s) {
            s.serverOnline = true;
            s.signedIn = false;
            s.username = service->user;
            s.password = service->password;
        });
        flow.start(true);
        flow.joinAll();
        UiState ui = store.snapshot();
        EXPECT_EQ(ui.statusText, "Arquivos recebidos e validados. Tudo pronto para jogar.");
        EXPECT_EQ(ui.progress, 100);
        EXPECT_EQ(ui.busyKind, kBusyFinished);
        EXPECT_TRUE(ui.signedIn);
        EXPECT_EQ(flow.engineFolder(), folder / L".engine");
        for (const wchar_t* pack : {L"nyra-000.pck", L"nyra-001.pck", L"nyra-002.pck"}) {
            EXPECT_TRUE(std::filesystem::exists(folder / pack)) << std::filesystem::path(pack).string();
        }

        flow.start(true);
        flow.joinAll();
        ui = store.snapshot();
        EXPECT_EQ(ui.statusText, "Arquivos corretos e atualizados. Nenhum download necessario.");
        EXPECT_EQ(ui.progress, 100);
    }
    EXPECT_EQ(rest.engines.size(), 2u);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
}  // namespace nyra::test
