#pragma once
// The engine folder and its protected components on disk: preparation of the private folder,
// materialisation of the selected catalog entries, the protected-file check of every launch, the
// guard authorisation and the clean-up of native components.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "content/components.h"
#include "content/package.h"
#include "content/win/native_components.h"
#include "content/win/prepare.h"
#include "content/win/primitives.h"
#include "core/services.h"

namespace nyra {

// Makes the engine folder private (protectPrivateFolder and its texts), creates "UserSetting",
// "ScreenCapture" and "Temp" inside it, and requires room for the materialised entries plus 256 MiB
// ("Espaco insuficiente na pasta do jogo.", also when the query fails).
void prepareEngineFolder(const std::filesystem::path& engineFolder, const Catalog& catalog,
                         const nlohmann::json& policy, const FreeSpaceFn& freeSpace = freeBytesForCurrentUser);

// Called with a component's target once its new bytes sit complete in target + ".nyra-new", just
// before they are moved over the target; null in the product. Tests stop the process here.
using ComponentWrittenFn = std::function<void(const std::filesystem::path& target)>;

// Writes the selected entries that are missing or differ into the engine folder, in catalog order,
// and returns how many were written. An entry is read from its pack in the game folder, decrypted
// with the package key, decompressed when stored so, checked against its size and digest, written
// as target + ".nyra-new" and moved over the target. Existing files are kept when their size and
// digest match; a non-empty "client.ini" is always kept (it belongs to the player).
std::uint64_t materialiseEntries(const Catalog& catalog, const nlohmann::json& policy,
                                 const std::filesystem::path& engineFolder, const std::filesystem::path& gameFolder,
                                 std::span<const std::uint8_t> packageKey, std::atomic<bool>& cancel,
                                 const ProgressFn& progress, const ComponentWrittenFn& beforeMove = {});

// The protected-components step of the preparation for the engine folder of this instance.
class ProtectedComponents final : public ComponentPreparer {
public:
    explicit ProtectedComponents(std::filesystem::path engineFolder, FreeSpaceFn freeSpace = freeBytesForCurrentUser,
                                 ComponentWrittenFn beforeMove = {})
        : engineFolder_(std::move(engineFolder)), freeSpace_(std::move(freeSpace)), beforeMove_(std::move(beforeMove)) {}
    std::filesystem::path prepareEngineFolder(const std::filesystem::path& gameFolder, const PackagePolicy& policy,
                                              const Catalog& catalog) override;
    std::uint64_t materialise(const ComponentRequest& request) override;
    void cleanNativeComponents(const std::filesystem::path& engineFolder) noexcept override;

private:
    std::filesystem::path engineFolder_;
    FreeSpaceFn freeSpace_;
    ComponentWrittenFn beforeMove_;
};

// The protected-file map of a launch: every key of the policy's `files` hashed again on disk
// ("Launcher.exe" in the launcher folder, the others in the engine folder) and compared with the
// policy, then the guard authorisation checked against it.
nlohmann::json checkProtectedFiles(const std::filesystem::path& launcherFolder,
                                   const std::filesystem::path& engineFolder, const nlohmann::json& policy);

// "nyra.guard" of the engine folder: 488 bytes, signed by the project key, naming the digests the
// map found for Launcher.exe, game.bin and NyraGuard.dll.
void verifyGuardAuthorization(const std::filesystem::path& engineFolder, const nlohmann::json& protectedMap);

// checkProtectedFiles for the engine folder and policy of a preparation.
nlohmann::json checkProtectedFiles(const std::filesystem::path& launcherFolder, const Prepared& prepared);

}  // namespace nyra
