#pragma once
// The updater's own steps that touch what the old launcher handed over or what the player starts
// next: taking the inherited handles, and putting the new build in place as Launcher.exe.
#include <filesystem>
#include <functional>
#include <span>

#include "platform/win/handles.h"
#include "update/launcher_description.h"
#include "update/updater_arguments.h"

namespace nyra::update {

inline constexpr const wchar_t* kLauncherBackupName = L"Launcher.exe.nyra-old";

// The handles the old launcher passed by number. A number is only taken into an owner once it
// names an inheritable handle of the right kind, so that a forged start never closes a handle of
// this process that nobody handed over.
struct UpdaterHandles {
    win::UniqueHandle oldLauncher;   // the old launcher's process
    win::UniqueHandle confirmation;  // the event the updater signals
};

// "Sessao do atualizador invalida." unless the process handle is an inheritable handle on the
// process with the given id (not this one); "Sincronizacao do atualizador invalida." unless the
// event handle is another inheritable handle, on an event.
UpdaterHandles adoptUpdaterHandles(const UpdaterArguments& arguments);

// The description the old launcher wrote to Launcher.exe.update.json, read through the updater's
// handle (at most 16384 bytes) and proven as the update check proved it (its messages).
LauncherDescription handedOverDescription(HANDLE descriptionFile, const SignatureCheck& verify);

// The platform's replace-file step with a backup name; false with the system's error code set.
using ReplaceStep = std::function<bool(const std::filesystem::path& replaced, const std::filesystem::path& replacement,
                                       const std::filesystem::path& backup)>;
bool replaceFileWithBackup(const std::filesystem::path& replaced, const std::filesystem::path& replacement,
                           const std::filesystem::path& backup);

struct SwapSteps {
    ReplaceStep replace = replaceFileWithBackup;
    // Called after each step ("after-ready", "after-replace", "before-start"); tests act there.
    std::function<void(const char* step)> reached;
};

// Writes `bytes` to Launcher.exe.ready, checks it through a handle that lets nobody write to it
// (held until the replace, which must open the file itself) and replaces Launcher.exe with it,
// keeping the old file under kLauncherBackupName until the swap is done. The installed file is
// then checked again through the handle returned, which lets nobody write to it, delete or rename
// it: hold it until the new launcher has started. A replace that fails leaves the old Launcher.exe
// in place (put back from the backup when the system had already moved it away) and
// Launcher.exe.ready for the next start; an installed file that is not the checked build is
// replaced by the old launcher again.
win::UniqueHandle swapInLauncher(const std::filesystem::path& folder, std::span<const std::uint8_t> bytes,
                                 const LauncherDescription& description, const SwapSteps& steps = {});

}  // namespace nyra::update
