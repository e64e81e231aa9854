#pragma once
// The flow's services bound to the real subsystems of this build.
#include "core/clock.h"
#include "core/services.h"
#include "core/startup_services.h"
#include "content/win/game_preparation.h"

#include <filesystem>

namespace nyra {

// A fresh nyra::Http on the WinHTTP transport to the backend API host, port 443.
class WinHttpBackendFactory final : public BackendFactory {
public:
    explicit WinHttpBackendFactory(Clock& clock) : clock_(clock) {}
    std::unique_ptr<BackendClient> create() override;

private:
    Clock& clock_;
};

// The saved session of the launcher folder (".identity\session.dat").
class SavedSessionFile final : public SavedSession {
public:
    explicit SavedSessionFile(std::filesystem::path launcherFolder) : folder_(std::move(launcherFolder)) {}
    std::optional<std::string> restore(BackendClient& client) override;
    void save(BackendClient& client) override;
    void forget() noexcept override;

private:
    std::filesystem::path folder_;
};

class MachineIdentity final : public HardwareIdentity {
public:
    HardwareId identity() override;
};

// The flow's preparation: the protected components go into `engineFolder` (this slot's) and each
// check's summary is kept as the `verification` diagnostic of the launcher folder (best effort: a
// summary that cannot be stored never fails the check).
std::unique_ptr<GamePreparation> makeGamePreparation(const std::filesystem::path& launcherFolder,
                                                     const std::filesystem::path& engineFolder);

// Start-up's services bound to the subsystems of this build; the steps whose owner has not landed
// stay with PendingStartupServices.
class ProductStartupServices final : public StartupServices {
public:
    int applyLauncherUpdate(std::u16string_view commandLine, const std::filesystem::path& launcherFolder) override;
    unsigned migrateLegacyDiagnostics(const std::filesystem::path& launcherFolder) override;
    void readDiagnostic(const std::filesystem::path& file) override;
    bool cleanNativeComponents(const std::filesystem::path& engineFolder) override;
    std::vector<InstallCandidate> installCandidates(const std::filesystem::path& launcherFolder) override;

private:
    PendingStartupServices pending_;
};

}  // namespace nyra
