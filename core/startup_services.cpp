#include "core/startup_services.h"

#include <stdexcept>
#include <system_error>

namespace nyra {

int PendingStartupServices::applyLauncherUpdate(std::u16string_view, const std::filesystem::path&) {
    throw std::runtime_error("Atualizacao do launcher indisponivel nesta versao.");
}

unsigned PendingStartupServices::migrateLegacyDiagnostics(const std::filesystem::path& launcherFolder) {
    // Nothing to convert is an honest zero; legacy files that would need converting are not
    // silently left behind as if they had been handled.
    std::error_code error;
    for (const char* legacy : {"last-launch.json", "last-verification.json"}) {
        if (std::filesystem::exists(launcherFolder / legacy, error) || error) {
            throw std::runtime_error("Diagnosticos antigos nao podem ser protegidos nesta versao.");
        }
    }
    return 0;
}

void PendingStartupServices::readDiagnostic(const std::filesystem::path&) {
    throw std::runtime_error("Diagnosticos protegidos indisponiveis nesta versao.");
}

bool PendingStartupServices::cleanNativeComponents(const std::filesystem::path& engineFolder) {
    std::error_code error;
    if (!std::filesystem::exists(engineFolder, error) && !error) return true;
    throw std::runtime_error("Limpeza dos componentes temporarios indisponivel nesta versao.");
}

std::vector<InstallCandidate> PendingStartupServices::installCandidates(const std::filesystem::path&) {
    throw std::runtime_error("Escolha da pasta de instalacao indisponivel nesta versao.");
}

std::filesystem::path engineFolderFor(const std::filesystem::path& launcherFolder, int slot) {
    return launcherFolder / (slot == 0 ? std::string(".engine") : ".engine-" + std::to_string(slot));
}

}  // namespace nyra
