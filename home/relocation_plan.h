#pragma once
// What moving the game out of an unsafe folder copies, and where it may go. Portable: the shell
// lists the folder and asks the system, these rules decide.
#include "home/folder_rules.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nyra::home {

inline constexpr std::uint64_t kPackSpaceMargin = 512ull << 20;  // 512 MiB above the total
inline constexpr char16_t kLauncherFileName[] = u"Launcher.exe";

struct FolderFile {
    std::u16string name;  // a regular file directly in the folder
    std::uint64_t size = 0;
};

struct PlannedCopy {
    std::u16string sourceName;
    std::u16string targetName;
    std::uint64_t size = 0;
    bool launcher = false;  // the running executable, copied as "Launcher.exe"; its failure stops the move
};

struct RelocationPlan {
    std::vector<PlannedCopy> copies;  // the launcher first
    std::uint64_t totalBytes = 0;     // of the copies kept
    bool packsLeftBehind = false;     // not enough room for them: a later check downloads them
};

// The running executable goes first under "Launcher.exe"; every other file keeps its name.
// Temporary names are skipped, and so is anything the target already holds (left as it is) or
// another file that would land on "Launcher.exe". Package files (".pck") come along only when
// the target's free space (unknown: none) covers everything plus 512 MiB.
RelocationPlan planRelocation(const FolderFile& runningLauncher, const std::vector<FolderFile>& files,
                              const std::function<bool(std::u16string_view name)>& presentInTarget,
                              std::optional<std::uint64_t> targetFreeBytes);

// The places tried, in order, for a safe folder: "Jogos\NyraBrasil" at the root of the current
// folder's drive when it is fixed or removable, then on %SystemDrive%, then "NyraBrasil" in the
// Local AppData known folder. Places that cannot be named are left out.
std::vector<std::u16string> safeFolderCandidates(FolderFacts& facts, std::u16string_view currentFolder);

// Why relocation at start acts: the folder is redirected (the game moves), the launcher's files
// are links (they are repaired in place), or nothing. A launcher restarted with "--home-settled"
// never acts again.
enum class StartRelocation { None, MoveGame, RepairInPlace };
StartRelocation startRelocation(bool homeSettled, bool folderRedirected, bool linkedFiles);

}  // namespace nyra::home
