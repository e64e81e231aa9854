#pragma once
// The system folder picker of the install panel.
#include <windows.h>

#include <filesystem>
#include <optional>

namespace nyra::home {

// IFileOpenDialog with pick folders, file-system only and path must exist added to its defaults,
// titled "Onde instalar o Nyra Saga Brasil?", modal over `owner`. nullopt when the player cancels
// or the dialog cannot be shown.
std::optional<std::filesystem::path> pickInstallFolder(HWND owner);

}  // namespace nyra::home
