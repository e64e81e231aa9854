// The nesting scans that run before the JSON library sees outside input, and the checked integer
// reader.
#include "core/json_limits.h"
#include "core/tests/hostile_nesting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace nyra {
namespace {

using nlohmann::json;
using test::nestedCbor;
using test::nestedJson;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kLimit = kDocumentNestingLimit;

TEST(JsonNesting, CountsBracketsOutsideStringsOnly) {
    const struct {
        std::string text;
        std::size_t limit;
        std::optional<std::size_t> excess;
    } cases[] = {
        {"", 0, std::nullopt},
        {"1", 0, std::nullopt},
        {"[]", 0, 0},
        {"[]", 1, std::nullopt},
        {R"({"a":[1,{"b":2}]})", 3, std::nullopt},
        {R"({"a":[1,{"b":2}]})", 2, 8},
        {R"([[],[],[]])", 2, std::nullopt},  // siblings do not add up
        {R"(["[[[[", "{{{{"])", 1, std::nullopt},
        {R"(["\"[[[", "\\", []])", 1, 16},  // escaped quotes stay inside, an escaped backslash ends
        {R"(["\\" [)", 1, 6},
        {"]]]][[", 1, 5},  // stray closings never make room below zero
        {"\"[[[[", 0, std::nullopt},  // an unterminated string: the parser refuses it
    };
    for (const auto& c : cases) EXPECT_EQ(jsonNestingExcess(c.text, c.limit), c.excess) << c.text;
    const std::string text = nestedJson(3);
    const Bytes bytes(text.begin(), text.end());
    EXPECT_EQ(jsonNestingExcess(std::span<const std::uint8_t>(bytes), 2), 2u);
}

TEST(CborNesting, FollowsItemHeadersAsTheDecoderDoes) {
    const struct {
        const char* name;
        Bytes bytes;
        std::size_t limit;
        std::optional<std::size_t> excess;
    } cases[] = {
        {"scalar", {0x18, 0x20}, 0, std::nullopt},
        {"empty array is a level", {0x80}, 0, 0},
        {"one level", {0x81, 0x01}, 1, std::nullopt},
        {"two levels", {0x81, 0x81, 0x01}, 1, 1},
        {"map values nest", {0xA1, 0x61, 'a', 0x81, 0xF6}, 1, 3},
        {"siblings", {0x83, 0x81, 0x01, 0x81, 0x02, 0x80}, 2, std::nullopt},
        {"string bytes are skipped", {0x82, 0x43, 0x81, 0x81, 0x81, 0x80}, 1, 5},
        {"multi-byte lengths", {0x98, 0x02, 0x59, 0x00, 0x01, 0x9F, 0x80}, 1, 6},
        {"integer and float arguments", {0x83, 0x1B, 0, 0, 0, 0, 0, 0, 0x81, 0x81, 0xFB, 0x81, 0, 0, 0, 0, 0, 0, 0,
                                         0x80},
         1, 19},
        {"indefinite array", {0x9F, 0x81, 0x01, 0xFF, 0x80}, 1, 1},
        {"indefinite array closed", {0x9F, 0x01, 0xFF, 0x80}, 1, std::nullopt},
        {"nested indefinite strings", {0x7F, 0x7F, 0x7F, 0x61, 'a', 0xFF, 0xFF, 0xFF}, 2, 2},
        {"indefinite byte strings", {0x5F, 0x5F, 0x41, 0x00, 0xFF, 0xFF}, 1, 1},
        {"tags wrap one item", {0xC1, 0xC1, 0x01}, 1, 1},
        {"tag closes after its item", {0x82, 0xC1, 0x01, 0x80}, 2, std::nullopt},
        {"every top-level item", {0x01, 0x81, 0x80}, 1, 2},
        {"truncated string stops", {0x5B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x80}, 1, std::nullopt},
        {"truncated length stops", {0x81, 0x19, 0x01}, 1, std::nullopt},
        {"stray break stops", {0x81, 0xFF, 0x81, 0x80}, 1, std::nullopt},
        {"reserved header stops", {0x81, 0x1C, 0x81, 0x80}, 1, std::nullopt},
        {"huge counts end with the input", {0x9B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 1, std::nullopt},
        {"huge map counts too", {0xBB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x61, 'a', 0x80}, 1, 11},
    };
    for (const auto& c : cases) EXPECT_EQ(cborNestingExcess(c.bytes, c.limit), c.excess) << c.name;
}

// At the limit the library parses, copies, dumps and compares the document on a Windows-sized
// stack; one level more, or a hostile depth, is refused before the library sees it.
TEST(DocumentNesting, LimitIsSafeForTheLibraryAndOneMoreIsRefused) {
    test::onWindowsSizedStack([] {
        const std::string atLimit = nestedJson(kLimit, "1");
        EXPECT_EQ(jsonNestingExcess(atLimit), std::nullopt);
        const json parsed = json::parse(atLimit);
        const json copy = parsed;
        EXPECT_EQ(copy, parsed);
        EXPECT_EQ(copy.dump(), atLimit);

        const Bytes cborAtLimit = nestedCbor(kLimit);
        EXPECT_EQ(cborNestingExcess(cborAtLimit), std::nullopt);
        const json decoded = json::from_cbor(cborAtLimit, true, true, json::cbor_tag_handler_t::error);
        EXPECT_EQ(json::to_cbor(json(decoded)), cborAtLimit);

        EXPECT_EQ(jsonNestingExcess(nestedJson(kLimit + 1)), kLimit);
        EXPECT_EQ(cborNestingExcess(nestedCbor(kLimit + 1)), kLimit);
        EXPECT_EQ(jsonNestingExcess(nestedJson(test::kHostileDepth)), kLimit);
        EXPECT_EQ(cborNestingExcess(nestedCbor(test::kHostileDepth)), kLimit);

        EXPECT_NO_THROW(requireJsonNesting(atLimit));
        EXPECT_NO_THROW(requireCborNesting(cborAtLimit));
        try {
            requireCborNesting(nestedCbor(test::kHostileDepth));
            ADD_FAILURE() << "accepted";
        } catch (const json::parse_error& error) {
            EXPECT_EQ(std::string(error.what()),
                      "[json.exception.parse_error.112] parse error at byte 65: syntax error while parsing CBOR value: "
                      "nesting deeper than 64 levels");
        }
        EXPECT_THROW(requireJsonNesting(nestedJson(kLimit + 1)), json::parse_error);
    });
}

// Every outside JSON text is one whole document: the library alone would stop at a NUL byte and
// accept whatever follows it, and the nesting scan would judge the bytes after it.
TEST(JsonText, ExactlyOneDocumentWithoutNulBytes) {
    using namespace std::string_literals;
    const struct {
        std::string text;
        bool accepted;
    } cases[] = {
        {R"({"a":[1,2]})", true},
        {" \t\r\n{\"a\":1} \t\r\n", true},
        {nestedJson(kLimit, "1"), true},
        {"{\"a\":1}\0"s, false},
        {"{\"a\":1}\0junk"s, false},
        {"{\"a\":1}\0"s + nestedJson(kLimit + 1), false},  // the verdict no longer hangs on the junk
        {"{\"a\":1}\0"s + nestedJson(2), false},
        {"{\"a\":\"x\0y\"}"s, false},
        {"\0"s, false},
        {R"({"a":1}x)", false},
        {R"({"a":1}{})", false},
        {"1 2", false},
        {"", false},
        {" \n", false},
        {nestedJson(kLimit + 1, "1"), false},
    };
    for (const auto& c : cases) {
        const std::string shown = json(c.text).dump(-1, ' ', true, json::error_handler_t::replace);
        EXPECT_EQ(!readJsonText(c.text).is_discarded(), c.accepted) << shown;
        const Bytes bytes(c.text.begin(), c.text.end());
        EXPECT_EQ(!readJsonText(std::span<const std::uint8_t>(bytes)).is_discarded(), c.accepted) << shown;
        if (c.accepted) {
            EXPECT_NO_THROW(parseJsonText(c.text)) << shown;
        } else {
            EXPECT_THROW(parseJsonText(c.text), json::parse_error) << shown;
        }
    }
    // The callers' own limits and document types.
    EXPECT_TRUE(readJsonText("[[1]]", 1).is_discarded());
    EXPECT_EQ(readJsonText("[[1]]", 2), json::parse("[[1]]"));
    EXPECT_EQ(readJsonText<nlohmann::ordered_json>(R"({"z":1,"a":2})").dump(), R"({"z":1,"a":2})");
}

TEST(CheckedIntegers, OnlyIntegersInRange) {
    const json huge = json::parse("1e300");
    const struct {
        json value;
        std::optional<std::int64_t> signedValue;      // integerIn(value, -5, 900)
        std::optional<std::uint64_t> unsignedValue;   // unsignedUpTo(value)
    } cases[] = {
        {0, 0, 0u},
        {900, 900, 900u},
        {901, std::nullopt, 901u},
        {-5, -5, std::nullopt},
        {-6, std::nullopt, std::nullopt},
        {std::numeric_limits<std::uint64_t>::max(), std::nullopt, std::numeric_limits<std::uint64_t>::max()},
        {std::numeric_limits<std::int64_t>::min(), std::nullopt, std::nullopt},
        {600.0, std::nullopt, std::nullopt},
        {600.5, std::nullopt, std::nullopt},
        {-0.5, std::nullopt, std::nullopt},
        {huge, std::nullopt, std::nullopt},
        {std::nan(""), std::nullopt, std::nullopt},
        {"600", std::nullopt, std::nullopt},
        {true, std::nullopt, std::nullopt},
        {nullptr, std::nullopt, std::nullopt},
        {json::array({600}), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(integerIn(c.value, -5, 900), c.signedValue) << c.value.dump();
        EXPECT_EQ(unsignedUpTo(c.value), c.unsignedValue) << c.value.dump();
    }
    EXPECT_EQ(unsignedUpTo(json(134217729), 134217728), std::nullopt);
    EXPECT_EQ(unsignedUpTo(json(134217728), 134217728), 134217728u);
    EXPECT_EQ(integerIn(json(std::numeric_limits<std::uint64_t>::max()), 0, std::numeric_limits<std::int64_t>::max()),
              std::nullopt);
}

}  // namespace
}  // namespace nyra
