#include "content/win/native_components.h"

#include <windows.h>

#include <string_view>

#include "content/components.h"
#include "core/startup_services.h"
#include "platform/win/files.h"

namespace nyra {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kRedirectingAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// Deletes a file that is neither a folder nor a reparse point; false when it remains.
bool deletePlainFile(const fs::path& file, DWORD attributes) {
    if ((attributes & kRedirectingAttributes) != 0) return false;
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(file.c_str()) != FALSE;
}

}  // namespace

fs::path engineFolder(int instanceSlot) { return engineFolderFor(win::launcherFolderOfProcess(), instanceSlot); }

bool cleanNativeComponents(const fs::path& folder) noexcept {
    try {
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = ::GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return false;
        }

        bool complete = true;
        WIN32_FIND_DATAW found{};
        const fs::path pattern = folder / fs::path(L"*");
        HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) return false;
        do {
            const std::u16string_view name(reinterpret_cast<const char16_t*>(found.cFileName));
            if (name == u"." || name == u".." || !isNativeComponentName(name)) continue;
            if (!deletePlainFile(folder / fs::path(found.cFileName), found.dwFileAttributes)) complete = false;
        } while (::FindNextFileW(search, &found));
        const DWORD listingEnd = ::GetLastError();
        ::FindClose(search);
        if (listingEnd != ERROR_NO_MORE_FILES) return false;

        // The shader files sit below subfolders; a subfolder that redirects elsewhere is not
        // followed, so nothing outside the engine folder is ever deleted.
        for (const std::u16string_view relative : kNativeShaderFiles) {
            fs::path file = folder;
            bool plainChain = true;
            for (const auto& part : fs::path(relative)) {
                const DWORD partAttributes = ::GetFileAttributesW(file.c_str());
                plainChain = plainChain && partAttributes != INVALID_FILE_ATTRIBUTES &&
                             (partAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
                file /= part;
            }
            if (!plainChain) continue;
            const DWORD fileAttributes = ::GetFileAttributesW(file.c_str());
            if (fileAttributes != INVALID_FILE_ATTRIBUTES) deletePlainFile(file, fileAttributes);
        }
        return complete;
    } catch (...) {
        return false;  // only path building can throw (out of memory): nothing could be checked
    }
}

}  // namespace nyra
