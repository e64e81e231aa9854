#include "update/launcher_description.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <span>
#include <optional>

namespace nyra::update {
namespace {

using nlohmann::json;

// The stand-in for the RSA check: a signature is good when it is the whole 48-byte message.
bool fakeVerify(std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature) {
    return std::equal(message.begin(), message.end(), signature.begin(), signature.end());
}

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no failure>";
}

std::string base64(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (left > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0u) |
                                (left > 2 ? std::uint32_t{bytes[i + 2]} : 0u);
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += left > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        text += left > 2 ? kAlphabet[v & 63] : '=';
    }
    return text;
}

// The stand-in signature of a description whose members have their types.
json signedWith(json d) {
    if (d.contains("sha256") && d["sha256"].is_string() && d["sha256"].get<std::string>().size() == 64 &&
        d.contains("size") && d["size"].is_number_integer() &&
        (d["size"].is_number_unsigned() || d["size"].get<std::int64_t>() >= 0)) {
        std::string digest = d["sha256"];
        for (char& c : digest) c = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
        const auto message = signedLauncherMessage({digest, "", d["size"].get<std::uint64_t>()});
        d["signature"] = base64(message);
    }
    return d;
}

const json kValid = signedWith({{"sha256", std::string(64, 'a')}, {"version", "5.5.28"}, {"size", 65536}});

json with(const char* key, json value) {
    json d = kValid;
    d[key] = std::move(value);
    return std::string(key) == "signature" ? d : signedWith(d);
}

json without(const char* key) {
    json d = kValid;
    d.erase(key);
    return d;
}

TEST(LauncherDescription, EveryMemberFollowsItsRuleInOrder) {
    const char* unpublished = "O servidor ainda nao publicou uma atualizacao assinada do launcher.";
    const char* metadata = "Metadados da atualizacao do launcher invalidos.";
    const char* version = "Versao da atualizacao invalida.";
    const char* signature = "A assinatura da atualizacao do launcher e invalida. O jogo nao sera iniciado.";
    const struct {
        json value;
        std::string error;
    } cases[] = {
        {kValid, "<no failure>"},
        {with("size", 134217728), "<no failure>"},
        {with("version", "1"), "<no failure>"},
        {with("version", std::string(31, '7')), "<no failure>"},
        {json::array(), unpublished},
        {without("sha256"), unpublished},
        {without("version"), unpublished},
        {without("size"), unpublished},
        {without("signature"), unpublished},
        {with("size", 65535), metadata},
        {with("size", 134217729), metadata},
        // Numbers that are no integer in range are refused, not truncated or converted.
        {with("size", 65536.5), metadata},
        {with("size", 65536.0), metadata},
        {with("size", -65536), metadata},
        {with("size", "65536"), metadata},
        {with("size", json::parse("1e300")), metadata},
        {with("size", std::numeric_limits<std::uint64_t>::max()), metadata},
        {with("sha256", std::string(63, 'a')), metadata},
        {with("sha256", 7), metadata},
        {with("version", ""), metadata},
        {with("version", std::string(32, '1')), metadata},
        {with("signature", json::object()), metadata},
        // The length rules come before the character rule.
        {with("version", "5.5.27-beta"), version},
        {with("version", "v5"), version},
        {with("sha256", std::string(64, 'A')), "Hash invalido."},
        {with("signature", "A=EC"), "Chave invalida."},
        {with("signature", ""), "Chave invalida."},
        {with("signature", "TllSQg=="), signature},  // "NYRB"
        // Signed for another digest or size: every one of the 48 bytes is covered.
        {with("signature", signedWith(with("size", 65537))["signature"]), signature},
        {with("signature", signedWith(with("sha256", std::string(63, 'a') + "b"))["signature"]), signature},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { parseSignedLauncherUpdate(c.value, fakeVerify); }), c.error) << c.value.dump();
    }
    EXPECT_EQ(failureOf([] { parseSignedLauncherUpdate(kValid, {}); }), signature);
}

TEST(LauncherDescription, ThePolicyMustPublishItAndAgreeOnItsVersion) {
    const char* inconsistent = "A versao publicada do launcher esta inconsistente. O jogo nao sera iniciado.";
    const auto policy = [](std::optional<json> version) {
        json p = {{"launcher_update", kValid}};
        if (version) p["launcher_version"] = *version;
        return p;
    };
    EXPECT_EQ(publishedLauncherUpdate(policy(std::nullopt), fakeVerify).version, "5.5.28");
    EXPECT_EQ(publishedLauncherUpdate(policy(json("5.5.28")), fakeVerify).size, 65536u);
    EXPECT_EQ(failureOf([&] { publishedLauncherUpdate(policy(json("5.5.27")), fakeVerify); }), inconsistent);
    EXPECT_EQ(failureOf([&] { publishedLauncherUpdate(policy(json(5)), fakeVerify); }), inconsistent);
    EXPECT_EQ(failureOf([] { publishedLauncherUpdate(json::object(), fakeVerify); }),
              "O servidor ainda nao publicou a atualizacao assinada do launcher. Tente novamente em instantes.");
}

TEST(LauncherDescription, SignedMessageIsMagicDigestAndLittleEndianSize) {
    LauncherDescription d{"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "5.5.28", 0x0102030405};
    const auto message = signedLauncherMessage(d);
    EXPECT_EQ(std::string(message.begin(), message.begin() + 8), "NYRALCH1");
    for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(message[8 + i], i);
    const std::uint8_t size[8] = {0x05, 0x04, 0x03, 0x02, 0x01, 0, 0, 0};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(message[40 + i], size[i]);
}

TEST(LauncherDescription, VersionTextAndKnownOrigins) {
    EXPECT_EQ(launcherVersionText(0x00050005, 0x001B0000), "5.5.27");
    EXPECT_EQ(launcherVersionText(0x000A0000, 0x00000007), "10.0.0");

    const std::string_view table[] = {"1111111111111111111111111111111111111111111111111111111111111111",
                                      "abababababababababababababababababababababababababababababababab"};
    EXPECT_TRUE(isKnownLauncherOrigin(table[1], table));
    EXPECT_FALSE(isKnownLauncherOrigin(std::string(64, '2'), table));
    EXPECT_FALSE(isKnownLauncherOrigin("", table));
    EXPECT_FALSE(isKnownLauncherOrigin("ABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABABAB", table));
    EXPECT_FALSE(isKnownLauncherOrigin(table[0], {}));
}

}  // namespace
}  // namespace nyra::update
