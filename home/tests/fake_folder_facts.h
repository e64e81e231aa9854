#pragma once
// A machine described in a few lines: its volumes, folders, known folders and environment.
#include "home/folder_rules.h"

#include <map>
#include <optional>
#include <set>
#include <string>

namespace nyra::home::test {

struct FakeVolume {
    FakeVolume() = default;
    FakeVolume(DriveType driveType, std::u16string volumeLabel = {}, std::u16string system = u"NTFS",
               std::uint64_t free = 100ull << 30, bool readable = true)
        : type(driveType), label(std::move(volumeLabel)), fileSystem(std::move(system)), freeBytes(free),
          namesReadable(readable) {}

    DriveType type = DriveType::Fixed;
    std::u16string label;
    std::u16string fileSystem = u"NTFS";
    std::uint64_t freeBytes = 100ull << 30;
    bool namesReadable = true;
};

class FakeFolderFacts final : public FolderFacts {
public:
    FakeFolderFacts() {
        volumes[u"C:\\"] = {};
        folders = {u"C:\\", u"C:\\Windows", u"C:\\Users", u"C:\\Users\\ana", u"C:\\Users\\ana\\Downloads",
                   u"C:\\Users\\ana\\Desktop", u"C:\\Users\\ana\\AppData\\Local\\Temp", u"C:\\Program Files"};
        known = {{KnownFolder::Downloads, u"C:\\Users\\ana\\Downloads"},
                 {KnownFolder::Desktop, u"C:\\Users\\ana\\Desktop"},
                 {KnownFolder::ProgramFiles, u"C:\\Program Files"},
                 {KnownFolder::ProgramFilesX86, u"C:\\Program Files (x86)"},
                 {KnownFolder::Windows, u"C:\\Windows"},
                 {KnownFolder::LocalAppData, u"C:\\Users\\ana\\AppData\\Local"}};
        variables[u"WINDIR"] = u"C:\\Windows";
        temporary = u"C:\\Users\\ana\\AppData\\Local\\Temp";
    }

    // Adds a folder and every parent of it.
    void addFolder(std::u16string path) {
        for (std::u16string p = normalPath(path); !p.empty(); p = parentPath(p)) folders.insert(p);
    }

    std::u16string absolutePath(std::u16string_view path) override { return std::u16string(path); }
    std::optional<std::u16string> environment(std::u16string_view name) override {
        const auto it = variables.find(std::u16string(name));
        return it == variables.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<std::u16string> knownFolder(KnownFolder folder) override {
        const auto it = known.find(folder);
        return it == known.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<std::u16string> temporaryFolder() override { return temporary; }
    std::optional<std::u16string> volumeRoot(std::u16string_view path) override {
        const FakeVolume* volume = nullptr;
        std::u16string best;
        for (const auto& [root, v] : volumes) {
            if (isInside(path, root) && root.size() > best.size()) {
                best = root;
                volume = &v;
            }
        }
        if (volume == nullptr) return std::nullopt;
        return best;
    }
    DriveType driveType(std::u16string_view root) override {
        const auto it = volumes.find(std::u16string(root));
        return it == volumes.end() ? DriveType::NoRootFolder : it->second.type;
    }
    std::optional<VolumeNames> volumeNames(std::u16string_view root) override {
        const auto it = volumes.find(std::u16string(root));
        if (it == volumes.end() || !it->second.namesReadable) return std::nullopt;
        return VolumeNames{it->second.label, it->second.fileSystem};
    }
    std::optional<PathAttributes> attributes(std::u16string_view path) override {
        const std::u16string key = foldCase(normalPath(path));
        for (const auto& [root, v] : volumes) {  // every volume's root exists
            if (foldCase(root) == key) return PathAttributes{true, reparse.contains(key)};
        }
        for (const auto& f : folders) {
            if (foldCase(f) == key) return PathAttributes{true, reparse.contains(key)};
        }
        for (const auto& f : files) {
            if (foldCase(f) == key) return PathAttributes{false, false};
        }
        return std::nullopt;
    }
    std::optional<std::uint64_t> freeBytes(std::u16string_view folder) override {
        const auto root = volumeRoot(folder);
        if (!root) return std::nullopt;
        return volumes[*root].freeBytes;
    }
    std::uint32_t logicalDrives() override {
        std::uint32_t mask = 0;
        for (const auto& [root, v] : volumes) {
            if (root.size() == 3 && root[0] >= u'A' && root[0] <= u'Z') mask |= 1u << (root[0] - u'A');
        }
        return mask;
    }
    FolderContent folderContent(std::u16string_view folder) override {
        if (!attributes(folder) || !attributes(folder)->directory) return FolderContent::Missing;
        const std::u16string key = foldCase(normalPath(folder));
        for (const auto& f : folders) {
            if (foldCase(parentPath(f)) == key) return FolderContent::NotEmpty;
        }
        for (const auto& f : files) {
            if (foldCase(parentPath(f)) == key) return FolderContent::NotEmpty;
        }
        return FolderContent::Empty;
    }

    std::map<std::u16string, FakeVolume> volumes;  // by root: "D:\", "\\nas\games"
    std::set<std::u16string> folders;
    std::set<std::u16string> files;
    std::set<std::u16string> reparse;  // folded, normal paths
    std::map<KnownFolder, std::u16string> known;
    std::map<std::u16string, std::u16string> variables;
    std::optional<std::u16string> temporary;
};

}  // namespace nyra::home::test
