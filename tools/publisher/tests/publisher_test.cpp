// nyra-publish: a small game folder is published and every output is read back with direct
// OpenSSL calls and the launcher's own XPRESS decoder.
#include "tools/publisher/publisher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "content/xpress_huffman.h"
#include "independent.h"
#include "tools/common/crypto.h"
#include "tools/publisher/formats.h"

namespace nyra::publisher {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::slurp;
using Bytes = std::vector<std::uint8_t>;

void put(const fs::path& file, const Bytes& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}
void put(const fs::path& file, const std::string& text) { put(file, Bytes(text.begin(), text.end())); }

Bytes noise(std::size_t size, std::string_view label) { return tools::DeterministicRandom("fixture", label).next(size); }

std::string repeatedText(std::size_t size) {
    std::string text;
    while (text.size() < size) {
        text += "ScreenWidth=1280 quest dragon potion " + std::to_string(text.size() % 97) + "\n";
    }
    text.resize(size);
    return text;
}

std::uint64_t le(const Bytes& b, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) {
        v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    }
    return v;
}

// A game folder with compressible, incompressible and empty files in three pack groups, a
// placeholder launcher and two languages; chunk size 1024 so that chunking shows on small packs.
class PublisherTest : public ::testing::Test {
public:
    fs::path root = fs::temp_directory_path() / ("nyra-publisher-" + tools::opaqueToken());
    fs::path game = root / "game";
    fs::path out = root / "set";
    Inputs inputs{game, root / "Launcher.exe", root / "translations"};
    Settings settings;
    PublishOptions options;

    void SetUp() override {
        put(game / "client.ini", "[Option]\r\nScreenWidth=1280\r\nScreenHeight=720\r\nFullScreenMode=0\r\n");
        put(game / "game.bin", noise(3000, "game"));
        put(game / "NyraGuard.dll", noise(1500, "dll"));
        put(game / "data/db/text.ini", repeatedText(6000));
        put(game / "data/db/tiny.ini", std::string("abc"));  // below the compression minimum
        put(game / "data/empty.flag", Bytes{});
        put(game / "data/world/a.pak", noise(2500, "a"));
        put(game / "data/world/b.bin", noise(900, "b"));  // compression tried, does not help
        put(game / "data/extra/notes/ç.txt", repeatedText(800));
        put(root / "Launcher.exe", noise(70000, "launcher"));
        put(root / "translations/en/data/db/T_String.ini", "[String]\n1=Welcome\n");
        put(root / "translations/en/data/db/T_Item.ini", "[Item]\n1=Sword\n");
        put(root / "translations/pt-BR/data/db/T_String.ini", "[String]\n1=Bem-vindo\n");

        settings = settingsFromJson(json::parse(R"({
            "format": 1, "package_id": "test-set-1", "seed": "fixture seed", "launcher_version": "5.5.27",
            "signing_key": "signing-test-key.pem",
            "cdn": {"origin": "https://localhost", "chunk_bytes": 1024},
            "packs": [{"include": ["*", "data/db/**", "data/*"], "cdn": true},
                      {"include": ["data/world/**"], "cdn": true},
                      {"include": ["**"], "cdn": false}],
            "compression": {"try": ["**"], "store": ["*.pak"], "min_bytes": 16},
            "protected": ["*.dll"]})"),
                                    NYRA_SOURCE_DIR "/tools/dev-keys");
    }
    void TearDown() override { fs::remove_all(root); }

    json publishFixture() { return publish(settings, inputs, out, options); }
};

struct Catalog {
    json document;
    Bytes key;
};

Catalog openCatalog(const fs::path& set) {
    const json manifest = json::parse(slurp((set / "set.json").string()));
    const Bytes container = slurp((set / manifest.at("index").get<std::string>()).string());
    Catalog catalog;
    catalog.key = tools::base64Decode(manifest.at("package_key").get<std::string>());
    Bytes plain;
    EXPECT_TRUE(testing::gcmDecrypt(catalog.key, container.data() + 8, container.data() + 20, container.data() + 36,
                                    container.size() - 36, plain));
    catalog.document = json::parse(plain);
    return catalog;
}

