#pragma once
// Names of the launcher's temporary files: self-update downloads and swaps, healing copies and
// pending writes. Folder listings of healing and relocation skip them.
#include <filesystem>

namespace nyra::home {

// True when the name ends, without regard to case, in ".nyra-heal", ".nyra-old", ".update",
// ".update.json", ".ready" or ".new".
bool isTemporaryFileName(const std::filesystem::path& name);

// True for the leftovers of healing: ".nyra-heal" and ".nyra-old" (case-insensitive).
bool isHealingLeftoverName(const std::filesystem::path& name);

}  // namespace nyra::home
