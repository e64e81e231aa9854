#pragma once
#include <filesystem>

namespace nyra::win {

// The folder of the running executable (path read with a 32768-character buffer).
// Throws std::runtime_error("Pasta do launcher indisponivel.") when it cannot be read.
std::filesystem::path launcherFolderOfProcess();

// True when the folder and every parent up to the root exist and are plain folders: a missing
// element, a non-directory or a reparse point (junction, symbolic link) makes the chain not plain.
bool isPlainFolderChain(const std::filesystem::path& folder);

}  // namespace nyra::win
