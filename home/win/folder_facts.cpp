#include "home/win/folder_facts.h"

#include "platform/win/handles.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <vector>

namespace nyra::home {
namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string narrowWide(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }

// A drive without media (an empty card reader) must answer "no" instead of asking the player to
// insert a disk.
class NoCriticalErrorBoxes {
public:
    NoCriticalErrorBoxes() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_); }
    ~NoCriticalErrorBoxes() { ::SetThreadErrorMode(previous_, nullptr); }
    NoCriticalErrorBoxes(const NoCriticalErrorBoxes&) = delete;
    NoCriticalErrorBoxes& operator=(const NoCriticalErrorBoxes&) = delete;

private:
    DWORD previous_ = 0;
};

std::wstring withTrailingSeparator(std::u16string_view root) {
    std::wstring text = wide(root);
    if (!text.empty() && text.back() != L'\\') text += L'\\';
    return text;
}

}  // namespace

std::u16string SystemFolderFacts::absolutePath(std::u16string_view path) {
    const std::wstring text = wide(path);
    const DWORD needed = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return std::u16string(path);
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = ::GetFullPathNameW(text.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) return std::u16string(path);
    return narrowWide(std::wstring_view(buffer.data(), length));
}

std::optional<std::u16string> SystemFolderFacts::environment(std::u16string_view name) {
    const std::wstring key = wide(name);
    const DWORD needed = ::GetEnvironmentVariableW(key.c_str(), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::vector<wchar_t> buffer(needed);
    const DWORD length = ::GetEnvironmentVariableW(key.c_str(), buffer.data(), needed);
    if (length >= needed) return std::nullopt;
    return narrowWide(std::wstring_view(buffer.data(), length));
}

std::optional<std::u16string> SystemFolderFacts::knownFolder(KnownFolder folder) {
    const KNOWNFOLDERID* id = nullptr;
    switch (folder) {
    case KnownFolder::Downloads: id = &FOLDERID_Downloads; break;
    case KnownFolder::Desktop: id = &FOLDERID_Desktop; break;
    case KnownFolder::ProgramFiles: id = &FOLDERID_ProgramFiles; break;
    case KnownFolder::ProgramFilesX86: id = &FOLDERID_ProgramFilesX86; break;
    case KnownFolder::Windows: id = &FOLDERID_Windows; break;
    case KnownFolder::LocalAppData: id = &FOLDERID_LocalAppData; break;
    }
    PWSTR text = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, nullptr, &text);
    std::optional<std::u16string> path;
    if (SUCCEEDED(result) && text != nullptr) path = narrowWide(text);
    ::CoTaskMemFree(text);
    return path;
}

std::optional<std::u16string> SystemFolderFacts::temporaryFolder() {
    wchar_t buffer[MAX_PATH + 2] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH + 1) return std::nullopt;
    return narrowWide(std::wstring_view(buffer, length));
}

std::optional<std::u16string> SystemFolderFacts::volumeRoot(std::u16string_view path) {
    const std::wstring text = wide(path);
    std::vector<wchar_t> buffer(text.size() + MAX_PATH + 2);
    NoCriticalErrorBoxes quiet;
    if (!::GetVolumePathNameW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) return std::nullopt;
    return narrowWide(buffer.data());
}

DriveType SystemFolderFacts::driveType(std::u16string_view root) {
    switch (::GetDriveTypeW(withTrailingSeparator(root).c_str())) {
    case DRIVE_NO_ROOT_DIR: return DriveType::NoRootFolder;
    case DRIVE_REMOVABLE: return DriveType::Removable;
    case DRIVE_FIXED: return DriveType::Fixed;
    case DRIVE_REMOTE: return DriveType::Remote;
    case DRIVE_CDROM: return DriveType::Optical;
    case DRIVE_RAMDISK: return DriveType::RamDisk;
    default: return DriveType::Unknown;
    }
}

std::optional<VolumeNames> SystemFolderFacts::volumeNames(std::u16string_view root) {
    wchar_t label[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    NoCriticalErrorBoxes quiet;
    if (!::GetVolumeInformationW(withTrailingSeparator(root).c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                                 fileSystem, MAX_PATH + 1)) {
        return std::nullopt;
    }
    return VolumeNames{narrowWide(label), narrowWide(fileSystem)};
}

std::optional<PathAttributes> SystemFolderFacts::attributes(std::u16string_view path) {
    std::wstring text = wide(path);
    NoCriticalErrorBoxes quiet;
    const DWORD value = ::GetFileAttributesW(text.c_str());
    if (value == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return PathAttributes{(value & FILE_ATTRIBUTE_DIRECTORY) != 0, (value & FILE_ATTRIBUTE_REPARSE_POINT) != 0};
}

std::optional<std::uint64_t> SystemFolderFacts::freeBytes(std::u16string_view folder) {
    ULARGE_INTEGER available{};
    NoCriticalErrorBoxes quiet;
    if (!::GetDiskFreeSpaceExW(withTrailingSeparator(folder).c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
}

std::uint32_t SystemFolderFacts::logicalDrives() { return static_cast<std::uint32_t>(::GetLogicalDrives()); }

FolderContent SystemFolderFacts::folderContent(std::u16string_view folder) {
    const auto found = attributes(folder);
    if (!found || !found->directory) return FolderContent::Missing;
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = withTrailingSeparator(folder) + L"*";
    NoCriticalErrorBoxes quiet;
    win::UniqueFindHandle search(
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!search) {
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? FolderContent::Empty : FolderContent::NotEmpty;
    }
    FolderContent content = FolderContent::Empty;
    do {
        const std::wstring_view name(entry.cFileName);
        if (name != L"." && name != L"..") {
            content = FolderContent::NotEmpty;
            break;
        }
    } while (::FindNextFileW(search.get(), &entry));
    return content;
}

}  // namespace nyra::home
