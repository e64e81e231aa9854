#pragma once
// nyra-publish: turns a folder of game files, a launcher build and translation tables into a
// package set folder (packs, signed catalog container, package policy, CDN objects, translation
// bundles, launcher copy and the set.json manifest the stand-in service serves from).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/crypto.h"

namespace nyra::publisher {

// Which files go to which pack: the first group whose patterns match a catalog path takes the
// entry; a group fills packs of at most maxPackBytes each, numbered in group order.
struct PackGroup {
    std::vector<std::string> include;
    bool cdn = true;  // listed in the CDN identity (base_cdn) or served only by the backend
};

struct Settings {
    std::string packageId;
    std::optional<std::string> seed;                 // reproducible output when present
    std::filesystem::path signingKey;                // PEM private key
    std::optional<std::string> launcherVersion;      // required when Launcher.exe has no version resource
    std::string cdnOrigin = "https://localhost";
    std::uint64_t chunkBytes = 67108864;             // only tests change it
    std::uint64_t maxPackBytes = 1073741824;
    std::vector<PackGroup> packs;
    std::vector<std::string> compressTry{"**"};      // compression is tried for these...
    std::vector<std::string> compressStore;          // ...except these, which are always stored
    std::uint64_t compressMinBytes = 64;
    std::vector<std::string> protectedFiles;         // extra entries listed in policy.files
};

// Reads the settings file; relative paths in it are relative to the file's folder.
Settings loadSettings(const std::filesystem::path& file);
Settings settingsFromJson(const nlohmann::json& document, const std::filesystem::path& baseFolder);

struct Inputs {
    std::filesystem::path gameFolder;
    std::filesystem::path launcher;
    std::filesystem::path translations;  // one subfolder per language code; may be empty
};

// The XPRESS Huffman buffer-mode container of the input (content/xpress_huffman.h by default).
using Compressor = std::function<tools::Bytes(tools::ByteView)>;
Compressor defaultCompressor();

struct PublishOptions {
    bool replace = false;        // an existing set folder (one holding set.json) is replaced
    Compressor compress = defaultCompressor();
    std::function<void(const std::string&)> log;  // progress lines; may be empty
};

// Publishes into `out` (built beside it and renamed into place at the end) and returns set.json.
// Throws std::runtime_error with a message naming the offending input.
nlohmann::json publish(const Settings& settings, const Inputs& inputs, const std::filesystem::path& out,
                       const PublishOptions& options = {});

}  // namespace nyra::publisher
