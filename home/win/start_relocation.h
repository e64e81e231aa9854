#pragma once
// Relocation at start (the flow's home check before anything is downloaded): a launcher folder
// that is redirected moves the game to a safe folder; launcher files that are links are repaired
// in place; either way the launcher restarts at its new path with "--home-settled". A launcher
// started with "--home-settled" never relocates again.
#include "core/services.h"
#include "home/folder_rules.h"
#include "home/win/healing.h"

#include <filesystem>
#include <functional>
#include <string>

namespace nyra::home {

inline constexpr char kRepairingStatus[] = "Reparando os arquivos do launcher nesta pasta (uma vez so)...";

// The relocation's message box text for the new launcher path (the shortcut sentence only when
// the shortcut was made).
std::string relocationMessage(const std::string& newLauncher, bool shortcutCreated);

struct RelocationHooks {
    // Heals linked launcher files in place; returns the launcher path (the self-update's healing).
    std::function<std::filesystem::path(const std::filesystem::path& folder, const std::filesystem::path& launcher,
                                        const ProgressFn& progress)>
        repairInPlace;
    // Closes this launcher's single-instance handle, so that the new one claims the slot; called
    // once the new launcher has started (a start that frees the slot itself makes it a no-op).
    std::function<void()> releaseInstanceSlot;
    // The information message box (topmost, foreground), shown before the new launcher starts.
    std::function<void(const std::string& text)> showMessage;
    // Starts the launcher with "--home-settled"; false when it did not start.
    std::function<bool(const std::filesystem::path& launcher)> startLauncher;
    // Where the desktop shortcut goes; empty: none.
    std::function<std::filesystem::path()> desktopFolder;
};

class RelocationAtStart final : public HomeService {
public:
    // `isLinked` tells which files are links (the platform's own test unless a test names them).
    RelocationAtStart(FolderFacts& facts, bool homeSettled, std::filesystem::path runningExecutable, RelocationHooks hooks,
                      LinkTest isLinked = isReparsePointFile)
        : facts_(facts),
          homeSettled_(homeSettled),
          executable_(std::move(runningExecutable)),
          hooks_(std::move(hooks)),
          isLinked_(std::move(isLinked)) {}

    bool relocateAtStart(const std::filesystem::path& launcherFolder, const ProgressFn& progress,
                         std::atomic<bool>& stop) override;

private:
    FolderFacts& facts_;
    bool homeSettled_;
    std::filesystem::path executable_;
    RelocationHooks hooks_;
    LinkTest isLinked_;
};

// The information message box of a relocation: no owner, topmost, brought to the foreground.
void showRelocationMessage(const std::string& text);

}  // namespace nyra::home
