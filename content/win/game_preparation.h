#pragma once
// The flow's Preparation service bound to the real preparation pipeline.
#include <filesystem>
#include <memory>

#include "content/win/prepare.h"
#include "core/services.h"

namespace nyra {

// A completed preparation as the flow and the game session hold it.
class PreparedPackages final : public PreparedGame {
public:
    explicit PreparedPackages(Prepared prepared) : prepared_(std::move(prepared)) {}
    std::filesystem::path engineFolder() const override { return prepared_.engineFolder; }
    bool receivedOrRepaired() const override {
        return prepared_.downloadedPacks > 0 || prepared_.catalogDownloaded;
    }
    const Prepared& prepared() const noexcept { return prepared_; }

private:
    Prepared prepared_;
};

class GamePreparation final : public Preparation {
public:
    // `components` is the protected-components step (ProtectedComponents in the product; never
    // null) and the summary sink the diagnostics store (null: no summary kept).
    GamePreparation(std::shared_ptr<ComponentPreparer> components, VerificationSink summarySink);

    std::unique_ptr<PreparedGame> prepareUntilStable(BackendClient& client, const std::filesystem::path& gameFolder,
                                                     bool forceFull, std::atomic<bool>& cancel,
                                                     const ProgressFn& progress, const PhaseFn& phase) override;

private:
    std::shared_ptr<ComponentPreparer> components_;
    VerificationSink summarySink_;
};

}  // namespace nyra