// The entry's plain bytes, taken from its pack exactly as the launcher materialises it.
Bytes extractEntry(const fs::path& set, const Catalog& catalog, const json& entry) {
    const json& pack = catalog.document.at("packs").at(entry.at("pack").get<std::size_t>());
    const Bytes packBytes = slurp((set / "packs" / pack.at("path").get<std::string>()).string());
    const auto offset = entry.at("offset").get<std::size_t>();
    const auto size = entry.at("size").get<std::size_t>();
    EXPECT_LE(offset + size, packBytes.size());
    const Bytes iv = tools::hexDecode(entry.at("iv").get<std::string>());
    const Bytes tag = tools::hexDecode(entry.at("tag").get<std::string>());
    EXPECT_EQ(iv.size(), 12u);
    EXPECT_EQ(tag.size(), 16u);
    Bytes plain;
    EXPECT_TRUE(testing::gcmDecrypt(catalog.key, iv.data(), tag.data(), packBytes.data() + offset, size, plain))
        << entry.at("path");
    if (entry.at("compressed").get<bool>()) {
        plain = nyra::decompressXpressHuffman(plain, entry.at("plain_size").get<std::uint64_t>());
    }
    return plain;
}

TEST_F(PublisherTest, CatalogContainerIsSignedSealedAndEveryEntryDecryptsToItsFile) {
    const json manifest = publishFixture();
    const json& policy = manifest.at("policy");

    const Bytes container = slurp((out / "nyra.nidx").string());
    ASSERT_GE(container.size(), 37u);
    EXPECT_EQ(std::string(container.begin(), container.begin() + 8), "NYRAIDX1");
    EXPECT_EQ(testing::sha256HexOf(container), policy.at("index_sha256"));
    EXPECT_EQ(manifest.at("index_sha256"), policy.at("index_sha256"));
    const Bytes signature = tools::base64Decode(policy.at("signature").get<std::string>());
    EXPECT_EQ(signature, slurp((out / "nyra.nidx.sig").string()));
    EXPECT_TRUE(testing::pssVerifiesLikeTheLauncher(container, signature.data(), signature.size()));
    Bytes altered = container;
    altered.back() ^= 1;
    EXPECT_FALSE(testing::pssVerifiesLikeTheLauncher(altered, signature.data(), signature.size()));

    const Catalog catalog = openCatalog(out);
    ASSERT_EQ(catalog.key.size(), 32u);
    EXPECT_EQ(catalog.document.at("format"), 1);
    const json& packs = catalog.document.at("packs");
    ASSERT_EQ(packs.size(), 3u);
    for (std::size_t i = 0; i < packs.size(); ++i) {
        const json& pack = packs[i];
        EXPECT_EQ(pack.size(), 3u);
        EXPECT_EQ(pack.at("path"), packFileName(i));
        const Bytes bytes = slurp((out / "packs" / pack.at("path").get<std::string>()).string());
        EXPECT_EQ(pack.at("size"), bytes.size());
        EXPECT_EQ(pack.at("sha256"), testing::sha256HexOf(bytes));
        EXPECT_EQ(manifest.at("packs").at(pack.at("path").get<std::string>()), "packs/" + pack.at("path").get<std::string>());
    }

    std::set<std::string> expected{"nyra.guard"};
    for (const auto& item : fs::recursive_directory_iterator(game)) {
        if (item.is_regular_file()) {
            expected.insert(fs::relative(item.path(), game).generic_string());
        }
    }
    std::set<std::string> seen;
    std::map<std::string, bool> compressed;
    std::map<std::string, std::size_t> packOf;
    for (const json& entry : catalog.document.at("entries")) {
        const std::string path = entry.at("path");
        EXPECT_EQ(entry.size(), 9u) << path;
        seen.insert(path);
        compressed[path] = entry.at("compressed");
        packOf[path] = entry.at("pack");
        const Bytes plain = extractEntry(out, catalog, entry);
        EXPECT_EQ(plain.size(), entry.at("plain_size").get<std::size_t>()) << path;
        EXPECT_EQ(testing::sha256HexOf(plain), entry.at("sha256")) << path;
        if (path != "nyra.guard") {
            EXPECT_EQ(plain, slurp((game / path).string())) << path;
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(compressed.at("data/db/text.ini"));
    EXPECT_TRUE(compressed.at("data/extra/notes/ç.txt"));
    EXPECT_FALSE(compressed.at("client.ini"));  // 70 bytes: the container and its table outweigh them
    EXPECT_FALSE(compressed.at("data/db/tiny.ini"));   // under min_bytes
    EXPECT_FALSE(compressed.at("data/world/a.pak"));   // store rule
    EXPECT_FALSE(compressed.at("data/world/b.bin"));   // tried, random data does not shrink
    EXPECT_FALSE(compressed.at("data/empty.flag"));
    EXPECT_EQ(packOf.at("game.bin"), 0u);
    EXPECT_EQ(packOf.at("nyra.guard"), 0u);
    EXPECT_EQ(packOf.at("data/empty.flag"), 0u);
    EXPECT_EQ(packOf.at("data/world/a.pak"), 1u);
    EXPECT_EQ(packOf.at("data/extra/notes/ç.txt"), 2u);
}

TEST_F(PublisherTest, PolicyCarriesProtectedFilesAndASignedLauncherDescription) {
    const json manifest = publishFixture();
    const json& policy = manifest.at("policy");
    EXPECT_EQ(json::parse(slurp((out / "policy.json").string())), policy);
    EXPECT_EQ(policy.at("package_id"), "test-set-1");
    EXPECT_TRUE(policy.at("index_sha256").is_string());
    EXPECT_TRUE(policy.at("signature").is_string());
    EXPECT_TRUE(policy.at("base_cdn").is_object());

    const Bytes launcher = slurp(inputs.launcher.string());
    const std::string launcherSha = testing::sha256HexOf(launcher);
    const json& files = policy.at("policy").at("files");
    std::set<std::string> keys;
    for (const auto& [key, value] : files.items()) {
        keys.insert(key);
    }
    EXPECT_EQ(keys, (std::set<std::string>{"Launcher.exe", "NyraGuard.dll", "game.bin", "nyra.guard"}));
    EXPECT_EQ(files.at("Launcher.exe"), launcherSha);
    EXPECT_EQ(files.at("game.bin"), testing::sha256HexOf(slurp((game / "game.bin").string())));
    const Catalog catalog = openCatalog(out);
    for (const json& entry : catalog.document.at("entries")) {
        if (files.contains(entry.at("path").get<std::string>())) {
            EXPECT_EQ(files.at(entry.at("path").get<std::string>()), entry.at("sha256"));
        }
    }

    const json& update = policy.at("launcher_update");
    EXPECT_EQ(update.at("sha256"), launcherSha);
    EXPECT_EQ(update.at("size"), launcher.size());
    EXPECT_EQ(update.at("version"), "5.5.27");
    EXPECT_EQ(policy.at("launcher_version"), "5.5.27");
    Bytes message{'N', 'Y', 'R', 'A', 'L', 'C', 'H', '1'};
    const auto digest = testing::sha256Raw(launcher.data(), launcher.size());
    message.insert(message.end(), digest.begin(), digest.end());
    for (int i = 0; i < 8; ++i) {
        message.push_back(static_cast<std::uint8_t>(launcher.size() >> (8 * i)));
    }
    ASSERT_EQ(message.size(), 48u);
    const Bytes signature = tools::base64Decode(update.at("signature").get<std::string>());
    EXPECT_TRUE(testing::pssVerifiesLikeTheLauncher(message, signature.data(), signature.size()));

    const json& described = manifest.at("launcher");
    EXPECT_EQ(slurp((out / described.at("file").get<std::string>()).string()), launcher);
    EXPECT_EQ(described.at("sha256"), launcherSha);
    EXPECT_EQ(described.at("size"), launcher.size());
    EXPECT_EQ(described.at("version"), "5.5.27");
}

TEST_F(PublisherTest, CdnIdentityListsChunkObjectsThatAreSlicesOfTheListedPacks) {
    const json manifest = publishFixture();
    const json& cdn = manifest.at("policy").at("base_cdn");
    EXPECT_EQ(cdn.at("format"), 1);
    EXPECT_EQ(cdn.at("origin"), "https://localhost");
    EXPECT_EQ(cdn.at("chunk_bytes"), 1024);
    const std::uint64_t chunk = 1024;
    const json& packs = cdn.at("packs");
    ASSERT_EQ(packs.size(), 2u);  // the third group is backend-only
    std::set<std::string> objects;
    for (const json& pack : packs) {
        const std::string path = pack.at("path");
        const Bytes bytes = slurp((out / "packs" / path).string());
        EXPECT_EQ(pack.at("size"), bytes.size());
        EXPECT_EQ(pack.at("sha256"), testing::sha256HexOf(bytes));
        const json& chunks = pack.at("chunks");
        EXPECT_EQ(chunks.size(), (bytes.size() + chunk - 1) / chunk) << path;
        std::uint64_t expectedOffset = 0;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const json& c = chunks[i];
            const auto offset = c.at("offset").get<std::uint64_t>();
            const auto size = c.at("size").get<std::uint64_t>();
            EXPECT_EQ(offset, expectedOffset);
            EXPECT_EQ(size, std::min<std::uint64_t>(bytes.size() - offset, chunk));
            char index[24];
            std::snprintf(index, sizeof index, "%04zu", i);
            const std::string name = "base/" + pack.at("sha256").get<std::string>() + "/" + index + ".bin";
            EXPECT_EQ(c.at("object"), name);
            const Bytes object = slurp((out / manifest.at("cdn_root").get<std::string>() / name).string());
            EXPECT_TRUE(std::equal(object.begin(), object.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset)));
            EXPECT_EQ(object.size(), size);
            EXPECT_EQ(c.at("sha256"), testing::sha256HexOf(object));
            objects.insert(name);
            expectedOffset += chunk;
        }
    }
    EXPECT_EQ(manifest.at("cdn_objects").get<std::set<std::string>>(), objects);
    std::size_t onDisk = 0;
    for (const auto& item : fs::recursive_directory_iterator(out / "cdn")) {
        onDisk += item.is_regular_file() ? 1u : 0u;
    }
    EXPECT_EQ(onDisk, objects.size());
}

