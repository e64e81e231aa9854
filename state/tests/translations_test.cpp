// The translation bundle's format, its tag, cache names and binding, and the order in which the
// bundle is obtained (cache, fetch, cache write) with a stand-in cache, protector and backend.
#include "core/tests/failure_text.h"
#include "state/translations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace nyra {
namespace {

using test::failureOf;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

void putLittleEndian(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct Entry {
    std::string name;
    std::uint64_t dataLength = 1;     // as written in the bundle
    std::uint64_t dataPresent = ~0u;  // bytes that follow (default: dataLength)
    std::uint64_t nameLength = ~0u;   // as written (default: the name's size)
};

Bytes bundleOf(const std::vector<Entry>& entries, std::uint64_t count, std::string_view magic = "NYRATRB1") {
    Bytes out(magic.begin(), magic.end());
    putLittleEndian(out, count, 4);
    for (const Entry& entry : entries) {
        putLittleEndian(out, entry.nameLength == ~0u ? entry.name.size() : entry.nameLength, 2);
        out.insert(out.end(), entry.name.begin(), entry.name.end());
        putLittleEndian(out, entry.dataLength, 4);
        out.resize(out.size() + (entry.dataPresent == ~0u ? entry.dataLength : entry.dataPresent), '=');
    }
    return out;
}

Bytes bundleOf(const std::vector<Entry>& entries) { return bundleOf(entries, entries.size()); }

std::vector<Entry> tables(std::size_t count) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < count; ++i) entries.push_back({"data/db/T_Table" + std::to_string(i) + ".ini", 3});
    return entries;
}

Bytes withTrailingByte(Bytes bytes) {
    bytes.push_back(0);
    return bytes;
}

Bytes withoutLastByte(Bytes bytes) {
    bytes.pop_back();
    return bytes;
}

// Four entries whose data fills the bundle to `size` bytes (each entry at most 16 MiB).
Bytes bundleOfSize(std::size_t size) {
    std::vector<Entry> entries = tables(4);
    const std::size_t overhead = 12 + 4 * (2 + entries[0].name.size() + 4);
    const std::size_t data = size - overhead;
    for (std::size_t i = 0; i < 4; ++i) entries[i].dataLength = data / 4 + (i < data % 4 ? 1 : 0);
    return bundleOf(entries);
}

TEST(TranslationBundle, CheckTable) {
    const Bytes header = bundleOf({}, 1);  // magic and a count of one: 12 bytes
    Bytes thirteen = header;
    thirteen.push_back(15);
    const struct {
        const char* what;
        Bytes bundle;
        bool valid;
    } cases[] = {
        {"12 bytes", header, false},
        {"13 bytes (half a name length)", thirteen, false},
        {"another magic", bundleOf(tables(1), 1, "NYRATRB2"), false},
        {"count 0", bundleOf(tables(1), 0), false},
        {"count 1", bundleOf(tables(1)), true},
        {"count 64", bundleOf(tables(64)), true},
        {"count 65", bundleOf(tables(65)), false},
        {"count larger than the entries", bundleOf(tables(1), 2), false},
        {"name of 15 bytes", bundleOf({{"data/db/T_x.ini"}}), true},
        {"name of 14 bytes", bundleOf({{"data/db/T_.ini"}}), false},
        {"name without the prefix", bundleOf({{"data/db/X_Text.ini"}}), false},
        {"name without the suffix", bundleOf({{"data/db/T_Text.txt"}}), false},
        {"name length 0", bundleOf({{"", 1}}), false},
        {"name length running past the end", bundleOf({{"data/db/T_Text.ini", 1, 1, 0xffff}}), false},
        {"data length field cut short", withoutLastByte(bundleOf({{"data/db/T_Text.ini", 1, 0}})), false},
        {"data length 0", bundleOf({{"data/db/T_Text.ini", 0}}), false},
        {"data length 16777216", bundleOf({{"data/db/T_Text.ini", 16777216}}), true},
        {"data length 16777217", bundleOf({{"data/db/T_Text.ini", 16777217}}), false},
        {"data length 0xffffffff, 10 bytes there", bundleOf({{"data/db/T_Text.ini", 0xffffffff, 10}}), false},
        {"data running past the end", bundleOf({{"data/db/T_Text.ini", 100, 99}}), false},
        {"data running past the end, a second entry due", bundleOf({{"data/db/T_Text.ini", 100, 99}}, 2), false},
        {"one trailing byte", withTrailingByte(bundleOf(tables(1))), false},
        {"two entries", bundleOf({{"data/db/T_String.ini", 20}, {"data/db/T_Item.ini", 7}}), true},
        {"exactly 64 MiB", bundleOfSize(kTranslationBundleLimit), true},
        {"one byte above 64 MiB", bundleOfSize(kTranslationBundleLimit + 1), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isTranslationBundle(c.bundle), c.valid) << c.what << " (" << c.bundle.size() << " bytes)";
    }
}

