#include "core/unavailable_services.h"

#include <cstdlib>
#include <stdexcept>

namespace nyra {

nlohmann::json UnavailableBackendClient::call(const std::string&, const nlohmann::json&) {
    throw std::runtime_error(kBackendUnavailable);
}

void UnavailableBackendClient::login(const std::string&, const std::string&, const std::string&,
                                     const std::string&, bool) {
    throw std::runtime_error(kBackendUnavailable);
}

void UnavailableBackendClient::logout() { throw std::runtime_error(kBackendUnavailable); }

nlohmann::json UnavailableBackendClient::resumeSession(const std::string&) {
    throw std::runtime_error(kBackendUnavailable);
}

const std::string& UnavailableBackendClient::sessionCookie() const {
    static const std::string none;
    return none;
}

std::unique_ptr<BackendClient> UnavailableBackendFactory::create() {
    return std::make_unique<UnavailableBackendClient>();
}

bool UnavailableHome::relocateAtStart(const std::filesystem::path&, const ProgressFn&,
                                      std::atomic<bool>&) {
    throw std::runtime_error(kHomeUnavailable);
}

bool UnavailableSelfUpdate::checkLauncherUpdate(BackendClient&, const std::filesystem::path&,
                                                const nlohmann::json&, const ProgressFn&,
                                                std::atomic<bool>&) {
    throw std::runtime_error(kSelfUpdateUnavailable);
}

std::optional<std::string> UnavailableSavedSession::restore(BackendClient&) { return std::nullopt; }

void UnavailableSavedSession::save(BackendClient&) {
    throw std::runtime_error(kSessionSaveUnavailable);
}

void UnavailableSavedSession::forget() noexcept {}

HardwareId UnavailableHardwareIdentity::identity() {
    throw std::runtime_error(kHardwareUnavailable);
}

std::unique_ptr<PreparedGame> UnavailablePreparation::prepareUntilStable(
    BackendClient&, const std::filesystem::path&, bool, std::atomic<bool>&, const ProgressFn&,
    const PhaseFn&) {
    throw std::runtime_error(kPreparationUnavailable);
}

void NoPendingGameSettings::applyPendingAndReload(const std::filesystem::path&) {}

void UnavailableGameSession::runGameSession(BackendClient&, const std::filesystem::path&,
                                            std::unique_ptr<PreparedGame>, std::atomic<bool>&,
                                            const ProgressFn&, const GameRunningFn&) {
    throw std::runtime_error(kGameSessionUnavailable);
}

void UnavailablePreferences::writePreferences(const std::filesystem::path&, const nlohmann::json&) {
    throw std::runtime_error(kPreferencesUnavailable);
}

void CrtProcessEnvironment::setVariable(const std::string& name, const std::string& value) {
#ifdef _WIN32
    const int failed = _putenv_s(name.c_str(), value.c_str());
#else
    const int failed = ::setenv(name.c_str(), value.c_str(), 1);
#endif
    if (failed != 0) throw std::runtime_error("Nao foi possivel preparar o ambiente do jogo.");
}

}  // namespace nyra