TEST_F(PublisherTest, GuardFileBindsTheThreeNativeDigestsUnderTheProjectSignature) {
    publishFixture();
    const Catalog catalog = openCatalog(out);
    Bytes guard;
    for (const json& entry : catalog.document.at("entries")) {
        if (entry.at("path") == "nyra.guard") {
            guard = extractEntry(out, catalog, entry);
        }
    }
    ASSERT_EQ(guard.size(), 488u);
    EXPECT_EQ(std::string(guard.begin(), guard.begin() + 8), "NYRAGRD1");
    const struct {
        std::size_t offset;
        fs::path file;
    } digests[] = {{8, inputs.launcher}, {40, game / "game.bin"}, {72, game / "NyraGuard.dll"}};
    for (const auto& d : digests) {
        const Bytes file = slurp(d.file.string());
        const auto digest = testing::sha256Raw(file.data(), file.size());
        EXPECT_EQ(0, std::memcmp(guard.data() + d.offset, digest.data(), 32)) << d.file;
    }
    const Bytes signedPart(guard.begin(), guard.begin() + 104);
    EXPECT_TRUE(testing::pssVerifiesLikeTheLauncher(signedPart, guard.data() + 104, 384));
}

TEST_F(PublisherTest, TranslationBundlesFollowTheBundleLayoutAndCarryTheirDigestAsTag) {
    const json manifest = publishFixture();
    const json& translations = manifest.at("translations");
    ASSERT_EQ(translations.size(), 2u);
    const std::map<std::string, std::vector<std::string>> names{
        {"en", {"data/db/T_Item.ini", "data/db/T_String.ini"}}, {"pt-BR", {"data/db/T_String.ini"}}};
    for (const auto& [language, expectedNames] : names) {
        const json& t = translations.at(language);
        EXPECT_EQ(t.at("file"), "translations/" + language + ".bin");
        const Bytes bundle = slurp((out / t.at("file").get<std::string>()).string());
        EXPECT_EQ(t.at("tag"), testing::sha256HexOf(bundle));
        ASSERT_GE(bundle.size(), 12u);
        EXPECT_EQ(std::string(bundle.begin(), bundle.begin() + 8), "NYRATRB1");
        EXPECT_EQ(le(bundle, 8, 4), expectedNames.size());
        std::size_t at = 12;
        for (const auto& name : expectedNames) {
            const auto nameLength = static_cast<std::size_t>(le(bundle, at, 2));
            EXPECT_EQ(std::string(bundle.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                  bundle.begin() + static_cast<std::ptrdiff_t>(at + 2 + nameLength)),
                      name);
            at += 2 + nameLength;
            const auto dataLength = static_cast<std::size_t>(le(bundle, at, 4));
            const Bytes table = slurp((root / "translations" / language / name).string());
            EXPECT_TRUE(std::equal(table.begin(), table.end(), bundle.begin() + static_cast<std::ptrdiff_t>(at + 4)));
            EXPECT_EQ(dataLength, table.size());
            at += 4 + dataLength;
        }
        EXPECT_EQ(at, bundle.size());  // nothing after the last table
    }
}

