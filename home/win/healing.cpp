#include "home/win/healing.h"

#include "home/temporary_names.h"
#include "platform/win/handles.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nyra::home {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

constexpr const char* kRepairStatus = "Reparando os arquivos do launcher nesta pasta (uma vez so)...";
constexpr DWORD kCopyBlock = 4194304;

struct LinkedFile {
    std::filesystem::path path;
    std::uint64_t size = 0;
};

bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
    const std::wstring left = a.lexically_normal().wstring();
    const std::wstring right = b.lexically_normal().wstring();
    return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                  static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// The size of what a reader of the file gets: the linked content, not the link.
std::uint64_t contentSize(const std::filesystem::path& file) {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!handle || !::GetFileSizeEx(handle.get(), &size) || size.QuadPart < 0) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::vector<LinkedFile> linkedFiles(const std::filesystem::path& folder, const std::filesystem::path& launcher,
                                    const LinkTest& isLinked) {
    std::vector<LinkedFile> found;
    bool launcherListed = false;
    WIN32_FIND_DATAW entry{};
    const win::UniqueFindHandle search(::FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &entry,
                                                          FindExSearchNameMatch, nullptr, 0));
    if (search) {
        do {
            const std::filesystem::path name(entry.cFileName);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || isTemporaryFileName(name)) continue;
            const auto file = folder / name;
            if (!isLinked(file)) continue;
            launcherListed = launcherListed || samePath(file, launcher);
            found.push_back({file, contentSize(file)});
        } while (::FindNextFileW(search.get(), &entry));
    }
    if (!launcherListed && isLinked(launcher)) found.push_back({launcher, contentSize(launcher)});
    return found;
}

// Copies a file's content to a new, unshared `target`, reporting after every block.
void copyContent(const std::filesystem::path& source, const std::filesystem::path& target,
                 const std::function<void(std::uint64_t)>& copiedBytes) {
    win::UniqueHandle from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from) fail("Nao foi possivel ler os arquivos do jogo. Feche outros programas e abra o launcher de novo.");
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(target.c_str());
    win::UniqueHandle to(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!to) fail("Nao foi possivel gravar na pasta do jogo. Verifique o espaco livre no disco.");
    std::vector<std::uint8_t> block(kCopyBlock);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(from.get(), block.data(), kCopyBlock, &read, nullptr)) break;
        if (read == 0) {
            if (::FlushFileBuffers(to.get())) return;
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(to.get(), block.data(), read, &written, nullptr) || written != read) break;
        copiedBytes(read);
    }
    to.reset();
    ::DeleteFileW(target.c_str());
    fail("Falha ao copiar os arquivos do jogo. Verifique o espaco livre no disco e tente de novo.");
}

}  // namespace

bool isReparsePointFile(const std::filesystem::path& file) {
    win::UniqueHandle handle(::CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return ::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::filesystem::path repairInPlace(const std::filesystem::path& launcherFolder,
                                    const std::filesystem::path& launcherPath, const ProgressFn& progress) {
    return repairInPlace(launcherFolder, launcherPath, progress, isReparsePointFile);
}

std::filesystem::path repairInPlace(const std::filesystem::path& launcherFolder,
                                    const std::filesystem::path& launcherPath, const ProgressFn& progress,
                                    const LinkTest& isLinked) {
    const auto files = linkedFiles(launcherFolder, launcherPath, isLinked);
    std::uint64_t total = 0;
    for (const auto& file : files) total += file.size;
    std::uint64_t copied = 0;
    const auto report = [&] {
        const int percent = total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(99, copied * 100 / total));
        if (progress) progress(kRepairStatus, percent);
    };
    for (const auto& file : files) {
        report();
        auto copy = file.path;
        copy += L".nyra-heal";
        copyContent(file.path, copy, [&](std::uint64_t bytes) {
            copied += bytes;
            report();
        });
        // Whatever way this file's repair ends, its copy does not stay behind.
        struct RemoveCopy {
            const std::filesystem::path& copy;
            ~RemoveCopy() {
                ::SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(copy.c_str());
            }
        } removeCopy{copy};
        // A sync provider may turn the new file into a placeholder at once; the move then fails.
        if (isLinked(copy)) ::DeleteFileW(copy.c_str());
        if (!samePath(file.path, launcherPath)) {
            if (!::MoveFileExW(copy.c_str(), file.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                fail("Nao foi possivel reparar os arquivos do jogo. Feche o jogo e tente de novo.");
            }
            continue;
        }
        auto old = launcherPath;
        old += L".nyra-old";
        ::SetFileAttributesW(old.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(old.c_str());
        if (!::MoveFileExW(launcherPath.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            fail("Nao foi possivel reparar o launcher. Feche outras janelas do launcher e tente de novo.");
        }
        if (!::MoveFileExW(copy.c_str(), launcherPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
            ::MoveFileExW(old.c_str(), launcherPath.c_str(), 0);
            fail("Nao foi possivel reparar o launcher. Tente de novo.");
        }
    }
    return launcherPath;
}

void removeHealingLeftovers(const std::filesystem::path& folder) {
    WIN32_FIND_DATAW entry{};
    const win::UniqueFindHandle search(::FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &entry,
                                                          FindExSearchNameMatch, nullptr, 0));
    if (!search) return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        if (!isHealingLeftoverName(entry.cFileName)) continue;
        const auto file = folder / entry.cFileName;
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(file.c_str());
    } while (::FindNextFileW(search.get(), &entry));
}

}  // namespace nyra::home
