#include "home/relocation_plan.h"

#include "home/temporary_names.h"

namespace nyra::home {
namespace {

bool isPackFile(std::u16string_view name) { return foldCase(name).ends_with(u".pck"); }

}  // namespace

RelocationPlan planRelocation(const FolderFile& runningLauncher, const std::vector<FolderFile>& files,
                              const std::function<bool(std::u16string_view name)>& presentInTarget,
                              std::optional<std::uint64_t> targetFreeBytes) {
    RelocationPlan plan;
    if (!presentInTarget(kLauncherFileName)) {
        plan.copies.push_back({runningLauncher.name, kLauncherFileName, runningLauncher.size, true});
    }
    for (const FolderFile& file : files) {
        if (samePath(file.name, runningLauncher.name) || samePath(file.name, kLauncherFileName)) continue;
        if (isTemporaryFileName(std::filesystem::path(file.name))) continue;
        if (presentInTarget(file.name)) continue;
        plan.copies.push_back({file.name, file.name, file.size, false});
    }
    std::uint64_t total = 0;
    for (const PlannedCopy& copy : plan.copies) total += copy.size;
    if (!targetFreeBytes || *targetFreeBytes < total || *targetFreeBytes - total < kPackSpaceMargin) {
        const auto before = plan.copies.size();
        std::erase_if(plan.copies, [](const PlannedCopy& c) { return !c.launcher && isPackFile(c.targetName); });
        plan.packsLeftBehind = plan.copies.size() != before;
    }
    for (const PlannedCopy& copy : plan.copies) plan.totalBytes += copy.size;
    return plan;
}

std::vector<std::u16string> safeFolderCandidates(FolderFacts& facts, std::u16string_view currentFolder) {
    std::vector<std::u16string> places;
    const std::u16string current = normalPath(facts.absolutePath(currentFolder));
    if (current.size() >= 3 && current[1] == u':') {
        const std::u16string root = current.substr(0, 3);
        const DriveType type = facts.driveType(root);
        if (type == DriveType::Fixed || type == DriveType::Removable) places.push_back(joinPath(root, kDefaultGameFolderBelowRoot));
    }
    if (const auto systemDrive = facts.environment(u"SystemDrive"); systemDrive && !systemDrive->empty()) {
        places.push_back(normalPath(*systemDrive + u"\\" + kDefaultGameFolderBelowRoot));
    }
    if (const auto local = facts.knownFolder(KnownFolder::LocalAppData); local && !local->empty()) {
        places.push_back(joinPath(*local, kGameFolderName));
    }
    std::vector<std::u16string> unique;
    for (auto& place : places) {
        bool seen = false;
        for (const auto& u : unique) seen = seen || samePath(u, place);
        if (!seen) unique.push_back(std::move(place));
    }
    return unique;
}

StartRelocation startRelocation(bool homeSettled, bool folderRedirected, bool linkedFiles) {
    if (homeSettled) return StartRelocation::None;
    if (folderRedirected) return StartRelocation::MoveGame;
    if (linkedFiles) return StartRelocation::RepairInPlace;
    return StartRelocation::None;
}

}  // namespace nyra::home
