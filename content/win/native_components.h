#pragma once
// The per-instance engine folder and the clean-up of the native components written into it, which
// start-up runs before anything else touches that folder and each preparation's NativeSession runs
// when the game session that used them ends.
#include <filesystem>

namespace nyra {

// ".engine" (slot 0) or ".engine-<slot>" beside the running launcher executable; "Pasta do
// launcher indisponivel." when the executable's path cannot be read.
std::filesystem::path engineFolder(int instanceSlot);

// Deletes the native components of the engine folder (top level only: ".bin", ".exe", ".dll" and
// "nyra.guard", also with a ".nyra-new" suffix) and the two shader files below it. True when the
// folder is absent or every component went; false when one remains (still in use, or a folder or
// link carries the name), the folder is a reparse point, or it cannot be listed. Never creates the
// folder and never follows a link out of it.
bool cleanNativeComponents(const std::filesystem::path& engineFolder) noexcept;

}  // namespace nyra