std::map<std::string, Bytes> snapshot(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file()) {
            files[fs::relative(item.path(), folder).generic_string()] = slurp(item.path().string());
        }
    }
    return files;
}

TEST_F(PublisherTest, TheSameSeedReproducesTheSetByteForByte) {
    publishFixture();
    const auto first = snapshot(out);
    options.replace = true;
    publishFixture();
    EXPECT_EQ(snapshot(out), first);

    settings.seed = "another seed";
    publishFixture();
    const auto reseeded = snapshot(out);
    EXPECT_NE(reseeded.at("nyra.nidx"), first.at("nyra.nidx"));
    EXPECT_NE(reseeded.at("set.json"), first.at("set.json"));

    settings.seed.reset();  // OS randomness: a fresh key every time
    const json a = publishFixture();
    const json b = publishFixture();
    EXPECT_NE(a.at("package_key"), b.at("package_key"));
    EXPECT_FALSE(a.at("seeded").get<bool>());
}

TEST_F(PublisherTest, BadInputsAreRefusedBeforeAnythingIsPublished) {
    const struct {
        const char* name;
        std::function<void(PublisherTest&)> spoil;
        const char* message;
    } cases[] = {
        {"guard dll missing", [](PublisherTest& t) { fs::remove(t.game / "NyraGuard.dll"); }, "NyraGuard.dll"},
        {"launcher inside the game folder", [](PublisherTest& t) { put(t.game / "Launcher.exe", std::string("x")); },
         "Launcher.exe"},
        {"path with a colon", [](PublisherTest& t) { put(t.game / "data/a:b.txt", std::string("x")); }, "a:b.txt"},
        {"client.ini protected", [](PublisherTest& t) { t.settings.protectedFiles.push_back("*.ini"); }, "client.ini"},
        {"launcher below 64 KiB", [](PublisherTest& t) { put(t.inputs.launcher, noise(65535, "short")); }, "65536"},
        {"no pack in the CDN identity",
         [](PublisherTest& t) {
             for (auto& g : t.settings.packs) g.cdn = false;
         },
         "CDN identity"},
        {"unmatched file", [](PublisherTest& t) { t.settings.packs.pop_back(); }, "no pack group"},
        {"bad translation name", [](PublisherTest& t) { put(t.root / "translations/en/data/db/T_.ini", std::string("x")); },
         "T_.ini"},
        {"foreign folder as output", [](PublisherTest& t) { put(t.out / "keep.txt", std::string("x")); }, "exists"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.spoil(*this);
        options.replace = true;
        try {
            publishFixture();
            ADD_FAILURE() << "published";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(out / "set.json"));
    }
}

TEST(PublisherFormats, PathRulesPatternsNamesAndVersions) {
    for (const char* good : {"a", "data/db/T_x.ini", "dir/sub/ç.txt"}) {
        EXPECT_FALSE(pathProblem(good)) << good;
    }
    for (const std::string& bad : std::vector<std::string>{"", "/a", "a\\b", "c:x", "a/../b", "./a", "a//b", "a/", "a?b", "\xff",
                                  std::string("a\0b", 3), std::string(230, 'a')}) {
        EXPECT_TRUE(pathProblem(bad)) << bad;
    }
    EXPECT_FALSE(pathProblem(std::string(229, 'a')));

    const struct {
        const char* pattern;
        const char* path;
        bool match;
    } patterns[] = {{"*.dll", "NyraGuard.dll", true}, {"*.dll", "x/NyraGuard.dll", false},
                    {"data/**", "data/a/b.c", true},   {"**", "x", true},
                    {"data/*.ini", "data/a.ini", true}, {"data/*.ini", "data/a/b.ini", false},
                    {"?.bin", "a.bin", true},           {"?.bin", "ab.bin", false}};
    for (const auto& p : patterns) {
        EXPECT_EQ(matchesPattern(p.pattern, p.path), p.match) << p.pattern << " " << p.path;
    }

    const std::string sha(64, 'a');
    EXPECT_EQ(cdnObjectName(sha, 3), "base/" + sha + "/0003.bin");
    const auto chunks = cdnChunks(sha, kCdnChunkBytes + 1, kCdnChunkBytes);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].size, kCdnChunkBytes);
    EXPECT_EQ(chunks[1].offset, kCdnChunkBytes);
    EXPECT_EQ(chunks[1].size, 1u);
    EXPECT_EQ(cdnChunks(sha, kCdnChunkBytes, kCdnChunkBytes).size(), 1u);

    EXPECT_EQ(packFileName(7), "nyra-007.pck");

    // A PE with a fixed version record 5.5.27.9 reads as "5.5.27" (major.minor.build).
    Bytes pe(200, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    const std::uint8_t record[] = {0xBD, 0x04, 0xEF, 0xFE, 0, 0, 1, 0, 5, 0, 5, 0, 9, 0, 27, 0};
    std::copy(std::begin(record), std::end(record), pe.begin() + 100);
    EXPECT_EQ(peFileVersion(pe), "5.5.27");
    EXPECT_FALSE(peFileVersion(Bytes(200, 0)));

    EXPECT_THROW(translationBundle({}), std::runtime_error);
    EXPECT_THROW(translationBundle({{"data/db/T_a.ini", {}}}), std::runtime_error);
    EXPECT_EQ(translationBundle({{"data/db/T_a.ini", {1}}}).size(), 8u + 4 + 2 + 15 + 4 + 1);
}

}  // namespace
}  // namespace nyra::publisher
