#include "content/win/components.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

#include "content/win/primitives.h"
#include "content/win/signature.h"
#include "content/xpress_huffman.h"
#include "platform/win/cng.h"
#include "platform/win/handles.h"
#include "state/win/private_folder.h"

namespace nyra {
namespace {

namespace fs = std::filesystem;

struct BytesWiper {
    std::vector<std::uint8_t>& bytes;
    ~BytesWiper() { wipeBytes(bytes); }
};

constexpr DWORD kRedirectingAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// The stored blob of an entry, read from its pack through a handle of our own.
std::vector<std::uint8_t> readStoredBlob(const Catalog& catalog, const CatalogEntry& entry, const fs::path& gameFolder) {
    if (entry.pack >= catalog.packs.size()) throw std::runtime_error(texts::kPackMissing);
    const fs::path packFile = joinPackagePath(gameFolder, catalog.packs[static_cast<std::size_t>(entry.pack)].path);
    // Readers only: the pack locks of the verification keep writers out meanwhile.
    win::UniqueHandle pack(::CreateFileW(packFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!pack) throw std::runtime_error(texts::kPackMissing);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(pack.get(), &size) || size.QuadPart < 0) throw std::runtime_error(texts::kPackIncomplete);
    const auto packSize = static_cast<std::uint64_t>(size.QuadPart);
    if (entry.offset > packSize || entry.size > packSize - entry.offset || entry.size > kMaxEntrySize) {
        throw std::runtime_error(texts::kBadPackIndex);
    }
    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(entry.offset);
    if (!::SetFilePointerEx(pack.get(), offset, nullptr, FILE_BEGIN)) throw std::runtime_error(texts::kPackIncomplete);
    std::vector<std::uint8_t> blob(static_cast<std::size_t>(entry.size));
    std::size_t filled = 0;
    while (filled < blob.size()) {
        DWORD read = 0;
        if (!::ReadFile(pack.get(), blob.data() + filled, static_cast<DWORD>(blob.size() - filled), &read, nullptr) ||
            read == 0) {
            throw std::runtime_error(texts::kPackIncomplete);
        }
        filled += read;
    }
    return blob;
}

// The entry's plain bytes, checked against its size and digest.
std::vector<std::uint8_t> extractEntry(const Catalog& catalog, const CatalogEntry& entry, const fs::path& gameFolder,
                                       std::span<const std::uint8_t> packageKey) {
    std::vector<std::uint8_t> blob = readStoredBlob(catalog, entry, gameFolder);
    std::vector<std::uint8_t> plain = decryptGcm(blob, packageKey, entry.iv, entry.tag);
    std::vector<std::uint8_t>().swap(blob);  // the ciphertext is not needed while decompressing
    if (entry.compressed) {
        std::vector<std::uint8_t> expanded;
        try {
            expanded = decompressXpressHuffman(plain, entry.plainSize);
        } catch (...) {
            wipeBytes(plain);
            throw;
        }
        wipeBytes(plain);
        plain = std::move(expanded);
    }
    if (plain.size() != entry.plainSize || win::sha256Hex(plain.data(), plain.size()) != entry.sha256) {
        wipeBytes(plain);
        throw std::runtime_error(texts::kGameFileAltered);
    }
    return plain;
}

// The folder and its missing parents; a file in the way is reported like any failed write.
void createFolders(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw std::runtime_error("Nao foi possivel preparar o arquivo.");
}

// Writes target + ".nyra-new" and moves it over the target; nothing half-written stays behind.
void replaceComponent(const fs::path& target, std::span<const std::uint8_t> bytes,
                      const ComponentWrittenFn& beforeMove) {
    createFolders(target.parent_path());
    const fs::path temporary = target.wstring() + L".nyra-new";
    // writeWholeFile removes a leftover of an interrupted run rather than writing through it.
    try {
        writeWholeFile(temporary, bytes);
    } catch (...) {
        ::DeleteFileW(temporary.c_str());
        throw;
    }
    if (beforeMove) beforeMove(target);
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!replaceFile(temporary, target)) {
        ::DeleteFileW(temporary.c_str());
        throw std::runtime_error(texts::kCloseGameToApply);
    }
}

// Whether a file exists at `target`, and its size (a folder in its place never matches, so the
// entry is written and the replacement refuses the folder).
bool existingFileSize(const fs::path& target, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & kRedirectingAttributes) != 0) {
        size = UINT64_MAX;  // never matches: the entry is written and the move refuses the folder
        return true;
    }
    size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return true;
}

}  // namespace

