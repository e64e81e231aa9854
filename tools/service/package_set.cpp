#include "tools/service/package_set.h"

#include <stdexcept>

#include "tools/common/crypto.h"
#include "tools/common/files.h"
#include "tools/service/envelope.h"

namespace nyra::service {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

[[noreturn]] void fail(const fs::path& folder, const std::string& what) {
    throw std::runtime_error("package set " + folder.string() + ": " + what);
}

ServedFile servedFile(const fs::path& folder, const json& relative, const std::string& what) {
    if (!relative.is_string()) {
        fail(folder, what + " must be a relative path");
    }
    const fs::path path(relative.get<std::string>());
    if (path.empty() || path.is_absolute()) {
        fail(folder, what + " must be a relative path");
    }
    for (const auto& part : path) {
        if (part == "..") {
            fail(folder, what + " leaves the set folder");
        }
    }
    const fs::path full = folder / path;
    std::error_code error;
    if (!fs::is_regular_file(full, error)) {
        fail(folder, what + " is missing: " + full.string());
    }
    return ServedFile{full, fs::file_size(full)};
}

}  // namespace

std::shared_ptr<const PackageSet> loadPackageSet(const fs::path& folderArgument) {
    const fs::path folder = fs::absolute(folderArgument);
    json description;
    try {
        description = json::parse(tools::readTextFile(folder / "set.json", 64 * 1024 * 1024));
    } catch (const std::exception& error) {
        fail(folder, std::string("set.json unreadable: ") + error.what());
    }
    auto set = std::make_shared<PackageSet>();
    set->root = folder;
    try {
        if (description.at("format") != 1) {
            fail(folder, "unsupported format");
        }
        set->packageId = description.at("package_id").get<std::string>();
        set->policy = description.at("policy");
        if (!set->policy.is_object() || set->policy.value("package_id", std::string()) != set->packageId) {
            fail(folder, "the policy must be an object naming the same package_id");
        }
        set->packageKey = description.at("package_key").get<std::string>();
        if (tools::base64Decode(set->packageKey).size() != 32) {
            fail(folder, "package_key must be Base64 of 32 bytes");
        }
        set->index = servedFile(folder, description.at("index"), "index");
        set->indexSha256 = tools::sha256FileHex(set->index.path);
        if (set->policy.value("index_sha256", std::string()) != set->indexSha256) {
            fail(folder, "the policy's index_sha256 does not match the index file");
        }
        set->launcherSha256 = set->policy.at("policy").at("files").at("Launcher.exe").get<std::string>();
        for (const auto& [name, path] : description.at("packs").items()) {
            if (name.size() != 12 || name.rfind("nyra-", 0) != 0 || name.substr(8) != ".pck") {
                fail(folder, "bad pack name " + name);
            }
            set->packs.emplace(name, servedFile(folder, path, "pack " + name));
        }
        if (description.contains("cdn_root")) {
            const fs::path relative(description.at("cdn_root").get<std::string>());
            const fs::path cdn = folder / relative;
            bool escapes = relative.is_absolute();
            for (const auto& part : relative) {
                escapes = escapes || part == "..";
            }
            if (escapes || !fs::is_directory(cdn)) {
                fail(folder, "cdn_root is not a folder");
            }
            set->cdnRoot = cdn;
        }
        if (description.contains("translations")) {
            for (const auto& [language, entry] : description.at("translations").items()) {
                TranslationBundle bundle{servedFile(folder, entry.at("file"), "translation " + language),
                                         entry.at("tag").get<std::string>()};
                if (!isLowerHex(bundle.tag, 64)) {
                    fail(folder, "translation tag of " + language + " must be 64 lowercase hex digits");
                }
                set->translations.emplace(language, std::move(bundle));
            }
        }
        if (description.contains("launcher")) {
            const json& entry = description.at("launcher");
            LauncherBuild build{servedFile(folder, entry.at("file"), "launcher"),
                                entry.at("version").get<std::string>(), entry.at("sha256").get<std::string>()};
            if (build.file.size != entry.at("size").get<std::uint64_t>()) {
                fail(folder, "launcher size differs from the file");
            }
            if (tools::sha256FileHex(build.file.path) != build.sha256) {
                fail(folder, "launcher sha256 differs from the file");
            }
            set->launcher = std::move(build);
        }
    } catch (const json::exception& error) {
        fail(folder, std::string("set.json: ") + error.what());
    }
    return set;
}

}  // namespace nyra::service