TEST(TranslationBundle, TagRules) {
    const std::string good = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(isBundleTag(good));
    std::string upper = good;
    upper[10] = 'A';
    const std::string refused[] = {"", good.substr(1), good + "0", upper, std::string(63, 'a') + "g",
                                   std::string(63, 'a') + " ", std::string(63, 'a') + "\xc3"};
    for (const auto& tag : refused) EXPECT_FALSE(isBundleTag(tag)) << tag;
}

TEST(TranslationBundle, CacheNamesAndBinding) {
    EXPECT_EQ(translationCacheFileName("en"), "translations.en.cache");
    for (const char* other : {"pt-BR", "EN", "en-US", "", "fr"}) {
        EXPECT_EQ(translationCacheFileName(other), "translations.pt-BR.cache") << other;
    }
    EXPECT_EQ(translationCacheBinding("en", "ab12", "jogador"), "NyraTR2|en|ab12|jogador");
    EXPECT_EQ(translationCacheBinding("pt-BR", "", "a|b"), "NyraTR2|pt-BR||a|b");
}

TEST(TranslationBundle, ExpectedTagFromTheStartAnswer) {
    const json answer = {{"translations_sha256", "pt-tag"},
                         {"translation_languages", {{"en", "en-tag"}, {"pt-BR", "other"}, {"fr", 7}}}};
    const struct {
        json answer;
        const char* language;
        const char* tag;
    } cases[] = {
        {answer, "pt-BR", "pt-tag"},
        {answer, "en", "en-tag"},
        {answer, "fr", ""},  // not a string
        {answer, "de", ""},  // absent
        {{{"translation_languages", {{"en", "en-tag"}}}}, "pt-BR", ""},
        {{{"translations_sha256", 5}}, "pt-BR", ""},
        {{{"translation_languages", "en"}}, "en", ""},
        {{{"translation_languages", json::array({"en"})}}, "en", ""},
        {json::array(), "pt-BR", ""},
        {nullptr, "en", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(expectedTranslationTag(c.answer, c.language), c.tag) << c.answer << " " << c.language;
    }
}

// The cache as a map of file names, with switches for each way it can fail.
class FakeCache final : public TranslationCache {
public:
    std::optional<Bytes> read(std::string_view fileName) override {
        calls.push_back("read " + std::string(fileName));
        if (readThrows) throw std::runtime_error("read failed");
        const auto found = files.find(std::string(fileName));
        if (found == files.end() || unreadable) return std::nullopt;
        return found->second;
    }
    bool write(std::string_view fileName, std::span<const std::uint8_t> blob) override {
        calls.push_back("write " + std::string(fileName));
        if (writeFails) return false;
        files[std::string(fileName)] = Bytes(blob.begin(), blob.end());
        return true;
    }
    std::map<std::string, Bytes> files;
    std::vector<std::string> calls;
    bool unreadable = false;
    bool readThrows = false;
    bool writeFails = false;
};

// Like the platform service: a blob opens only with the binding it was made with.
class FakeProtector final : public UserDataProtector {
public:
    std::optional<Bytes> protect(std::span<const std::uint8_t> plain, std::string_view binding) override {
        if (protectThrows) throw std::runtime_error("protect failed");
        if (protectFails) return std::nullopt;
        Bytes blob(binding.begin(), binding.end());
        blob.push_back(0);
        blob.insert(blob.end(), plain.begin(), plain.end());
        for (auto& byte : blob) byte ^= 0x5a;
        return blob;
    }
    std::optional<Bytes> unprotect(std::span<const std::uint8_t> blob, std::string_view binding) override {
        Bytes clear(blob.begin(), blob.end());
        for (auto& byte : clear) byte ^= 0x5a;
        Bytes prefix(binding.begin(), binding.end());
        prefix.push_back(0);
        if (clear.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), clear.begin())) return std::nullopt;
        return Bytes(clear.begin() + static_cast<std::ptrdiff_t>(prefix.size()), clear.end());
    }
    bool protectFails = false;
    bool protectThrows = false;
};

class ObtainBundle : public ::testing::Test {
protected:
    const std::string tag = std::string(64, 'c');
    const Bytes published = bundleOf({{"data/db/T_String.ini", 20}, {"data/db/T_Item.ini", 7}});

    Bytes obtain(std::string_view login = "jogador", std::string_view language = "en") {
        return obtainTranslationBundle(cache, protector, fetch, tag, login, language);
    }
    Bytes protectedFor(const Bytes& plain, std::string_view binding) { return *protector.protect(plain, binding); }

    FakeCache cache;
    FakeProtector protector;
    std::vector<std::string> fetched;  // the languages asked for
    Bytes served = published;
    TranslationFetch fetch = [this](std::string_view language) {
        fetched.emplace_back(language);
        return served;
    };
};

TEST_F(ObtainBundle, BadTagOrNoLoginFailsBeforeCacheOrNetwork) {
    for (const std::string& badTag : {std::string(64, 'C'), std::string(63, 'c'), std::string()}) {
        EXPECT_EQ(failureOf([&] { obtainTranslationBundle(cache, protector, fetch, badTag, "jogador", "en"); }),
                  kTranslationsUnavailableText);
    }
    EXPECT_EQ(failureOf([&] { obtain(""); }), kTranslationsUnavailableText);
    EXPECT_TRUE(cache.calls.empty());
    EXPECT_TRUE(fetched.empty());
}