void prepareEngineFolder(const fs::path& folder, const Catalog& catalog, const nlohmann::json& policy,
                         const FreeSpaceFn& freeSpace) {
    protectPrivateFolder(folder);
    for (const std::string_view subfolder : kEngineSubfolders) createFolders(joinPackagePath(folder, subfolder));
    const std::uint64_t needed = materialisedBytes(materialisedEntries(catalog, protectedFiles(policy)));
    std::uint64_t available = 0;
    if (!freeSpace(folder, available) || !hasRoomForComponents(available, needed)) {
        throw std::runtime_error(texts::kNoSpaceForComponents);
    }
}

std::uint64_t materialiseEntries(const Catalog& catalog, const nlohmann::json& policy, const fs::path& folder,
                                 const fs::path& gameFolder, std::span<const std::uint8_t> packageKey,
                                 std::atomic<bool>& cancel, const ProgressFn& progress,
                                 const ComponentWrittenFn& beforeMove) {
    const std::vector<const CatalogEntry*> selected = materialisedEntries(catalog, protectedFiles(policy));
    const std::uint64_t total = materialisedBytes(selected);
    std::uint64_t done = 0;
    std::uint64_t written = 0;
    const auto report = [&](const std::string& text, std::uint64_t value) {
        if (progress) progress(text, componentPercent(value, total));
    };
    for (const CatalogEntry* entry : selected) {
        if (cancel.load()) throw std::runtime_error("Preparacao cancelada.");
        const fs::path target = joinPackagePath(folder, entry->path);
        if (entry->plainSize > kMaxEntrySize) throw std::runtime_error(texts::kComponentTooLarge);

        std::uint64_t existingSize = 0;
        const bool exists = existingFileSize(target, existingSize);
        bool keep = false;
        switch (judgeExistingComponent(entry->path, exists, existingSize, entry->plainSize)) {
            case ExistingComponent::Keep: keep = true; break;
            case ExistingComponent::Write: keep = false; break;
            case ExistingComponent::HashToDecide: {
                const std::string label = texts::kCheckingComponent + entry->path;
                keep = sha256File(target, [&](std::uint64_t hashed) {
                           if (cancel.load()) throw std::runtime_error("Preparacao cancelada.");
                           const std::uint64_t reached = hashed > UINT64_MAX - done ? UINT64_MAX : done + hashed;
                           report(label, reached);
                       }) == entry->sha256;
                break;
            }
        }
        if (!keep) {
            std::vector<std::uint8_t> plain = extractEntry(catalog, *entry, gameFolder, packageKey);
            const BytesWiper plainWiper{plain};
            replaceComponent(target, plain, beforeMove);
            ++written;
        }
        done += entry->plainSize;
        report(texts::kComponentChecked + entry->path, done);
    }
    return written;
}

fs::path ProtectedComponents::prepareEngineFolder(const fs::path&, const PackagePolicy& policy,
                                                  const Catalog& catalog) {
    nyra::prepareEngineFolder(engineFolder_, catalog, policy.policy, freeSpace_);
    return engineFolder_;
}

std::uint64_t ProtectedComponents::materialise(const ComponentRequest& request) {
    return materialiseEntries(request.catalog, request.policy.policy, request.engineFolder, request.gameFolder,
                              request.packageKey, request.cancel, request.progress, beforeMove_);
}

void ProtectedComponents::cleanNativeComponents(const fs::path& folder) noexcept { nyra::cleanNativeComponents(folder); }

nlohmann::json checkProtectedFiles(const fs::path& launcherFolder, const Prepared& prepared) {
    return checkProtectedFiles(launcherFolder, prepared.engineFolder, prepared.policy);
}

nlohmann::json checkProtectedFiles(const fs::path& launcherFolder, const fs::path& folder,
                                   const nlohmann::json& policy) {
    nlohmann::json map = collectProtectedFiles(protectedFiles(policy), [&](const std::string& key) {
        const fs::path file =
            key == kLauncherFileName ? launcherFolder / fs::path(L"Launcher.exe") : joinPackagePath(folder, key);
        return sha256File(file);
    });
    verifyGuardAuthorization(folder, map);
    return map;
}

void verifyGuardAuthorization(const fs::path& folder, const nlohmann::json& protectedMap) {
    const std::vector<std::uint8_t> guard = readWholeFile(folder / fs::path(L"nyra.guard"), kGuardReadLimit);
    const GuardAuthorization parts = splitGuardAuthorization(guard);
    if (!verifyCatalogSignature(parts.signedPart, parts.signature)) throw std::runtime_error(texts::kGuardSignature);
    checkGuardDigests(guard, protectedMap);
}

}  // namespace nyra
