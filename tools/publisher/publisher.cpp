#include "tools/publisher/publisher.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "tools/common/files.h"
#include "tools/publisher/formats.h"

namespace nyra::publisher {
namespace fs = std::filesystem;
using nlohmann::json;
using tools::Bytes;
using tools::ByteView;

namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// All "random" values of one publish. With a seed every value comes from its own deterministic
// stream (so adding a signature never shifts the nonces); without one, from the OS.
class Randomness {
public:
    explicit Randomness(const std::optional<std::string>& seed) {
        if (seed) {
            key_.emplace(*seed, "package-key");
            nonces_.emplace(*seed, "nonce");
            salts_.emplace(*seed, "pss-salt");
        }
    }
    Bytes packageKey() { return key_ ? key_->next(32) : tools::randomBytes(32); }
    Bytes nonce() { return nonces_ ? nonces_->next(12) : tools::randomBytes(12); }
    Bytes sign(const std::string& pem, ByteView message) {
        return salts_ ? tools::rsaPssSignWithSalt(pem, message, salts_->next(32)) : tools::rsaPssSign(pem, message);
    }

private:
    std::optional<tools::DeterministicRandom> key_, nonces_, salts_;
};

std::vector<std::string> stringList(const json& document, const char* member, std::vector<std::string> fallback) {
    if (!document.contains(member)) {
        return fallback;
    }
    return document.at(member).get<std::vector<std::string>>();
}

std::string catalogPathOf(const fs::path& relative) {
    const std::u8string text = relative.generic_u8string();
    return {text.begin(), text.end()};
}

struct SourceEntry {
    std::string path;
    fs::path file;         // empty for generated entries
    Bytes generated;       // nyra.guard
    std::uint64_t size = 0;
    std::size_t group = 0;
};

std::vector<SourceEntry> scanGameFolder(const fs::path& folder) {
    if (!fs::is_directory(folder)) {
        fail("game folder not found: " + folder.string());
    }
    std::vector<SourceEntry> entries;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const auto& item = *it;
        if (item.is_symlink()) {
            fail("links are not published, copy the file instead: " + item.path().string());
        }
        if (item.is_directory()) {
            continue;
        }
        if (!item.is_regular_file()) {
            fail("not a regular file: " + item.path().string());
        }
        SourceEntry entry;
        entry.path = catalogPathOf(fs::relative(item.path(), folder));
        if (const auto problem = pathProblem(entry.path)) {
            fail("catalog path \"" + entry.path + "\" " + *problem);
        }
        if (entry.path == "Launcher.exe" || entry.path == "nyra.guard") {
            fail(entry.path + " is produced by the publisher (pass the launcher with --launcher), "
                 "remove it from the game folder");
        }
        entry.file = item.path();
        entry.size = item.file_size();
        if (entry.size > kMaxEntryBytes) {
            fail("file larger than 128 MiB: " + entry.path);
        }
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return entries;
}

// One pack file being filled: written in order, hashed as it is written.
class PackWriter {
public:
    PackWriter(const fs::path& file, std::size_t index) : index_(index), path_(file), stream_(file, std::ios::binary) {
        if (!stream_) {
            fail("cannot create " + file.string());
        }
    }
    std::uint64_t append(ByteView blob) {
        const std::uint64_t offset = size_;
        stream_.write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
        if (!stream_) {
            fail("cannot write " + path_.string());
        }
        hash_.update(blob);
        size_ += blob.size();
        return offset;
    }
    std::size_t index() const { return index_; }
    std::uint64_t size() const { return size_; }
    std::string finish() {
        stream_.close();
        if (!stream_) {
            fail("cannot write " + path_.string());
        }
        return tools::hexEncode(hash_.finish());
    }

private:
    std::size_t index_;
    fs::path path_;
    std::ofstream stream_;
    tools::Sha256 hash_;
    std::uint64_t size_ = 0;
};

struct PackRecord {
    std::string name;
    std::uint64_t size = 0;
    std::string sha256;
    bool cdn = false;
};

// The payload stored for one entry before encryption: the plain bytes, or the XPRESS container
// when the rule allows compression and it makes the entry smaller.
struct Payload {
    Bytes plain;
    Bytes stored;  // empty when the plain bytes are stored
    bool compressed = false;
};

Payload preparePayload(const SourceEntry& entry, const Settings& settings, const Compressor& compress) {
    Payload payload;
    payload.plain = entry.file.empty() ? entry.generated : tools::readFile(entry.file, kMaxEntryBytes);
    if (payload.plain.size() != entry.size) {
        fail("file changed while publishing: " + entry.path);
    }
    if (payload.plain.size() >= settings.compressMinBytes && matchesAny(settings.compressTry, entry.path) &&
        !matchesAny(settings.compressStore, entry.path)) {
        Bytes packed = compress(payload.plain);
        if (packed.size() < payload.plain.size()) {
            payload.stored = std::move(packed);
            payload.compressed = true;
        }
    }
    return payload;
}

std::string readLanguageBundle(const fs::path& folder, Bytes& bundle) {
    std::vector<BundleEntry> tables;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_symlink() || (!it->is_regular_file() && !it->is_directory())) {
            fail("translation tables must be regular files: " + it->path().string());
        }
        if (it->is_regular_file()) {
            tables.push_back({catalogPathOf(fs::relative(it->path(), folder)), tools::readFile(it->path(), 16777216)});
        }
    }
    std::sort(tables.begin(), tables.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    bundle = translationBundle(tables);
    return tools::sha256Hex(bundle);
}

