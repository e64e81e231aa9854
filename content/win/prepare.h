#pragma once
// The preparation pipeline: package key, catalog, pack verification with receipts, CDN repair,
// protected components, verification summary, and the loop that repeats it while the server
// publishes a new package set.
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "content/cdn.h"
#include "content/package.h"
#include "content/verification.h"
#include "content/win/pack_file.h"
#include "content/win/pack_journal_source.h"
#include "content/win/primitives.h"
#include "core/services.h"

namespace nyra {

class Http;

enum class PreparationPhase { Checking = 1, Downloading = 2, PreparingComponents = 3, Ready = 4 };
using PreparationPhaseFn = std::function<void(PreparationPhase)>;

// What the protected-components step (engine folder, entries, guard authorisation) receives.
struct ComponentRequest {
    const std::filesystem::path& gameFolder;
    const std::filesystem::path& engineFolder;
    const PackagePolicy& policy;
    const Catalog& catalog;
    std::span<const std::uint8_t, 32> packageKey;
    const VerifiedPackLocks& packLocks;
    std::atomic<bool>& cancel;
    const ProgressFn& progress;
};

// The protected-components step as the preparation calls it.
class ComponentPreparer {
public:
    virtual ~ComponentPreparer() = default;
    // Prepares the engine folder and its subfolders and checks the free space the entries need;
    // returns the engine folder.
    virtual std::filesystem::path prepareEngineFolder(const std::filesystem::path& gameFolder, const PackagePolicy& policy,
                                                      const Catalog& catalog) = 0;
    // Writes the protected entries into the engine folder; returns how many were written.
    virtual std::uint64_t materialise(const ComponentRequest& request) = 0;
    // Removes the native components of the engine folder (when the last holder of the native
    // session lets it go).
    virtual void cleanNativeComponents(const std::filesystem::path& engineFolder) noexcept = 0;
};

// Engine folder given by the caller, nothing materialised, nothing to clean.
class NoComponents final : public ComponentPreparer {
public:
    explicit NoComponents(std::filesystem::path engineFolder) : engineFolder_(std::move(engineFolder)) {}
    std::filesystem::path prepareEngineFolder(const std::filesystem::path&, const PackagePolicy&,
                                              const Catalog&) override {
        return engineFolder_;
    }
    std::uint64_t materialise(const ComponentRequest&) override { return 0; }
    void cleanNativeComponents(const std::filesystem::path&) noexcept override {}

private:
    std::filesystem::path engineFolder_;
};

// Receives the verification summary record (stored as the `verification` diagnostic).
using VerificationSink = std::function<void(const std::filesystem::path& gameFolder, const nlohmann::json& summary)>;

// Holds the engine folder; its destructor removes the native components there.
class NativeSession {
public:
    NativeSession(std::filesystem::path engineFolder, std::function<void(const std::filesystem::path&)> clean)
        : engineFolder_(std::move(engineFolder)), clean_(std::move(clean)) {}
    ~NativeSession() {
        if (clean_) clean_(engineFolder_);
    }
    NativeSession(const NativeSession&) = delete;
    NativeSession& operator=(const NativeSession&) = delete;
    const std::filesystem::path& engineFolder() const noexcept { return engineFolder_; }

private:
    std::filesystem::path engineFolder_;
    std::function<void(const std::filesystem::path&)> clean_;
};

// The result of one preparation. Owns the pack locks: every catalog pack stays open, denying
// writers, until the last copy is released.
struct Prepared {
    nlohmann::json policy;  // the policy's `policy` member
    std::filesystem::path engineFolder;
    std::string packageId;
    std::string indexSha256;
    std::shared_ptr<NativeSession> nativeSession;
    std::uint32_t downloadedPacks = 0;
    std::uint64_t downloadedPackBytes = 0;
    bool catalogDownloaded = false;
    std::shared_ptr<VerifiedPackLocks> packLocks;
};

// Builds the CDN of one preparation (WinHttpCDN in the product).
using CdnFactory = std::function<std::unique_ptr<BaseCDN>(const nlohmann::json& identity, unsigned depth)>;

struct PrepareOptions {
    VerificationSink summarySink;          // null: the summary goes nowhere
    CdnFactory cdnFactory;                 // null: WinHttpCDN
    PackJournalSource* journal = nullptr;  // null: the file system and clocks of this machine
    FreeSpaceFn freeSpace;                 // null: freeBytesForCurrentUser (on the game folder's volume)
    // Called with the pack's name once its received file has been validated, just before that file
    // is moved over it; null in the product. Tests stop the process here.
    std::function<void(const std::filesystem::path& installedPack)> beforePackMoved;
    // Called with the installed pack right after a repaired pack was moved over it and before it is
    // re-opened to prove it is the file that was validated; null in the product. Tests change the
    // file here.
    std::function<void(const std::filesystem::path& installedPack)> afterPackMoved;
    // False: every repaired pack is fetched whole, nothing taken from a kept download or the
    // installed pack (what scripts/bench-repair-scale compares with); true in the product.
    bool reuseDiskBytes = true;
};

// The key exchange and the catalog steps of the preparation, usable on their own.
std::array<std::uint8_t, 32> requestPackageKey(Http& http, const std::filesystem::path& gameFolder,
                                               const PackagePolicy& policy);
struct LoadedCatalog {
    Catalog catalog;
    bool downloaded = false;
    std::uint64_t downloadedBytes = 0;
};
LoadedCatalog loadCatalog(Http& http, const std::filesystem::path& gameFolder, const PackagePolicy& policy,
                          std::span<const std::uint8_t> signature, std::span<const std::uint8_t, 32> key,
                          const ProgressFn& progress, const PreparationPhaseFn& phase);

// One preparation. `components` is the protected-components step: ProtectedComponents in the
// product; NoComponents only where the engine folder is deliberately left out.
Prepared prepare(Http& http, const std::filesystem::path& gameFolder, const nlohmann::json& packagePolicy,
                 bool forceFull, std::atomic<bool>& cancel, const ProgressFn& progress,
                 const PreparationPhaseFn& phase, ComponentPreparer& components,
                 const PrepareOptions& options = {});

Prepared prepareUntilStable(Http& http, const std::filesystem::path& gameFolder, bool forceFull,
                            std::atomic<bool>& cancel, const ProgressFn& progress, const PreparationPhaseFn& phase,
                            ComponentPreparer& components, const PrepareOptions& options = {});

// Deletes files named like packs ("nyra-" + three digits + ".pck") that the catalog does not list.
void removeStalePacks(const std::filesystem::path& gameFolder, const Catalog& catalog);

}  // namespace nyra
