#include "app/win/screen_actions.h"

#include "core/player_message.h"
#include "core/text.h"
#include "home/install_panel.h"
#include "home/win/install.h"
#include "state/win/language.h"
#include "ui/input.h"

namespace nyra {

void ProductScreenActions::applyLanguage(UiStore& store, bool english) {
    try {
        setLanguage(store, preferences_, environment_, english);
    } catch (const std::exception& error) {
        notify(store, playerMessage(error));
    }
}

void ProductScreenActions::saveSettings(UiStore& store) {
    try {
        settings_.saveSettings();
    } catch (const std::exception& error) {
        notify(store, playerMessage(error));
    }
}

void ProductScreenActions::reloadVideoSettings(UiStore&) {
    // The INI belongs to the game; a read that fails keeps the values held.
    try {
        settings_.reloadGameIni();
    } catch (const std::exception&) {
    }
}

void ProductScreenActions::joinInstallWorker() {
    if (installWorker_.joinable()) installWorker_.join();
}

void ProductScreenActions::refresh() {
    if (install_ && install_->poster != nullptr) install_->poster->post(kMsgRefresh, 0);
}

void ProductScreenActions::installPanelClick(UiStore& store, ui::Point logical) {
    if (!install_) {
        ScreenActions::installPanelClick(store, logical);
        return;
    }
    const home::PanelHit hit = store.withLock([&](UiState& s) { return home::hitInstallPanel(s, logical); });
    switch (hit.target) {
    case home::PanelTarget::Row:
        store.withLock([&](UiState& s) { home::clickRow(s, hit.row); });
        break;
    case home::PanelTarget::ChooseFolder:
        pickFolder(store);
        break;
    case home::PanelTarget::Install:
        confirmInstall(store);
        break;
    case home::PanelTarget::None:
        break;
    }
    refresh();
}

void ProductScreenActions::pickFolder(UiStore& store) {
    // Modal on the window's thread; the UI mutex is not held while the picker is open.
    const auto picked = install_->pickFolder(install_->window ? install_->window() : nullptr);
    if (!picked) return;  // cancelled: nothing changes
    try {
        const std::u16string folder = home::folderFromPick(*install_->facts, picked->u16string());
        InstallEntry entry = home::makeEntry(*install_->facts, folder);
        store.withLock([&](UiState& s) { home::addPickedEntry(s, std::move(entry)); });
    } catch (const std::exception& failure) {
        store.withLock([&](UiState& s) { s.installMessage = playerMessage(failure); });
    }
}

void ProductScreenActions::confirmInstall(UiStore& store) {
    if (!install_) {
        ScreenActions::confirmInstall(store);
        return;
    }
    const auto path = store.withLock([](UiState& s) { return home::beginInstall(s); });
    if (!path) return;
    refresh();
    std::filesystem::path folder;
    try {
        folder = std::filesystem::path(utf8ToUtf16(*path));
    } catch (const std::exception& failure) {
        store.withLock([&](UiState& s) { home::installFailed(s, playerMessage(failure)); });
        return;
    }
    joinInstallWorker();
    installWorker_ = std::thread([this, &store, folder] { runInstall(store, folder); });
}

void ProductScreenActions::runInstall(UiStore& store, std::filesystem::path folder) {
    const InstallHost& host = *install_;
    try {
        const std::filesystem::path launcher =
            home::installInto(*host.facts, folder, host.launcherFolder, host.runningExecutable,
                              host.desktopFolder ? host.desktopFolder() : std::filesystem::path());
        if (launcher.empty()) {
            store.withLock([](UiState& s) { home::installSettledInPlace(s); });
            refresh();
            host.continueHere();
            return;
        }
        // This launcher keeps its slot until the new one is known to run.
        if (!host.startLauncher(launcher)) throw std::runtime_error(home::kNewLauncherNotStarted);
        host.releaseInstanceSlot();
        host.endLauncher();
    } catch (const std::exception& failure) {
        const std::string message = playerMessage(failure);
        store.withLock([&](UiState& s) { home::installFailed(s, message); });
    }
    refresh();
}

void ProductScreenActions::notify(UiStore& store, std::string text) {
    const std::uint64_t now = clock_.tickMs();
    store.withLock([&](UiState& s) { ui::showNotice(s, std::move(text), now); });
}

}  // namespace nyra
