#include "content/win/game_preparation.h"

#include "net/http.h"

#include <stdexcept>

namespace nyra {

GamePreparation::GamePreparation(std::shared_ptr<ComponentPreparer> components, VerificationSink summarySink)
    : components_(std::move(components)), summarySink_(std::move(summarySink)) {
    if (!components_) throw std::invalid_argument("GamePreparation needs its protected-components step");
}

std::unique_ptr<PreparedGame> GamePreparation::prepareUntilStable(BackendClient& client,
                                                                  const std::filesystem::path& gameFolder,
                                                                  bool forceFull, std::atomic<bool>& cancel,
                                                                  const ProgressFn& progress, const PhaseFn& phase) {
    // The package downloads need the raw exchange of the product client.
    auto* http = dynamic_cast<Http*>(&client);
    if (http == nullptr) throw std::runtime_error("Verificacao dos arquivos do jogo indisponivel nesta versao do launcher.");
    PrepareOptions options;
    options.summarySink = summarySink_;
    const PreparationPhaseFn phases = [&phase](PreparationPhase value) {
        if (phase) phase(static_cast<int>(value));
    };
    return std::make_unique<PreparedPackages>(
        nyra::prepareUntilStable(*http, gameFolder, forceFull, cancel, progress, phases, *components_, options));
}

}  // namespace nyra
