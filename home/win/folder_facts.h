#pragma once
// The folder rules' facts from the running system: volumes (GetVolumePathNameW, GetDriveTypeW,
// GetVolumeInformationW, GetDiskFreeSpaceExW), known folders (SHGetKnownFolderPath), the
// environment, the temporary folder and file attributes (GetFileAttributesW).
#include "home/folder_rules.h"

#include <filesystem>

namespace nyra::home {

class SystemFolderFacts : public FolderFacts {
public:
    std::u16string absolutePath(std::u16string_view path) override;
    std::optional<std::u16string> environment(std::u16string_view name) override;
    std::optional<std::u16string> knownFolder(KnownFolder folder) override;
    std::optional<std::u16string> temporaryFolder() override;
    std::optional<std::u16string> volumeRoot(std::u16string_view path) override;
    DriveType driveType(std::u16string_view root) override;
    std::optional<VolumeNames> volumeNames(std::u16string_view root) override;
    std::optional<PathAttributes> attributes(std::u16string_view path) override;
    std::optional<std::uint64_t> freeBytes(std::u16string_view folder) override;
    std::uint32_t logicalDrives() override;
    FolderContent folderContent(std::u16string_view folder) override;
};

// Windows paths and the rules' path texts.
inline std::u16string pathText(const std::filesystem::path& path) { return path.u16string(); }
inline std::filesystem::path toPath(std::u16string_view text) { return std::filesystem::path(std::u16string(text)); }

}  // namespace nyra::home
