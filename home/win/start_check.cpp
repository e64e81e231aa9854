#include "home/win/start_check.h"

#include "platform/win/files.h"

#include <windows.h>

#include <stdexcept>
#include <system_error>

namespace nyra::home {
namespace {

bool holdsLinkedFiles(const std::filesystem::path& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const DWORD attributes = ::GetFileAttributesW(it->path().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    }
    return false;
}

}  // namespace

bool StartCheck::relocateAtStart(const std::filesystem::path& launcherFolder, const ProgressFn&,
                                 std::atomic<bool>&) {
    if (homeSettled_) return false;
    if (!win::isPlainFolderChain(launcherFolder) || holdsLinkedFiles(launcherFolder)) {
        throw std::runtime_error(
            "A pasta do jogo esta vinculada ou redirecionada e precisa ser movida. Mova a pasta inteira do Nyra para "
            "C:\\Jogos\\NyraBrasil e abra o Launcher.exe de la.");
    }
    return false;
}

}  // namespace nyra::home
