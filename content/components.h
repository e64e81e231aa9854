#pragma once
// Protected components: the catalog entries written as real files into the private per-instance
// engine folder before each start, the guard authorisation file "nyra.guard", the protected-file
// check of every launch and the names the clean-up removes. Portable rules only; the files are
// handled by content/win/components.*.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "content/package.h"

namespace nyra {

inline constexpr std::string_view kLauncherFileName = "Launcher.exe";
inline constexpr std::string_view kClientIniName = "client.ini";
// Created inside the engine folder for the game's own files.
inline constexpr std::array<std::string_view, 3> kEngineSubfolders = {"UserSetting", "ScreenCapture", "Temp"};
// Free space required on the engine folder's volume beyond the entries themselves.
inline constexpr std::uint64_t kEngineFreeSpaceMargin = 268435456;

// A catalog entry is materialised when its path is not "Launcher.exe" (which runs from the
// launcher folder and is never copied) and is either a key of the policy's `files` object or
// exactly "client.ini".
bool isMaterialisedPath(std::string_view path, const nlohmann::json& files);

// The policy's `files` object; anything else fails with the JSON library's type error.
const nlohmann::json& protectedFiles(const nlohmann::json& policy);

// The entries to materialise, in catalog order, and the sum of their `plain_size` (saturating, so
// an absurd catalog can only ask for more space than any volume has).
std::vector<const CatalogEntry*> materialisedEntries(const Catalog& catalog, const nlohmann::json& files);
std::uint64_t materialisedBytes(const std::vector<const CatalogEntry*>& entries) noexcept;

// The volume must offer more than the entries plus kEngineFreeSpaceMargin.
bool hasRoomForComponents(std::uint64_t freeBytes, std::uint64_t neededBytes) noexcept;

// Whether a file already in the engine folder can stay. "client.ini" belongs to the player once it
// holds anything; every other file stays only when its size and then its digest match.
enum class ExistingComponent { Keep, HashToDecide, Write };
ExistingComponent judgeExistingComponent(std::string_view path, bool exists, std::uint64_t existingSize,
                                         std::uint64_t plainSize) noexcept;

// Progress of the materialisation: 94 + 5 x min(done, total) / max(total, 1).
int componentPercent(std::uint64_t done, std::uint64_t total) noexcept;

// A name in the engine folder (not below it) that the clean-up deletes: after removing one
// trailing ".nyra-new" (exact case), an extension ".bin", ".exe" or ".dll", or the name
// "nyra.guard", compared without regard to case.
bool isNativeComponentName(std::u16string_view name) noexcept;
// The two shader files below the engine folder that the clean-up also removes.
inline constexpr std::array<std::u16string_view, 2> kNativeShaderFiles = {u"graphics\\reshade\\fx\\e.fx",
                                                                          u"graphics\\reshade\\fx\\e.fx.nyra-new"};

// "nyra.guard": 488 bytes, "NYRAGRD1", the raw SHA-256 of Launcher.exe, game.bin and
// NyraGuard.dll, then the RSA-PSS signature of the first 104 bytes.
inline constexpr std::size_t kGuardFileSize = 488;
inline constexpr std::size_t kGuardSignedSize = 104;
inline constexpr std::size_t kGuardReadLimit = 1024;
inline constexpr std::string_view kGuardMagic = "NYRAGRD1";

struct GuardDigest {
    std::string_view name;
    std::size_t offset;
};
inline constexpr std::array<GuardDigest, 3> kGuardDigests = {
    GuardDigest{"Launcher.exe", 8}, GuardDigest{"game.bin", 40}, GuardDigest{"NyraGuard.dll", 72}};

struct GuardAuthorization {
    std::span<const std::uint8_t> signedPart;  // bytes 0 to 103
    std::span<const std::uint8_t> signature;   // bytes 104 to 487
};

// The two parts of a guard file; a size other than 488 or another magic: "A autorizacao do Guard
// esta invalida. Use Verificar arquivos.".
GuardAuthorization splitGuardAuthorization(std::span<const std::uint8_t> file);

// Compares the three digests of a guard file whose signature verified with the protected-file
// map, in the order Launcher.exe, game.bin, NyraGuard.dll. A name missing from the map fails with
// the JSON library's key error, bad hex with "Hash invalido.", a difference with "A distribuicao do
// Guard e do launcher esta inconsistente. Atualize o launcher oficial; o jogo nao foi aberto.".
void checkGuardDigests(std::span<const std::uint8_t> file, const nlohmann::json& protectedMap);

// The protected-file map: for each key of `files` in its order, the digest `hashOf` finds on disk,
// which must equal the listed one ("Arquivo protegido alterado. Use Verificar arquivos.").
nlohmann::json collectProtectedFiles(const nlohmann::json& files,
                                     const std::function<std::string(const std::string& key)>& hashOf);

namespace texts {
inline constexpr const char* kNoSpaceForComponents = "Espaco insuficiente na pasta do jogo.";
inline constexpr const char* kComponentTooLarge = "Arquivo muito grande.";
inline constexpr const char* kPackMissing = "Pacote ausente.";
inline constexpr const char* kBadPackIndex = "Indice de pacote invalido.";
inline constexpr const char* kPackIncomplete = "Pacote incompleto.";
inline constexpr const char* kGameFileAltered = "Arquivo do jogo alterado.";
inline constexpr const char* kCloseGameToApply = "Feche o jogo para aplicar os arquivos.";
inline constexpr const char* kProtectedFileAltered = "Arquivo protegido alterado. Use Verificar arquivos.";
inline constexpr const char* kGuardMalformed = "A autorizacao do Guard esta invalida. Use Verificar arquivos.";
inline constexpr const char* kGuardSignature = "A assinatura do Guard esta invalida. Use Verificar arquivos.";
inline constexpr const char* kGuardInconsistent =
    "A distribuicao do Guard e do launcher esta inconsistente. Atualize o launcher oficial; o jogo nao foi aberto.";
inline constexpr const char* kCheckingComponent = "Conferindo componente: ";
inline constexpr const char* kComponentChecked = "Componente conferido: ";
}  // namespace texts

}  // namespace nyra
