#pragma once
// A published package set: the folder that nyra-publish writes, described by its set.json. The
// service serves one set at a time and can switch to another at run time (a new publication).
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace nyra::service {

struct ServedFile {
    std::filesystem::path path;
    std::uint64_t size = 0;
};

struct TranslationBundle {
    ServedFile file;
    std::string tag;  // 64 lowercase hex digits
};

struct LauncherBuild {
    ServedFile file;
    std::string version;
    std::string sha256;
};

struct PackageSet {
    std::filesystem::path root;
    std::string packageId;
    nlohmann::json policy;        // answered as is by package-policy
    std::string packageKey;       // standard Base64 of 32 bytes
    std::string indexSha256;      // of the index file, equal to the policy's
    std::string launcherSha256;   // policy.files["Launcher.exe"]
    ServedFile index;
    std::map<std::string, ServedFile> packs;             // by pack name
    std::optional<std::filesystem::path> cdnRoot;        // objects at <cdnRoot>/base/<sha>/<nnnn>.bin
    std::map<std::string, TranslationBundle> translations;  // by language code
    std::optional<LauncherBuild> launcher;
};

// Reads and checks <folder>/set.json and the files it names (they must exist; the index digest
// must match the policy). Throws std::runtime_error naming what is wrong.
std::shared_ptr<const PackageSet> loadPackageSet(const std::filesystem::path& folder);

}  // namespace nyra::service
