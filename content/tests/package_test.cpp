// Package policy, catalog container and catalog rules, hex and path rules, the package key.
#include "core/json_limits.h"
#include "core/tests/failure_text.h"
#include "core/tests/hostile_nesting.h"
#include "content/package.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace nyra {
namespace {

using test::failureOf;

using nlohmann::json;

json entry(std::string iv = std::string(24, 'a'), std::string tag = std::string(32, 'b')) {
    return {{"path", "data/a.bin"}, {"plain_size", 5},  {"sha256", std::string(64, 'c')}, {"pack", 0},
            {"offset", 0},          {"size", 21},       {"iv", iv},                       {"tag", tag},
            {"compressed", false}};
}

json catalogWith(std::size_t entries, std::size_t packs) {
    json document = {{"format", 1}, {"entries", json::array()}, {"packs", json::array()}};
    for (std::size_t i = 0; i < entries; ++i) document["entries"].push_back(entry());
    for (std::size_t i = 0; i < packs; ++i) {
        document["packs"].push_back({{"path", "nyra-000.pck"}, {"size", 10}, {"sha256", std::string(64, 'd')}});
    }
    return document;
}

TEST(DigestText, SixtyFourLowerCaseHexDigits) {
    EXPECT_TRUE(isDigestText(std::string(64, 'f')));
    EXPECT_FALSE(isDigestText(std::string(63, 'f')));
    EXPECT_FALSE(isDigestText(std::string(64, 'F')));
}

TEST(PathRules, TableOfRelativePaths) {
    struct Case {
        std::string path;
        bool accepted;
    };
    const Case cases[] = {
        {"data/world/map.pak", true},
        {"game.bin", true},
        {std::string(229, 'a'), true},
        {std::string(230, 'a'), false},
        {"", false},
        {"/data/a", false},
        {"data/../a", false},
        {"../a", false},
        {"data/./a", false},
        {".", false},
        {"data\\a", false},
        {"C:/a", false},
        {"data/a:stream", false},
        {"a<b", false},
        {"a>b", false},
        {"a\"b", false},
        {"a|b", false},
        {"a?b", false},
        {"a*b", false},
        {std::string("a\0b", 3), false},
        {"data//a", false},
        {"data/", false},
        {"..a/b..c", true},
        // Names Windows would store or open as another file or a device.
        {"..a/b..", false},
        {"data./a", false},
        {"data/a.", false},
        {"data/a ", false},
        {"data /a", false},
        {"a\x01b", false},
        {"data/a\x1f", false},
        {"a\x7f", false},
        {"con", false},
        {"data/aux.ini", false},
        {"nul .txt", false},
        {"NUL.tar.gz", false},
        {"Prn/a", false},
        {"CONIN$", false},
        {"data/conout$.log", false},
        {"COM1", false},
        {"com9.txt", false},
        {"LPT5", false},
        {"lpt0.dat", false},
        {"COM\xc2\xb9", false},  // superscript digits: COM¹, LPT², LPT³
        {"data/lpt\xc2\xb2.dat", false},
        {"LPT\xc2\xb3 .x", false},
        {"console.txt", true},
        {"auxiliary/nulo.txt", true},
        {"COM10", true},
        {"LPT", true},
        {"com\xc2\xb4", true},  // an acute accent, no superscript
        {"data/x.con", true},
        {" nul", false},  // spaces around the name do not make it a file
        {"a b/.c", true},
    };
    for (const auto& c : cases) {
        const std::string result = failureOf([&] { splitPackagePath(c.path); });
        if (c.accepted) {
            EXPECT_EQ(result, "<no failure>") << c.path;
        } else {
            EXPECT_EQ(result, "Caminho invalido no pacote.") << c.path;
        }
    }
    EXPECT_EQ(splitPackagePath("data/world/map.pak"), (std::vector<std::u16string>{u"data", u"world", u"map.pak"}));
    EXPECT_EQ(splitPackagePath("dados/ma\xc3\xa7\xc3\xa3.txt").back(), u"ma\u00e7\u00e3.txt");
    EXPECT_EQ(failureOf([] { splitPackagePath("bad\xff"); }), "Texto invalido.");
}

TEST(CatalogRules, BoundsOnFormatEntriesAndPacks) {
    EXPECT_EQ(failureOf([] { parseCatalog(catalogWith(0, 99)); }), "<no failure>");
    EXPECT_EQ(failureOf([] { parseCatalog(catalogWith(0, 100)); }), "Catalogo invalido.");
    json bad = catalogWith(1, 1);
    bad["format"] = 2;
    EXPECT_EQ(failureOf([&] { parseCatalog(bad); }), "Catalogo invalido.");
    bad = catalogWith(1, 1);
    bad.erase("entries");
    EXPECT_EQ(failureOf([&] { parseCatalog(bad); }), "Catalogo invalido.");
}

TEST(CatalogRules, EntryLimitIsBelowOneHundredThousand) {
    json document = {{"format", 1}, {"entries", json::array()}, {"packs", json::array()}};
    const json one = entry();
    auto& entries = document["entries"].get_ref<json::array_t&>();
    entries.assign(99999, one);
    const Catalog catalog = parseCatalog(document);
    EXPECT_EQ(catalog.entries.size(), 99999u);
    entries.push_back(one);
    EXPECT_EQ(failureOf([&] { parseCatalog(document); }), "Catalogo invalido.");
}

TEST(CatalogRules, EntryMembersAreDecoded) {
    json document = catalogWith(0, 1);
    document["entries"].push_back(entry("000102030405060708090a0b", "00112233445566778899aabbccddeeff"));
    const Catalog catalog = parseCatalog(document);
    ASSERT_EQ(catalog.entries.size(), 1u);
    EXPECT_EQ(catalog.entries[0].iv[11], 0x0b);
    EXPECT_EQ(catalog.entries[0].tag[15], 0xff);
    EXPECT_EQ(catalog.packs[0].path, "nyra-000.pck");

    document["entries"][0] = entry("000102030405060708090A0B");
    EXPECT_EQ(failureOf([&] { parseCatalog(document); }), "Hash invalido.");
    document["entries"][0] = entry(std::string(24, 'a'), std::string(32, 'B'));
    EXPECT_EQ(failureOf([&] { parseCatalog(document); }), "Hash invalido.");
    document["entries"][0] = entry(std::string(22, 'a'));
    EXPECT_EQ(failureOf([&] { parseCatalog(document); }), "Pacote criptografado invalido.");
    for (const json& size : {json(-1), json(21.5), json(21.0), json::parse("1e300"), json("21")}) {
        document["entries"][0] = entry();
        document["entries"][0]["size"] = size;
        EXPECT_EQ(failureOf([&] { parseCatalog(document); }), "Catalogo invalido.") << size.dump();
    }
}

TEST(CatalogRules, TextNestedTooDeepIsNoCatalog) {
    const auto text = [](std::size_t depth) {
        const std::string s = R"({"format":1,"entries":[],"packs":[],"note":)" + test::nestedJson(depth - 1) + "}";
        return std::vector<std::uint8_t>(s.begin(), s.end());
    };
    test::onWindowsSizedStack([&] {
        const json atLimit = parseCatalogText(text(kDocumentNestingLimit));
        ASSERT_FALSE(atLimit.is_discarded());
        EXPECT_EQ(failureOf([&] { parseCatalog(json(atLimit)); }), "<no failure>");
        EXPECT_TRUE(parseCatalogText(text(kDocumentNestingLimit + 1)).is_discarded());
        EXPECT_TRUE(parseCatalogText(text(test::kHostileDepth)).is_discarded());
        EXPECT_TRUE(parseCatalogText(std::vector<std::uint8_t>{'{'}).is_discarded());
    });
}

TEST(ContainerRules, ThirtySixBytesIsTooShortThirtySevenIsFramed) {
    std::vector<std::uint8_t> container(36, 0);
    std::copy(kContainerMagic.begin(), kContainerMagic.end(), container.begin());
    EXPECT_FALSE(containerHasValidFrame(container));
    EXPECT_EQ(failureOf([&] { splitContainer(container); }), "O catalogo do jogo foi alterado.");
    container.push_back(0x42);
    ASSERT_TRUE(containerHasValidFrame(container));
    const ContainerParts parts = splitContainer(container);
    EXPECT_EQ(parts.nonce.size(), 12u);
    EXPECT_EQ(parts.tag.size(), 16u);
    ASSERT_EQ(parts.ciphertext.size(), 1u);
    EXPECT_EQ(parts.ciphertext[0], 0x42);
    container[0] = 'X';
    EXPECT_FALSE(containerHasValidFrame(container));
}

TEST(PolicyRules, RequiredMembersFailWithTheLibraryText) {
    const json good = {{"package_id", "set-1"},
                       {"index_sha256", std::string(64, 'a')},
                       {"signature", "AAAA"},
                       {"policy", {{"files", {{"Launcher.exe", std::string(64, 'b')}}}}},
                       {"base_cdn", {{"format", 1}}}};
    const PackagePolicy policy = parsePackagePolicy(good);
    EXPECT_EQ(policy.launcherSha256, std::string(64, 'b'));
    const json request = packageKeyRequest(policy, "abc");
    EXPECT_EQ(request, (json{{"package_id", "set-1"}, {"index_sha256", std::string(64, 'a')}, {"launcher_sha256", "abc"}}));
    for (const char* member : {"package_id", "index_sha256", "signature", "policy", "base_cdn"}) {
        json copy = good;
        copy.erase(member);
        EXPECT_THROW(parsePackagePolicy(copy), json::exception) << member;
    }
    json noLauncher = good;
    noLauncher["policy"]["files"].erase("Launcher.exe");
    EXPECT_THROW(parsePackagePolicy(noLauncher), json::exception);
    json wrongType = good;
    wrongType["package_id"] = 5;
    EXPECT_THROW(parsePackagePolicy(wrongType), json::type_error);
}

TEST(PackageKey, ThirtyTwoBytesOnlyAndTheTextIsWiped) {
    const std::string key32 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31
    json answer = {{"key", key32}};
    const auto key = takePackageKey(answer);
    EXPECT_EQ(key[31], 31);
    EXPECT_TRUE(answer["key"].get<std::string>().empty());

    json shortKey = {{"key", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg=="}};  // 31 bytes
    EXPECT_EQ(failureOf([&] { takePackageKey(shortKey); }), "Chave de pacote invalida.");
    json longKey = {{"key", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8g"}};  // 33 bytes
    EXPECT_EQ(failureOf([&] { takePackageKey(longKey); }), "Chave de pacote invalida.");
    json notBase64 = {{"key", "not base64!"}};
    EXPECT_EQ(failureOf([&] { takePackageKey(notBase64); }), "Chave invalida.");
    json notText = {{"key", 5}};
    EXPECT_THROW(takePackageKey(notText), json::type_error);
}

}  // namespace
}  // namespace nyra
