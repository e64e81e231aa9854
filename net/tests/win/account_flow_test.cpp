// The launcher's account flow end to end under Wine: the real jobs with the real backend client,
// saved session file and hardware identity, against the stand-in service.
#include "core/flow.h"
#include "core/unavailable_services.h"
#include "core/win/process_environment.h"
#include "app/win/product_services.h"
#include "core/win/shell_adapters.h"
#include "home/win/folder_facts.h"
#include "home/win/start_relocation.h"
#include "net/tests/win/service_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace nyra::test {
namespace {

struct NoPoster final : WindowPoster {
    void post(unsigned, std::uintptr_t) override {}
};

// The running test program is not the published launcher build, so the launcher check (tested on
// its own) is replaced by one that lets the flow continue.
struct LauncherIsCurrent final : SelfUpdate {
    bool checkLauncherUpdate(BackendClient&, const std::filesystem::path&, const nlohmann::json& policy,
                             const ProgressFn&, std::atomic<bool>&) override {
        EXPECT_TRUE(policy.contains("launcher_update"));
        return false;
    }
};

class AccountFlow : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        folder = std::filesystem::temp_directory_path() / ("nyra-account-" + std::to_string(::GetCurrentProcessId()));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        ServiceTest::TearDown();
    }

    // One launcher run: a fresh store and flow over the same folder.
    struct Run {
        SystemClock clock;
        NoPoster poster;
        UiStore store{clock, poster};
        UnavailableServices pending;
        Win32ProcessEnvironment environment;
        WinHttpBackendFactory backend{clock};
        home::SystemFolderFacts facts;
        // A plain test folder never relocates: any hook called fails the test.
        home::RelocationAtStart home{facts, false, "C:\\unused\\Launcher.exe",
                                     home::RelocationHooks{[](auto&, auto&, auto&) -> std::filesystem::path {
                                                               ADD_FAILURE() << "repair";
                                                               return {};
                                                           },
                                                           [] { ADD_FAILURE() << "slot"; },
                                                           [](const std::string&) { ADD_FAILURE() << "message"; },
                                                           [](const std::filesystem::path&) {
                                                               ADD_FAILURE() << "start";
                                                               return false;
                                                           },
                                                           {}}};
        LauncherIsCurrent selfUpdate;
        SavedSessionFile session;
        MachineIdentity hardware;
        FlowServices services{backend, home, selfUpdate, session, hardware, pending.preparation,
                              pending.settings, pending.preferences, environment, pending.game};
        FlowController flow;
        explicit Run(const std::filesystem::path& folder) : session(folder), flow(store, services, clock, poster, folder) {}
        UiState startup() {
            flow.startStartupJob();
            flow.joinAll();
            return store.snapshot();
        }
    };

    std::filesystem::path sessionFile() const { return folder / ".identity" / "session.dat"; }
    std::filesystem::path folder;
};

TEST_F(AccountFlow, SignInIsSavedRestoredAfterARestartAndForgottenAtSignOut) {
    {
        Run first(folder);
        const UiState ready = first.startup();
        EXPECT_EQ(ready.statusText, "Seu portal para o mundo de Nyra Saga esta pronto.");
        EXPECT_TRUE(ready.serverOnline);
        EXPECT_FALSE(ready.signedIn);

        first.store.withLock([&](UiState& s) {
            s.username = service->user;
            s.password = service->password;
        });
        first.flow.start(false);
        first.flow.joinAll();
        const UiState played = first.store.snapshot();
        EXPECT_TRUE(played.signedIn);
        EXPECT_TRUE(played.password.empty());
        EXPECT_TRUE(std::filesystem::exists(sessionFile()));
        // The preparation is not part of this build: Play stops there, signed in.
        EXPECT_EQ(played.progress, 0);
    }
    {
        Run second(folder);
        const UiState restored = second.startup();
        EXPECT_EQ(restored.statusText, "Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.");
        EXPECT_TRUE(restored.signedIn);
        EXPECT_EQ(restored.username, service->user);

        second.flow.signOut();
        second.flow.joinAll();
        const UiState out = second.store.snapshot();
        EXPECT_EQ(out.statusText, "Voce saiu da conta. Entre com outra conta quando quiser.");
        EXPECT_FALSE(out.signedIn);
        EXPECT_FALSE(std::filesystem::exists(sessionFile()));
    }
    Run third(folder);
    EXPECT_EQ(third.startup().statusText, "Seu portal para o mundo de Nyra Saga esta pronto.");
}

TEST_F(AccountFlow, ASessionFileOfAnotherWindowsIsShownAndKeptButTheLauncherGoesOnline) {
    std::filesystem::create_directories(sessionFile().parent_path());
    std::ofstream(sessionFile(), std::ios::binary) << "not a protected blob";
    Run run(folder);
    const UiState state = run.startup();
    EXPECT_EQ(state.statusText, "Sessao pertence a outro Windows.");
    EXPECT_TRUE(state.serverOnline);
    EXPECT_FALSE(state.signedIn);
    EXPECT_TRUE(std::filesystem::exists(sessionFile()));
}

TEST_F(AccountFlow, ASessionRefusedAtResumptionIsForgotten) {
    {
        Run first(folder);
        first.startup();
        first.store.withLock([&](UiState& s) {
            s.username = service->user;
            s.password = service->password;
        });
        first.flow.start(false);
        first.flow.joinAll();
        ASSERT_TRUE(std::filesystem::exists(sessionFile()));
    }
    service->fault({{"target", "bootstrap"}, {"kind", "status"}, {"status", 401}, {"count", 1}});
    Run second(folder);
    const UiState state = second.startup();
    EXPECT_EQ(state.statusText, "Seu portal para o mundo de Nyra Saga esta pronto.");
    EXPECT_FALSE(state.signedIn);
    EXPECT_FALSE(std::filesystem::exists(sessionFile()));
}

TEST_F(AccountFlow, AWrongPasswordSignsNobodyInAndFocusesThePassword) {
    Run run(folder);
    run.startup();
    run.store.withLock([&](UiState& s) {
        s.username = service->user;
        s.password = "wrong";
    });
    run.flow.start(false);
    run.flow.joinAll();
    const UiState state = run.store.snapshot();
    EXPECT_EQ(state.statusText, "Usuario, senha ou autorizacao invalida.");
    EXPECT_FALSE(state.signedIn);
    EXPECT_EQ(state.focusedField, kFocusPassword);
    EXPECT_FALSE(state.busy);
    EXPECT_FALSE(std::filesystem::exists(sessionFile()));
}

// The policy answer that reached a player's status line as the JSON library's English: CBOR nested
// deeper than the launcher reads. Whatever the library says, the player reads one text.
TEST_F(AccountFlow, APolicyAnswerTheLibraryRefusesShowsInvalidServerResponse) {
    nlohmann::json deep = nlohmann::json::array();
    for (int level = 0; level < 70; ++level) deep = nlohmann::json::array({deep});
    service->fault({{"target", "package-policy"}, {"kind", "answer-member"}, {"name", "note"}, {"json", deep},
                    {"always", true}});
    Run run(folder);
    const UiState state = run.startup();
    EXPECT_EQ(state.statusText, "Resposta do servidor invalida.");
    EXPECT_FALSE(state.serverOnline);
}

}  // namespace
}  // namespace nyra::test
