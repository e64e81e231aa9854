#pragma once
#include <filesystem>

namespace nyra::home {

// True when the folder already holds the game: the catalog "nyra.nidx", the home marker
// ".nyra-home", or a pack file ("nyra-*.pck", at least 9 characters, case-insensitive).
// Entries that cannot be read while listing are skipped.
bool holdsInstalledGame(const std::filesystem::path& folder);

}  // namespace nyra::home
