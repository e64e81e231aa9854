#include "app/win/product_services.h"

#include "content/win/components.h"
#include "content/win/native_components.h"
#include "core/deployment.h"
#include "core/text.h"
#include "home/folder_rules.h"
#include "home/win/folder_facts.h"
#include "net/http.h"
#include "net/win/winhttp.h"
#include "state/win/hardware_identity.h"
#include "state/win/protected_diagnostics.h"
#include "state/win/saved_session.h"
#include "update/win/updater.h"

#include <stdexcept>

namespace nyra {

std::unique_ptr<BackendClient> WinHttpBackendFactory::create() {
    const std::string host(deployment().backendHost);
    return std::make_unique<Http>(std::make_unique<net::WinHttpBackendTransport>(host, deployment().httpsPort), clock_,
                                  host);
}

std::optional<std::string> SavedSessionFile::restore(BackendClient& client) {
    // A file that cannot be read or unprotected fails here and stays on disk for the next sign-in
    // to replace.
    std::string value = loadSavedSession(folder_);
    if (value.empty()) return std::nullopt;
    nlohmann::json user;
    try {
        user = client.resumeSession(value);
    } catch (const HttpError& error) {
        wipe(value);
        if (error.status == 401 || error.status == 403) forget();
        return std::nullopt;
    } catch (const std::exception&) {
        wipe(value);
        return std::nullopt;
    }
    wipe(value);
    if (user.is_object()) {
        const auto name = user.find("username");
        if (name != user.end() && name->is_string()) return name->get<std::string>();
    }
    forget();
    return std::nullopt;
}

void SavedSessionFile::save(BackendClient& client) { saveSession(folder_, client.sessionCookie()); }

void SavedSessionFile::forget() noexcept { forgetSavedSession(folder_); }

HardwareId MachineIdentity::identity() { return hardwareIdentity(); }

std::unique_ptr<GamePreparation> makeGamePreparation(const std::filesystem::path& launcherFolder,
                                                     const std::filesystem::path& engineFolder) {
    return std::make_unique<GamePreparation>(
        std::make_shared<ProtectedComponents>(engineFolder),
        [launcherFolder](const std::filesystem::path&, const nlohmann::json& summary) {
            recordVerificationSummary(launcherFolder, summary);
        });
}

int ProductStartupServices::applyLauncherUpdate(std::u16string_view commandLine, const std::filesystem::path&) {
    return update::applyLauncherUpdate(commandLine);  // it finds its folder from its own path
}

unsigned ProductStartupServices::migrateLegacyDiagnostics(const std::filesystem::path& launcherFolder) {
    return nyra::migrateLegacyDiagnostics(launcherFolder);
}

void ProductStartupServices::readDiagnostic(const std::filesystem::path& file) {
    const auto kind = diagnosticKindOfCurrentFile(utf16ToUtf8(file.filename().u16string()));
    if (!kind) throw std::runtime_error("Diagnostico protegido indisponivel.");
    nyra::readDiagnostic(file.parent_path(), *kind);
}

bool ProductStartupServices::cleanNativeComponents(const std::filesystem::path& engineFolder) {
    return nyra::cleanNativeComponents(engineFolder);
}

std::vector<InstallCandidate> ProductStartupServices::installCandidates(const std::filesystem::path& launcherFolder) {
    home::SystemFolderFacts facts;
    std::vector<InstallCandidate> candidates;
    for (InstallEntry& entry : home::candidateList(facts, launcherFolder.u16string())) {
        InstallCandidate candidate;
        candidate.folder = std::filesystem::path(utf8ToUtf16(entry.path));
        candidate.label = std::move(entry.label);
        candidate.freeBytes = entry.freeBytes;
        candidate.usable = entry.usable;
        candidate.reason = std::move(entry.reason);
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

}  // namespace nyra