TEST_F(ObtainBundle, FetchedOnceThenServedFromTheCache) {
    EXPECT_EQ(obtain(), published);
    EXPECT_EQ(fetched, std::vector<std::string>{"en"});
    const std::vector<std::string> firstCalls = {"read translations.en.cache", "write translations.en.cache"};
    EXPECT_EQ(cache.calls, firstCalls);
    EXPECT_EQ(cache.files.at("translations.en.cache"), protectedFor(published, "NyraTR2|en|" + tag + "|jogador"));

    EXPECT_EQ(obtain(), published);
    EXPECT_EQ(fetched.size(), 1u);
    EXPECT_EQ(cache.calls.back(), "read translations.en.cache");

    // Portuguese has its own file; English stays cached.
    EXPECT_EQ(obtain("jogador", "pt-BR"), published);
    EXPECT_EQ(fetched.back(), "pt-BR");
    EXPECT_EQ(cache.files.size(), 2u);
    EXPECT_EQ(cache.files.count("translations.pt-BR.cache"), 1u);
}

TEST_F(ObtainBundle, AnotherAccountOrTagRefetchesOnceThenHits) {
    obtain("jogador");
    obtain("ana");
    EXPECT_EQ(fetched.size(), 2u);
    obtain("ana");
    EXPECT_EQ(fetched.size(), 2u);

    const Bytes other = bundleOf(tables(3));
    served = other;
    EXPECT_EQ(obtainTranslationBundle(cache, protector, fetch, std::string(64, 'd'), "ana", "en"), other);
    EXPECT_EQ(obtainTranslationBundle(cache, protector, fetch, std::string(64, 'd'), "ana", "en"), other);
    EXPECT_EQ(fetched.size(), 3u);
}

TEST_F(ObtainBundle, EveryCacheFailureFallsThroughToTheFetchSilently) {
    const std::string binding = "NyraTR2|en|" + tag + "|jogador";
    Bytes tampered = protectedFor(published, binding);
    tampered[3] ^= 1;
    const struct {
        const char* what;
        std::function<void(FakeCache&)> arrange;
    } cases[] = {
        {"missing", [](FakeCache&) {}},
        {"unreadable", [&](FakeCache& c) { c.files["translations.en.cache"] = protectedFor(published, binding); c.unreadable = true; }},
        {"the read throws", [](FakeCache& c) { c.readThrows = true; }},
        {"tampered", [&](FakeCache& c) { c.files["translations.en.cache"] = tampered; }},
        {"another user's or binding's blob", [&](FakeCache& c) { c.files["translations.en.cache"] = protectedFor(published, binding + "x"); }},
        {"opens but is no bundle", [&](FakeCache& c) { c.files["translations.en.cache"] = protectedFor(withTrailingByte(published), binding); }},
        {"empty file", [](FakeCache& c) { c.files["translations.en.cache"] = {}; }},
    };
    for (const auto& c : cases) {
        cache = FakeCache();
        fetched.clear();
        c.arrange(cache);
        EXPECT_EQ(obtain(), published) << c.what;
        EXPECT_EQ(fetched.size(), 1u) << c.what;
        cache.unreadable = cache.readThrows = false;
        EXPECT_EQ(cache.files.at("translations.en.cache"), protectedFor(published, binding)) << c.what << ": replaced";
    }
}

TEST_F(ObtainBundle, InvalidOrFailedFetchLeavesTheCacheAsItWas) {
    cache.files["translations.en.cache"] = {1, 2, 3};
    served = withTrailingByte(published);
    EXPECT_EQ(failureOf([&] { obtain(); }), kTranslationsInvalidText);
    served = bundleOf({{"data/db/T_.ini"}});
    EXPECT_EQ(failureOf([&] { obtain(); }), kTranslationsInvalidText);
    served.clear();
    EXPECT_EQ(failureOf([&] { obtain(); }), kTranslationsInvalidText);

    fetch = [](std::string_view) -> Bytes { throw std::runtime_error("Aguarde antes de tentar novamente."); };
    EXPECT_EQ(failureOf([&] { obtain(); }), "Aguarde antes de tentar novamente.");
    EXPECT_EQ(cache.files.at("translations.en.cache"), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::count(cache.calls.begin(), cache.calls.end(), "write translations.en.cache"), 0);
}

TEST_F(ObtainBundle, CacheWriteFailuresStillReturnTheBundle) {
    protector.protectFails = true;
    EXPECT_EQ(obtain(), published);
    EXPECT_TRUE(cache.files.empty());
    protector.protectFails = false;
    protector.protectThrows = true;
    EXPECT_EQ(obtain(), published);
    protector.protectThrows = false;
    cache.writeFails = true;
    EXPECT_EQ(obtain(), published);
    EXPECT_TRUE(cache.files.empty());
    EXPECT_EQ(fetched.size(), 3u);
}

}  // namespace
}  // namespace nyra