void writeBytes(const fs::path& file, ByteView bytes) { tools::writeFileAtomic(file, bytes); }

void writeJson(const fs::path& file, const json& document) { tools::writeFileAtomic(file, document.dump(2) + "\n"); }

// Builds the set in a sibling folder, then moves it into place (replacing an older set only when
// asked and only when that folder really is a set).
class Staging {
public:
    Staging(const fs::path& out, bool replace) : out_(fs::absolute(out)) {
        if (fs::exists(out_)) {
            const bool empty = fs::is_directory(out_) && fs::is_empty(out_);
            if (!empty && !(replace && fs::exists(out_ / "set.json"))) {
                fail("output folder exists and is not an empty folder" +
                     std::string(replace ? " or a package set: " : " (use --replace): ") + out_.string());
            }
        }
        staging_ = out_;
        staging_ += ".staging-" + std::to_string(::getpid());
        fs::remove_all(staging_);
        fs::create_directories(staging_);
    }
    ~Staging() {
        std::error_code ignored;
        if (!committed_) {
            fs::remove_all(staging_, ignored);
        }
    }
    const fs::path& folder() const { return staging_; }
    void commit() {
        fs::path old = out_;
        old += ".old-" + std::to_string(::getpid());
        const bool hadOld = fs::exists(out_);
        if (hadOld) {
            fs::rename(out_, old);
        }
        fs::rename(staging_, out_);
        committed_ = true;
        if (hadOld) {
            fs::remove_all(old);
        }
    }

private:
    fs::path out_, staging_;
    bool committed_ = false;
};

}  // namespace

Settings settingsFromJson(const json& document, const fs::path& baseFolder) {
    if (!document.is_object() || document.value("format", 0) != 1) {
        fail("settings: expected a JSON object with \"format\": 1");
    }
    Settings settings;
    settings.packageId = document.at("package_id").get<std::string>();
    if (settings.packageId.empty() || settings.packageId.size() > 128 ||
        settings.packageId.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") !=
            std::string::npos) {
        fail("settings: package_id must be 1 to 128 characters of A-Z a-z 0-9 . _ -");
    }
    if (document.contains("seed")) {
        settings.seed = document.at("seed").get<std::string>();
    }
    settings.signingKey = baseFolder / document.at("signing_key").get<std::string>();
    if (document.contains("launcher_version")) {
        settings.launcherVersion = document.at("launcher_version").get<std::string>();
    }
    if (document.contains("cdn")) {
        const json& cdn = document.at("cdn");
        settings.cdnOrigin = cdn.value("origin", settings.cdnOrigin);
        settings.chunkBytes = cdn.value("chunk_bytes", settings.chunkBytes);
    }
    settings.maxPackBytes = document.value("max_pack_bytes", settings.maxPackBytes);
    for (const json& group : document.at("packs")) {
        settings.packs.push_back({group.at("include").get<std::vector<std::string>>(), group.value("cdn", true)});
    }
    if (document.contains("compression")) {
        const json& compression = document.at("compression");
        settings.compressTry = stringList(compression, "try", settings.compressTry);
        settings.compressStore = stringList(compression, "store", {});
        settings.compressMinBytes = compression.value("min_bytes", settings.compressMinBytes);
    }
    settings.protectedFiles = stringList(document, "protected", {});
    return settings;
}

Settings loadSettings(const fs::path& file) {
    json document;
    try {
        document = json::parse(tools::readTextFile(file, 1 << 20));
        return settingsFromJson(document, file.parent_path());
    } catch (const json::exception& e) {
        fail("settings " + file.string() + ": " + e.what());
    }
}

