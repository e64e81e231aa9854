#include "platform/win/files.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nyra::win {
namespace {

constexpr DWORD kBlockSize = 1048576;

// Frees the name for a new file: a plain file or link there is removed (its other names, or what
// it points to, stay untouched); a folder is left alone, so the creation that follows fails.
void removeLeftover(const std::filesystem::path& file) noexcept {
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
    if (::DeleteFileW(file.c_str())) return;
    // A read-only leftover of an interrupted run.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        ::SetFileAttributesW(file.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        ::DeleteFileW(file.c_str());
    }
}

bool isDirectoryOrReparse(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) return true;
    return (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

}  // namespace

std::filesystem::path launcherExecutableOfProcess() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) throw std::runtime_error("Pasta do launcher indisponivel.");
    const std::filesystem::path executable(std::wstring(buffer.data(), length));
    if (!executable.has_parent_path()) throw std::runtime_error("Pasta do launcher indisponivel.");
    return executable;
}

std::filesystem::path launcherFolderOfProcess() { return launcherExecutableOfProcess().parent_path(); }

bool isPlainFolderChain(const std::filesystem::path& folder) {
    if (folder.empty()) return false;
    std::filesystem::path current = folder;
    for (;;) {
        const DWORD attributes = ::GetFileAttributesW(current.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
        const auto parent = current.parent_path();
        if (parent == current || parent.empty()) return true;
        current = parent;
    }
}

FreshFile FreshFile::create(const std::filesystem::path& file, Sharing sharing) noexcept {
    removeLeftover(file);
    const DWORD shareMode = sharing == Sharing::Readers ? FILE_SHARE_READ : 0;
    UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return {};
    // Created a moment ago, yet someone may have given it another name or swapped it meanwhile.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nNumberOfLinks != 1) {
        return {};
    }
    return FreshFile(std::move(handle));
}

bool FreshFile::append(std::span<const std::uint8_t> bytes) noexcept {
    if (!handle_) return false;
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kBlockSize));
        if (!::WriteFile(handle_.get(), bytes.data(), want, &written, nullptr) || written != want) return false;
        bytes = bytes.subspan(written);
    }
    return true;
}

bool FreshFile::finish() noexcept {
    if (!handle_) return false;
    const bool flushed = ::FlushFileBuffers(handle_.get()) != 0;
    return ::CloseHandle(handle_.release()) != 0 && flushed;
}

void freeFileName(const std::filesystem::path& file) noexcept { removeLeftover(file); }

bool replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) noexcept {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

ReplaceOutcome replaceFileContent(const std::filesystem::path& target, const std::filesystem::path& pending,
                                  std::span<const std::uint8_t> bytes) noexcept {
    FreshFile file = FreshFile::create(pending, FreshFile::Sharing::None);
    if (!file) return ReplaceOutcome::NotCreated;
    ReplaceOutcome outcome = ReplaceOutcome::Replaced;
    if (!file.append(bytes) || !file.finish()) {
        outcome = ReplaceOutcome::NotWritten;
    } else if (!replaceFile(pending, target)) {
        outcome = ReplaceOutcome::NotMoved;
    }
    if (outcome != ReplaceOutcome::Replaced) {
        file = FreshFile{};  // closed before the name is freed
        ::DeleteFileW(pending.c_str());
    }
    return outcome;
}

ReadOutcome readPlainFile(const std::filesystem::path& file, std::uint64_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ReadOutcome::Missing;
        // A folder cannot be opened without backup semantics.
        if (error == ERROR_ACCESS_DENIED) {
            const DWORD attributes = ::GetFileAttributesW(file.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                return ReadOutcome::NotPlain;
            }
        }
        return ReadOutcome::Failed;
    }
    if (isDirectoryOrReparse(handle.get())) return ReadOutcome::NotPlain;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size) || size.QuadPart < 0) return ReadOutcome::Failed;
    if (static_cast<std::uint64_t>(size.QuadPart) > limit) return ReadOutcome::TooLarge;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kBlockSize));
        if (!::ReadFile(handle.get(), bytes.data() + done, want, &read, nullptr) || read == 0) {
            bytes.clear();
            return ReadOutcome::Failed;
        }
        done += read;
    }
    // A file that grew after the size query is not the file that was measured.
    std::uint8_t extra = 0;
    DWORD read = 0;
    if (!::ReadFile(handle.get(), &extra, 1, &read, nullptr) || read != 0) {
        bytes.clear();
        return ReadOutcome::TooLarge;
    }
    return ReadOutcome::Read;
}

}  // namespace nyra::win
