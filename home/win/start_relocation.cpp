#include "home/win/start_relocation.h"

#include "core/text.h"
#include "home/relocation_plan.h"
#include "home/temporary_names.h"
#include "home/win/healing.h"
#include "home/win/install.h"
#include "platform/win/handles.h"

#include <windows.h>

namespace nyra::home {
namespace {

// The running executable, or a file directly in the folder that is not one of the launcher's
// temporary files, is a link or cloud placeholder: what the repair in place mends. A linked
// temporary file is skipped as the repair skips it, or every start would restart for nothing.
bool holdsLinkedFiles(const std::filesystem::path& folder, const std::filesystem::path& executable,
                      const LinkTest& isLinked) {
    if (isLinked(executable)) return true;
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = (folder / L"*").wstring();
    win::UniqueFindHandle search(
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!search) return false;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || isTemporaryFileName(entry.cFileName)) continue;
        if (isLinked(folder / entry.cFileName)) return true;
    } while (::FindNextFileW(search.get(), &entry));
    return false;
}

}  // namespace

std::string relocationMessage(const std::string& newLauncher, bool shortcutCreated) {
    std::string text =
        "A pasta do jogo estava no OneDrive (ou outra pasta sincronizada/vinculada), o que impede o launcher de "
        "funcionar.\n\nO Nyra foi instalado em:\n" +
        newLauncher;
    if (shortcutCreated) {
        text += "\n\nUm atalho \"Nyra Saga Brasil\" foi criado na Area de Trabalho. Use esse atalho daqui pra frente.";
    }
    return text;
}

bool RelocationAtStart::relocateAtStart(const std::filesystem::path& launcherFolder, const ProgressFn& progress,
                                        std::atomic<bool>& stop) {
    // What an earlier healing moved aside or left half-made; the launcher it belonged to has ended
    // by now, or its file stays until a later start.
    removeHealingLeftovers(launcherFolder);
    if (homeSettled_) return false;
    const bool redirected = isRedirected(facts_, launcherFolder.u16string());
    const StartRelocation action = startRelocation(
        homeSettled_, redirected, !redirected && holdsLinkedFiles(launcherFolder, executable_, isLinked_));
    std::filesystem::path newLauncher;
    switch (action) {
    case StartRelocation::None:
        return false;
    case StartRelocation::MoveGame: {
        const Relocated moved = relocate(facts_, launcherFolder, executable_,
                                         hooks_.desktopFolder ? hooks_.desktopFolder() : std::filesystem::path(),
                                         progress, stop);
        newLauncher = moved.launcher;
        hooks_.showMessage(relocationMessage(utf16ToUtf8(newLauncher.u16string()), moved.shortcutCreated));
        break;
    }
    case StartRelocation::RepairInPlace:
        progress(kRepairingStatus, 0);
        newLauncher = hooks_.repairInPlace(launcherFolder, executable_, progress);
        break;
    }
    // This launcher keeps its slot until the new one is known to run.
    if (!hooks_.startLauncher(newLauncher)) throw std::runtime_error(kNewLauncherNotStarted);
    hooks_.releaseInstanceSlot();
    return true;
}

void showRelocationMessage(const std::string& text) {
    std::u16string wide;
    try {
        wide = utf8ToUtf16(text);
    } catch (const std::exception&) {
        wide = u"Texto invalido.";
    }
    ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(wide.c_str()), L"Nyra Saga Brasil",
                  MB_OK | MB_ICONINFORMATION | MB_TOPMOST | MB_SETFOREGROUND);
}

}  // namespace nyra::home
