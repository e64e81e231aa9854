#include "platform/win/files.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

namespace nyra::win {

std::filesystem::path launcherFolderOfProcess() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) throw std::runtime_error("Pasta do launcher indisponivel.");
    const std::filesystem::path executable(std::wstring(buffer.data(), length));
    if (!executable.has_parent_path()) throw std::runtime_error("Pasta do launcher indisponivel.");
    return executable.parent_path();
}

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

}  // namespace nyra::win
