// Hex and Base64 texts of signed descriptions, the package policy and the catalog.
#include "core/encoding.h"
#include "core/tests/failure_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nyra {
namespace {

using test::failureOf;
using Bytes = std::vector<std::uint8_t>;

TEST(HexText, DecodesOnlyLowerCaseDigitPairs) {
    EXPECT_EQ(decodeHex("00ff7a"), (Bytes{0x00, 0xff, 0x7a}));
    EXPECT_TRUE(decodeHex("").empty());
    for (const char* bad : {"0", "abc", "0A", "FF", "g0", "0x", " 0", "0-"}) {
        EXPECT_EQ(failureOf([&] { decodeHex(bad); }), "Hash invalido.") << bad;
    }
    const std::uint8_t bytes[] = {0x01, 0xab, 0xff};
    EXPECT_EQ(toHex(bytes), "01abff");
    EXPECT_EQ(decodeHex(toHex(bytes)), Bytes(std::begin(bytes), std::end(bytes)));
}

TEST(Base64Text, StandardAlphabetWithPaddingOnly) {
    EXPECT_EQ(decodeBase64("TWFu"), (Bytes{'M', 'a', 'n'}));
    EXPECT_EQ(decodeBase64("TWE="), (Bytes{'M', 'a'}));
    EXPECT_EQ(decodeBase64("TQ=="), (Bytes{'M'}));
    EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xfb, 0xff, 0xbf}));
    for (const char* bad : {"", "TQ", "T===", "TQ=a", "TW-u", "TW_u", "TQ==TQ==", "TWFu\n"}) {
        EXPECT_EQ(failureOf([&] { decodeBase64(bad); }), "Chave invalida.") << bad;
    }
}

}  // namespace
}  // namespace nyra
