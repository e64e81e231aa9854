#pragma once
// Stand-ins for the subsystems this build does not contain yet. Each operation that the flow
// reaches fails with a message that says so, so the player never sees a false success. The
// process environment is a complete, portable implementation.
#include <memory>

#include "core/services.h"

namespace nyra {

// Message texts of the stand-ins.
inline constexpr const char* kBackendUnavailable =
    "Conexao com o servidor indisponivel nesta versao do launcher.";
inline constexpr const char* kHomeUnavailable =
    "Verificacao da pasta do jogo indisponivel nesta versao do launcher.";
inline constexpr const char* kSelfUpdateUnavailable =
    "Verificacao de atualizacao do launcher indisponivel nesta versao.";
inline constexpr const char* kSessionSaveUnavailable =
    "Sessao salva indisponivel nesta versao do launcher.";
inline constexpr const char* kHardwareUnavailable =
    "Identidade do computador indisponivel nesta versao do launcher.";
inline constexpr const char* kPreparationUnavailable =
    "Verificacao dos arquivos do jogo indisponivel nesta versao do launcher.";
inline constexpr const char* kPreferencesUnavailable =
    "Preferencias indisponiveis nesta versao do launcher.";
inline constexpr const char* kGameSessionUnavailable =
    "Inicio do jogo indisponivel nesta versao do launcher.";

class UnavailableBackendClient final : public BackendClient {
public:
    nlohmann::json call(const std::string& path, const nlohmann::json& args) override;
    void login(const std::string& username, const std::string& password, const std::string& hwid,
               const std::string& hwidInfo, bool remember) override;
    void logout() override;
    nlohmann::json resumeSession(const std::string& value) override;
    const std::string& sessionCookie() const override;
};

class UnavailableBackendFactory final : public BackendFactory {
public:
    std::unique_ptr<BackendClient> create() override;
};

class UnavailableHome final : public HomeService {
public:
    bool relocateAtStart(const std::filesystem::path& launcherFolder, const ProgressFn& progress,
                         std::atomic<bool>& stop) override;
};

class UnavailableSelfUpdate final : public SelfUpdate {
public:
    bool checkLauncherUpdate(BackendClient& client, const std::filesystem::path& launcherFolder,
                             const nlohmann::json& packagePolicy, const ProgressFn& progress,
                             std::atomic<bool>& cancel) override;
};

// Nothing can have been saved by a build that cannot sign in, so there is no session to
// restore and nothing to forget; saving fails.
class UnavailableSavedSession final : public SavedSession {
public:
    std::optional<std::string> restore(BackendClient& client) override;
    void save(BackendClient& client) override;
    void forget() noexcept override;
};

class UnavailableHardwareIdentity final : public HardwareIdentity {
public:
    HardwareId identity() override;
};

class UnavailablePreparation final : public Preparation {
public:
    std::unique_ptr<PreparedGame> prepareUntilStable(BackendClient& client,
                                                     const std::filesystem::path& gameFolder,
                                                     bool forceFull, std::atomic<bool>& cancel,
                                                     const ProgressFn& progress,
                                                     const PhaseFn& phase) override;
};

// Game settings with no change pending: applying them writes nothing and the game's own INI
// stays as it is.
class NoPendingGameSettings final : public GameSettings {
public:
    void applyPendingAndReload(const std::filesystem::path& engineFolder) override;
};

class UnavailableGameSession final : public GameSession {
public:
    void runGameSession(BackendClient& client, const std::filesystem::path& launcherFolder,
                        std::unique_ptr<PreparedGame> prepared, std::atomic<bool>& stop,
                        const ProgressFn& progress, const GameRunningFn& gameRunning) override;
};

class UnavailablePreferences final : public PreferencesWriter {
public:
    void writePreferences(const std::filesystem::path& launcherFolder,
                          const nlohmann::json& preferences) override;
};

// Sets variables through the C runtime, which keeps the process environment block that child
// processes inherit in step.
class CrtProcessEnvironment final : public ProcessEnvironment {
public:
    void setVariable(const std::string& name, const std::string& value) override;
};

// All of the above in one place; services() hands them to FlowController.
struct UnavailableServices {
    UnavailableBackendFactory backend;
    UnavailableHome home;
    UnavailableSelfUpdate selfUpdate;
    UnavailableSavedSession session;
    UnavailableHardwareIdentity hardware;
    UnavailablePreparation preparation;
    NoPendingGameSettings settings;
    UnavailablePreferences preferences;
    CrtProcessEnvironment environment;
    UnavailableGameSession game;

    FlowServices services() {
        return FlowServices{backend,  home,     selfUpdate,  session,     hardware,
                            preparation, settings, preferences, environment, game};
    }
};

}  // namespace nyra
