#include "update/launcher_description.h"

#include <gtest/gtest.h>

#include <limits>

namespace nyra::update {
namespace {

using nlohmann::json;

std::string failure(const json& policy) {
    try {
        readLauncherDescription(policy);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no failure>";
}

json policyWith(json description, std::optional<std::string> version = std::nullopt) {
    json policy = {{"launcher_update", std::move(description)}};
    if (version) policy["launcher_version"] = *version;
    return policy;
}

const json kValid = {{"sha256", std::string(64, 'a')}, {"version", "5.5.27"}, {"size", 65536}, {"signature", "AAEC"}};

TEST(LauncherDescription, MembersFollowTheirRules) {
    const auto with = [](const char* key, json value) {
        json d = kValid;
        d[key] = std::move(value);
        return d;
    };
    const char* inconsistent = "A versao publicada do launcher esta inconsistente. O jogo nao sera iniciado.";
    const struct {
        json policy;
        std::string error;
    } cases[] = {
        {policyWith(kValid), "<no failure>"},
        {policyWith(kValid, "5.5.27"), "<no failure>"},
        {policyWith(with("size", 134217728)), "<no failure>"},
        {json::object(),
         "O servidor ainda nao publicou a atualizacao assinada do launcher. Tente novamente em instantes."},
        {policyWith(kValid, "5.5.28"), inconsistent},
        {policyWith(with("size", 65535)), inconsistent},
        {policyWith(with("size", 134217729)), inconsistent},
        // Numbers that are no integer in range are refused, not truncated or converted.
        {policyWith(with("size", 65536.5)), inconsistent},
        {policyWith(with("size", 65536.0)), inconsistent},
        {policyWith(with("size", -65536)), inconsistent},
        {policyWith(with("size", json::parse("1e300"))), inconsistent},
        {policyWith(with("size", std::numeric_limits<std::uint64_t>::max())), inconsistent},
        {policyWith(with("version", "")), inconsistent},
        {policyWith(with("version", "5.5.27-beta")), inconsistent},
        {policyWith(with("version", std::string(32, '1'))), inconsistent},
        {policyWith(with("sha256", std::string(63, 'a'))), "Hash invalido."},
        {policyWith(with("sha256", std::string(64, 'A'))), "Hash invalido."},
        {policyWith(with("signature", "A=EC")), "Chave invalida."},
        {policyWith(with("signature", "")), "Chave invalida."},
    };
    for (const auto& c : cases) EXPECT_EQ(failure(c.policy), c.error) << c.policy.dump();
    // A member of the wrong type fails with the JSON library's own message.
    EXPECT_THROW(readLauncherDescription(policyWith(with("size", "65536"))), json::type_error);
}

TEST(LauncherDescription, SignedMessageIsMagicDigestAndLittleEndianSize) {
    json d = kValid;
    d["sha256"] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    d["size"] = 0x01020304;
    const auto message = signedLauncherMessage(readLauncherDescription(policyWith(d)));
    EXPECT_EQ(std::string(message.begin(), message.begin() + 8), "NYRALCH1");
    for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(message[8 + i], i);
    const std::uint8_t size[8] = {0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(message[40 + i], size[i]);
}

TEST(LauncherDescription, VersionTextAndDecoders) {
    EXPECT_EQ(launcherVersionText(0x00050005, 0x001B0000), "5.5.27");
    EXPECT_EQ(launcherVersionText(0x000A0000, 0x00000007), "10.0.0");
    EXPECT_EQ(decodeBase64("TWFu"), (std::vector<std::uint8_t>{'M', 'a', 'n'}));
    EXPECT_EQ(decodeBase64("TWE="), (std::vector<std::uint8_t>{'M', 'a'}));
    EXPECT_EQ(decodeBase64("TQ=="), (std::vector<std::uint8_t>{'M'}));
    for (const char* bad : {"TQ", "T===", "TQ=a", "TW-u", "TQ==TQ=="}) EXPECT_THROW(decodeBase64(bad), std::runtime_error) << bad;
    EXPECT_EQ(decodeHex("00ff"), (std::vector<std::uint8_t>{0, 255}));
    for (const char* bad : {"0", "0g", "FF"}) EXPECT_THROW(decodeHex(bad), std::runtime_error) << bad;
}

}  // namespace
}  // namespace nyra::update