json publish(const Settings& settings, const Inputs& inputs, const fs::path& out, const PublishOptions& options) {
    const auto log = [&](const std::string& line) {
        if (options.log) {
            options.log(line);
        }
    };
    if (settings.packs.empty()) {
        fail("settings: at least one pack group is required");
    }
    if (settings.maxPackBytes == 0 || settings.maxPackBytes > kMaxPackBytes) {
        fail("settings: max_pack_bytes must be 1 to 1073741824");
    }
    if (settings.chunkBytes == 0) {
        fail("settings: cdn.chunk_bytes must not be 0");
    }
    if (settings.cdnOrigin.rfind("https://", 0) != 0 || settings.cdnOrigin.size() <= 8) {
        fail("settings: cdn.origin must be https:// followed by the CDN host");
    }
    Randomness random(settings.seed);
    const std::string signingKey = tools::readTextFile(settings.signingKey, 1 << 20);

    // The launcher build and its signed description.
    const Bytes launcher = tools::readFile(inputs.launcher, kMaxEntryBytes);
    if (launcher.size() < kMinLauncherBytes) {
        fail("the launcher must be 65536 to 134217728 bytes: " + inputs.launcher.string());
    }
    const tools::Sha256Digest launcherDigest = tools::sha256(launcher);
    std::string launcherVersion;
    if (const auto fromFile = peFileVersion(launcher)) {
        if (settings.launcherVersion && *settings.launcherVersion != *fromFile) {
            fail("settings launcher_version " + *settings.launcherVersion + " differs from the launcher's version resource " +
                 *fromFile);
        }
        launcherVersion = *fromFile;
    } else if (settings.launcherVersion) {
        launcherVersion = *settings.launcherVersion;
    } else {
        fail("the launcher has no version resource; set launcher_version in the settings");
    }
    if (!validLauncherVersion(launcherVersion)) {
        fail("launcher version must be 1 to 31 digits and dots: " + launcherVersion);
    }

    // The game files, plus the guard authorisation generated from the three native digests.
    std::vector<SourceEntry> entries = scanGameFolder(inputs.gameFolder);
    const auto find = [&](std::string_view path) -> const SourceEntry* {
        for (const auto& entry : entries) {
            if (entry.path == path) {
                return &entry;
            }
        }
        return nullptr;
    };
    const SourceEntry* gameBin = find("game.bin");
    const SourceEntry* guardDll = find("NyraGuard.dll");
    if (gameBin == nullptr || guardDll == nullptr) {
        fail("the game folder must hold game.bin and NyraGuard.dll at its top");
    }
    Bytes guard = guardSignedPart(launcherDigest, tools::sha256(tools::readFile(gameBin->file, kMaxEntryBytes)),
                                  tools::sha256(tools::readFile(guardDll->file, kMaxEntryBytes)));
    const Bytes guardSignature = random.sign(signingKey, guard);
    guard.insert(guard.end(), guardSignature.begin(), guardSignature.end());
    if (guard.size() != kGuardFileBytes) {
        fail("the signing key must be RSA-3072 (the guard file is 488 bytes)");
    }
    SourceEntry guardEntry;
    guardEntry.path = "nyra.guard";
    guardEntry.size = guard.size();
    guardEntry.generated = std::move(guard);
    entries.insert(std::upper_bound(entries.begin(), entries.end(), guardEntry,
                                    [](const auto& a, const auto& b) { return a.path < b.path; }),
                   std::move(guardEntry));
    if (entries.size() > kMaxEntries) {
        fail("more than 99999 catalog entries");
    }

    // The files the launcher must find unpacked and unchanged at every start.
    std::vector<std::string> protectedPaths;
    for (const auto& entry : entries) {
        const bool required = entry.path == "game.bin" || entry.path == "NyraGuard.dll" || entry.path == "nyra.guard";
        if (required || matchesAny(settings.protectedFiles, entry.path)) {
            if (entry.path == "client.ini") {
                fail("client.ini belongs to the player once written and cannot be protected");
            }
            protectedPaths.push_back(entry.path);
        }
    }
    for (const auto& pattern : settings.protectedFiles) {
        const bool used = std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return matchesPattern(pattern, e.path); });
        if (!used) {
            log("warning: protected pattern \"" + pattern + "\" matches no file");
        }
    }

    for (auto& entry : entries) {
        const auto group = std::find_if(settings.packs.begin(), settings.packs.end(),
                                        [&](const PackGroup& g) { return matchesAny(g.include, entry.path); });
        if (group == settings.packs.end()) {
            fail("no pack group includes " + entry.path);
        }
        entry.group = static_cast<std::size_t>(group - settings.packs.begin());
    }

    Staging staging(out, options.replace);
    const fs::path set = staging.folder();
    fs::create_directories(set / "packs");

    // Packs: group by group, entries in path order, blobs appended as they are sealed.
    // Compression runs on a few threads, one window of entries at a time.
    const Bytes packageKey = random.packageKey();
    json catalogEntries = json::array();
    std::vector<PackRecord> packs;
    std::map<std::string, json> entryByPath;
    std::map<std::string, std::string> digestByPath;
    std::size_t compressedCount = 0;
    const std::size_t workers = std::max(1u, std::thread::hardware_concurrency());
    for (std::size_t group = 0; group < settings.packs.size(); ++group) {
        std::vector<const SourceEntry*> members;
        for (const auto& entry : entries) {
            if (entry.group == group) {
                members.push_back(&entry);
            }
        }
        if (members.empty()) {
            log("warning: pack group " + std::to_string(group) + " matches no file");
            continue;
        }
        std::unique_ptr<PackWriter> writer;
        const auto closePack = [&] {
            if (writer) {
                PackRecord record{packFileName(writer->index()), writer->size(), writer->finish(), settings.packs[group].cdn};
                log("pack " + record.name + ": " + std::to_string(record.size) + " bytes");
                packs.push_back(record);
                writer.reset();
            }
        };
        for (std::size_t start = 0; start < members.size(); start += workers * 4) {
            const std::size_t end = std::min(members.size(), start + workers * 4);
            std::vector<std::future<Payload>> pending;
            for (std::size_t i = start; i < end; ++i) {
                pending.push_back(std::async(std::launch::async, [&, i] {
                    return preparePayload(*members[i], settings, options.compress);
                }));
            }
            for (std::size_t i = start; i < end; ++i) {
                Payload payload = pending[i - start].get();
                const SourceEntry& entry = *members[i];
                const ByteView stored = payload.compressed ? ByteView(payload.stored) : ByteView(payload.plain);
                if (stored.size() > settings.maxPackBytes) {
                    fail(entry.path + " alone is larger than max_pack_bytes");
                }
                if (writer && writer->size() + stored.size() > settings.maxPackBytes) {
                    closePack();
                }
                if (!writer) {
                    const std::size_t index = packs.size();
                    if (index >= kMaxPacks) {
                        fail("more than 99 packs; raise max_pack_bytes");
                    }
                    writer = std::make_unique<PackWriter>(set / "packs" / packFileName(index), index);
                }
                const Bytes nonce = random.nonce();
                tools::GcmSealed sealed = tools::aes256GcmEncrypt(packageKey, nonce, stored);
                const std::uint64_t offset = writer->append(sealed.ciphertext);
                digestByPath[entry.path] = tools::sha256Hex(payload.plain);
                entryByPath[entry.path] = {
                    {"path", entry.path},
                    {"plain_size", entry.size},
                    {"sha256", digestByPath[entry.path]},
                    {"pack", writer->index()},
                    {"offset", offset},
                    {"size", static_cast<std::uint64_t>(sealed.ciphertext.size())},
                    {"iv", tools::hexEncode(nonce)},
                    {"tag", tools::hexEncode(sealed.tag)},
                    {"compressed", payload.compressed},
                };
                compressedCount += payload.compressed ? 1 : 0;
            }
        }
        closePack();
    }
    for (auto& [path, entry] : entryByPath) {
        catalogEntries.push_back(std::move(entry));
    }

    // The CDN identity: every listed pack cut into chunk objects, each a slice of the pack itself.
    json cdnPacks = json::array();
    json cdnObjects = json::array();
    for (const auto& pack : packs) {
        if (!pack.cdn) {
            continue;
        }
        if (pack.name.compare(0, 7, "nyra-00") != 0) {
            fail(pack.name + " cannot be listed in the CDN identity (only nyra-000..nyra-009 can); "
                 "put CDN pack groups first or mark the group \"cdn\": false");
        }
        const auto chunks = cdnChunks(pack.sha256, pack.size, settings.chunkBytes);
        if (chunks.size() > kMaxChunksPerPack) {
            fail(pack.name + " needs more than 16 CDN objects");
        }
        std::ifstream source(set / "packs" / pack.name, std::ios::binary);
        json chunkList = json::array();
        for (const auto& chunk : chunks) {
            Bytes bytes(static_cast<std::size_t>(chunk.size));
            if (!source.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
                fail("cannot read back " + pack.name);
            }
            writeBytes(set / "cdn" / chunk.object, bytes);
            chunkList.push_back({{"offset", chunk.offset}, {"size", chunk.size}, {"sha256", tools::sha256Hex(bytes)},
                                 {"object", chunk.object}});
            cdnObjects.push_back(chunk.object);
        }
        cdnPacks.push_back({{"path", pack.name}, {"sha256", pack.sha256}, {"size", pack.size}, {"chunks", chunkList}});
    }
    if (cdnPacks.empty() || cdnPacks.size() > kMaxCdnPacks) {
        fail("the CDN identity must list 1 to 10 packs, not " + std::to_string(cdnPacks.size()));
    }

    // The catalog, sealed with the package key and signed as a whole.
    json catalogPacks = json::array();
    for (const auto& pack : packs) {
        catalogPacks.push_back({{"path", pack.name}, {"size", pack.size}, {"sha256", pack.sha256}});
    }
    const json catalog = {{"format", 1}, {"entries", catalogEntries}, {"packs", catalogPacks}};
    std::string catalogText = catalog.dump();
    const Bytes container = catalogContainer(packageKey, random.nonce(), catalogText);
    tools::wipe(catalogText);
    if (container.size() > kMaxContainerBytes) {
        fail("the catalog container is larger than 40 MiB");
    }
    const Bytes containerSignature = random.sign(signingKey, container);
    const std::string indexSha256 = tools::sha256Hex(container);
    writeBytes(set / "nyra.nidx", container);
    writeBytes(set / "nyra.nidx.sig", containerSignature);

    // The launcher and its signed description.
    const std::string launcherSha256 = tools::hexEncode(launcherDigest);
    const Bytes launcherSignature = random.sign(signingKey, launcherUpdateMessage(launcherDigest, launcher.size()));
    writeBytes(set / "launcher" / "Launcher.exe", launcher);

    json files = {{"Launcher.exe", launcherSha256}};
    for (const auto& path : protectedPaths) {
        files[path] = digestByPath.at(path);
    }

    const json policy = {
        {"package_id", settings.packageId},
        {"index_sha256", indexSha256},
        {"signature", tools::base64Encode(containerSignature)},
        {"policy", {{"files", files}}},
        {"base_cdn",
         {{"format", 1}, {"origin", settings.cdnOrigin}, {"chunk_bytes", settings.chunkBytes}, {"packs", cdnPacks}}},
        {"launcher_update",
         {{"sha256", launcherSha256},
          {"version", launcherVersion},
          {"size", static_cast<std::uint64_t>(launcher.size())},
          {"signature", tools::base64Encode(launcherSignature)}}},
        {"launcher_version", launcherVersion},
    };

    // Translation bundles, one per language folder.
    json translations = json::object();
    if (!inputs.translations.empty()) {
        if (!fs::is_directory(inputs.translations)) {
            fail("translations folder not found: " + inputs.translations.string());
        }
        std::vector<fs::path> languages;
        for (const auto& item : fs::directory_iterator(inputs.translations)) {
            if (item.is_directory()) {
                languages.push_back(item.path());
            }
        }
        std::sort(languages.begin(), languages.end());
        for (const auto& folder : languages) {
            const std::string code = folder.filename().string();
            if (code != "en" && code != "pt-BR") {
                fail("translation languages are \"en\" and \"pt-BR\", not \"" + code + "\"");
            }
            Bytes bundle;
            const std::string tag = readLanguageBundle(folder, bundle);
            writeBytes(set / "translations" / (code + ".bin"), bundle);
            translations[code] = {{"file", "translations/" + code + ".bin"}, {"tag", tag}};
        }
    }

    json packMap = json::object();
    for (const auto& pack : packs) {
        packMap[pack.name] = "packs/" + pack.name;
    }
    std::string keyText = tools::base64Encode(packageKey);
    json manifest = {
        {"format", 1},
        {"package_id", settings.packageId},
        {"policy", policy},
        {"package_key", keyText},
        {"index", "nyra.nidx"},
        {"index_sha256", indexSha256},
        {"packs", packMap},
        {"cdn_root", "cdn"},
        {"cdn_objects", cdnObjects},
        {"translations", translations},
        {"launcher",
         {{"file", "launcher/Launcher.exe"},
          {"version", launcherVersion},
          {"sha256", launcherSha256},
          {"size", static_cast<std::uint64_t>(launcher.size())}}},
        {"seeded", settings.seed.has_value()},
    };
    tools::wipe(keyText);
    writeJson(set / "policy.json", policy);
    writeJson(set / "set.json", manifest);
    staging.commit();
    log("published " + std::to_string(catalogEntries.size()) + " entries (" + std::to_string(compressedCount) +
        " compressed) in " + std::to_string(packs.size()) + " packs, " + std::to_string(cdnObjects.size()) +
        " CDN objects");
    return manifest;
}

}  // namespace nyra::publisher
