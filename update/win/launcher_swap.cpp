#include "update/win/launcher_swap.h"

#include "core/json_limits.h"
#include "home/win/launcher_file.h"
#include "update/win/update_files.h"

#include <stdexcept>

namespace nyra::update {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

HANDLE handleFromValue(std::uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)); }

bool isInheritable(HANDLE handle) {
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
}

// Opened for reading, without following a link; `sharing` says what others may still do with it.
win::UniqueHandle openHeld(const std::filesystem::path& file, DWORD sharing) {
    return win::UniqueHandle(::CreateFileW(file.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool holdsDescribedBuild(HANDLE file, const LauncherDescription& description) {
    home::requirePlainLauncherFile(file, home::LauncherFileRole::Update);
    const auto whole = readWhole(file, description.size);
    return whole.status == WholeFile::Status::Read && isDescribedBuild(whole.bytes, description);
}

bool nameExists(const std::filesystem::path& file) { return ::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; }

void removeFile(const std::filesystem::path& file) {
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(file.c_str());
}

}  // namespace

UpdaterHandles adoptUpdaterHandles(const UpdaterArguments& arguments) {
    const HANDLE process = handleFromValue(arguments.processHandle);
    const HANDLE event = handleFromValue(arguments.eventHandle);
    // Whatever the numbers name stays open when they are refused: only handed-over handles are ours.
    const DWORD processId = isInheritable(process) ? ::GetProcessId(process) : 0;
    if (processId == 0 || processId != arguments.processId || processId == ::GetCurrentProcessId()) {
        fail("Sessao do atualizador invalida.");
    }
    // Resetting is harmless here: the launcher creates the event unsignalled and waits for it to
    // be set. It fails for anything that is not an event.
    if (event == process || !isInheritable(event) || !::ResetEvent(event)) fail("Sincronizacao do atualizador invalida.");
    return {win::UniqueHandle(process), win::UniqueHandle(event)};
}

LauncherDescription handedOverDescription(HANDLE descriptionFile, const SignatureCheck& verify) {
    constexpr std::uint64_t kDescriptionLimit = 16384;
    const auto text = readWhole(descriptionFile, kDescriptionLimit);
    nlohmann::json value = nlohmann::json::value_t::discarded;
    if (text.status == WholeFile::Status::Read) value = readJsonText(std::span<const std::uint8_t>(text.bytes));
    return parseSignedLauncherUpdate(value, verify);
}

bool replaceFileWithBackup(const std::filesystem::path& replaced, const std::filesystem::path& replacement,
                           const std::filesystem::path& backup) {
    return ::ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(), 0, nullptr, nullptr) != FALSE;
}

win::UniqueHandle swapInLauncher(const std::filesystem::path& folder, std::span<const std::uint8_t> bytes,
                                 const LauncherDescription& description, const SwapSteps& steps) {
    const auto reached = [&](const char* step) {
        if (steps.reached) steps.reached(step);
    };
    const auto installed = folder / L"Launcher.exe";
    const auto ready = folder / L"Launcher.exe.ready";
    const auto backup = folder / kLauncherBackupName;

    writeUpdateFile(ready, bytes);
    // Readers may share it, and the replace may rename it; nobody may write to it.
    win::UniqueHandle checkedReady = openHeld(ready, FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (!checkedReady || !holdsDescribedBuild(checkedReady.get(), description)) {
        fail("A atualizacao foi alterada durante a instalacao.");
    }
    reached("after-ready");
    // The replace opens the replacement for writing itself, so the hold ends here; what it put in
    // place is checked again below and held from then on.
    checkedReady.reset();

    // Without a backup name a replace that fails half-way (ERROR_UNABLE_TO_MOVE_REPLACEMENT and
    // its second form) can leave no Launcher.exe at all; with one, the old file is always
    // somewhere it can be put back from.
    removeFile(backup);
    if (!steps.replace(installed, ready, backup)) {
        if (!nameExists(installed) && nameExists(backup)) {
            ::MoveFileExW(backup.c_str(), installed.c_str(), MOVEFILE_WRITE_THROUGH);
        }
        fail("Nao foi possivel instalar a atualizacao. Feche os outros launchers e tente novamente.");
    }
    reached("after-replace");

    // The file that is started is the file that was checked: neither written nor renamed meanwhile.
    win::UniqueHandle checkedLauncher = openHeld(installed, FILE_SHARE_READ);
    const bool genuine = [&] {
        try {
            return checkedLauncher && holdsDescribedBuild(checkedLauncher.get(), description);
        } catch (const std::exception&) {
            return false;
        }
    }();
    if (!genuine) {
        // Not what was checked: the old launcher goes back rather than leave this in its place.
        checkedLauncher.reset();
        if (nameExists(backup)) {
            ::MoveFileExW(backup.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        }
        fail("O launcher foi alterado apos a instalacao.");
    }
    removeFile(backup);  // the old launcher has ended; what cannot go now goes at the next start
    reached("before-start");
    return checkedLauncher;
}

}  // namespace nyra::update
