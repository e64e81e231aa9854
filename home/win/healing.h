#pragma once
// Healing of launcher files that are links or cloud placeholders: each is replaced, in place, by
// a real copy of its content, the running launcher included.
#include <filesystem>
#include <functional>

#include "core/services.h"

namespace nyra::home {

// Replaces every linked file directly in the launcher folder (and the running launcher, when it is
// one) by a real copy; returns the launcher path. Throws the player's message on failure.
std::filesystem::path repairInPlace(const std::filesystem::path& launcherFolder,
                                    const std::filesystem::path& launcherPath, const ProgressFn& progress);

// Tells whether a file is a link or placeholder (its handle, opened without following it,
// reports a reparse point).
using LinkTest = std::function<bool(const std::filesystem::path& file)>;
bool isReparsePointFile(const std::filesystem::path& file);

// repairInPlace with the link test given: the platform's own test, or, where the platform makes
// no links (Wine), a test that names which plain files stand for links.
std::filesystem::path repairInPlace(const std::filesystem::path& launcherFolder,
                                    const std::filesystem::path& launcherPath, const ProgressFn& progress,
                                    const LinkTest& isLinked);

// Deletes every file of the folder whose name ends in ".nyra-old" or ".nyra-heal" (attributes
// reset first; errors ignored).
void removeHealingLeftovers(const std::filesystem::path& folder);

}  // namespace nyra::home
