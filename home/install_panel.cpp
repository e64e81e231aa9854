#include "home/install_panel.h"

#include "home/folder_rules.h"
#include "core/text.h"

namespace nyra::home {
namespace {

constexpr double kRowX = 468, kRowWidth = 344, kRowHeight = 46, kFirstRowY = 250, kRowStep = 54, kRowsEndY = 466;

int firstUsable(const UiState& state) {
    for (std::size_t i = 0; i < state.installEntries.size(); ++i) {
        if (state.installEntries[i].usable) return static_cast<int>(i);
    }
    return -1;
}

const InstallEntry* selected(const UiState& state) {
    if (state.selectedEntry < 0 || static_cast<std::size_t>(state.selectedEntry) >= state.installEntries.size()) {
        return nullptr;
    }
    return &state.installEntries[static_cast<std::size_t>(state.selectedEntry)];
}

bool samePathText(const std::string& a, const std::string& b) {
    try {
        return samePath(utf8ToUtf16(a), utf8ToUtf16(b));
    } catch (const std::exception&) {
        return a == b;
    }
}

}  // namespace

void openInstallPanel(UiState& state, std::vector<InstallEntry> entries) {
    state.busy = true;
    state.installPanelOpen = true;
    state.installing = false;
    state.statusText = kChooseInstallStatus;
    state.installEntries = std::move(entries);
    if (state.installEntries.size() > kMaxInstallEntries) state.installEntries.resize(kMaxInstallEntries);
    state.selectedEntry = firstUsable(state);
    state.installMessage = state.selectedEntry < 0 ? kNoUsableDriveMessage : "";
}

PanelHit hitInstallPanel(const UiState& state, ui::Point p) {
    if (state.installing) return {};
    if (ui::layout::kInstallChooseFolder.contains(p.x, p.y)) return {PanelTarget::ChooseFolder, -1};
    if (ui::layout::kInstallButton.contains(p.x, p.y)) return {PanelTarget::Install, -1};
    for (std::size_t i = 0; i < state.installEntries.size() && i < kMaxInstallEntries; ++i) {
        const double y = kFirstRowY + kRowStep * static_cast<double>(i);
        if (y >= kRowsEndY) break;
        if (p.x >= kRowX && p.x <= kRowX + kRowWidth && p.y >= y && p.y <= y + kRowHeight) {
            return {PanelTarget::Row, static_cast<int>(i)};
        }
    }
    return {};
}

void clickRow(UiState& state, int row) {
    if (state.installing || row < 0 || static_cast<std::size_t>(row) >= state.installEntries.size()) return;
    const InstallEntry& entry = state.installEntries[static_cast<std::size_t>(row)];
    if (entry.usable) {
        state.selectedEntry = row;
        state.installMessage.clear();
    } else {
        state.installMessage = entry.reason;
    }
}

void addPickedEntry(UiState& state, InstallEntry entry) {
    if (state.installing) return;
    std::erase_if(state.installEntries, [&](const InstallEntry& e) { return samePathText(e.path, entry.path); });
    const bool usable = entry.usable;
    std::string reason = entry.reason;
    state.installEntries.insert(state.installEntries.begin(), std::move(entry));
    if (state.installEntries.size() > kMaxInstallEntries) state.installEntries.resize(kMaxInstallEntries);
    if (usable) {
        state.selectedEntry = 0;
        state.installMessage.clear();
    } else {
        state.selectedEntry = firstUsable(state);
        state.installMessage = std::move(reason);
    }
}

std::optional<std::string> beginInstall(UiState& state) {
    const InstallEntry* entry = selected(state);
    if (state.installing || entry == nullptr || !entry->usable) return std::nullopt;
    state.installing = true;
    state.installMessage = "Instalando em " + entry->path + "...";
    return entry->path;
}

void installFailed(UiState& state, std::string message) {
    state.installing = false;
    state.installMessage = std::move(message);
}

void installSettledInPlace(UiState& state) {
    state.installing = false;
    state.installPanelOpen = false;
    state.installMessage.clear();
}

}  // namespace nyra::home
