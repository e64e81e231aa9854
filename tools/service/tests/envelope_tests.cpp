// Strict envelope decoding, argument rules and byte-range rules.
#include <gtest/gtest.h>

#include "tools/service/envelope.h"
#include "tools/service/ranges.h"

namespace nyra::service {
namespace {

using nlohmann::json;

std::string cbor(const json& value) {
    const auto bytes = json::to_cbor(value);
    return std::string(bytes.begin(), bytes.end());
}

std::string hex(const std::string& digits) {
    std::string out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
    return out;
}

TEST(EnvelopeTest, DecodesWhatTheLauncherEncodes) {
    const auto envelope = decodeEnvelope(cbor({{"op", 6}, {"args", {{"name", "nyra-000.pck"}, {"range", "bytes=0-99"}}}}));
    EXPECT_EQ(envelope.op, 6u);
    EXPECT_EQ(envelope.args.at("range"), "bytes=0-99");
    EXPECT_NO_THROW(checkArguments(envelope));
}

TEST(EnvelopeTest, RefusesEveryMalformedForm) {
    const std::string args = hex("6461726773") + hex("a0");  // "args": {}
    const std::string op3 = hex("626f70") + hex("03");        // "op": 3
    struct Case {
        const char* what;
        std::string body;
    };
    const Case cases[] = {
        {"empty body", ""},
        {"not a map", cbor(json::array({1, 2}))},
        {"tagged op", hex("a2") + args + hex("626f70") + hex("c1") + hex("03")},
        {"tagged envelope", hex("c0") + cbor({{"args", json::object()}, {"op", 3}})},
        {"trailing byte", cbor({{"args", json::object()}, {"op", 3}}) + hex("00")},
        {"op as text", cbor({{"args", json::object()}, {"op", "3"}})},
        {"negative op", cbor({{"args", json::object()}, {"op", -3}})},
        {"op as float", cbor({{"args", json::object()}, {"op", 3.0}})},
        {"args as array", cbor({{"args", json::array()}, {"op", 3}})},
        {"args as null", cbor({{"args", nullptr}, {"op", 3}})},
        {"unknown op", cbor({{"args", json::object()}, {"op", 27}})},
        {"huge op", cbor({{"args", json::object()}, {"op", 4294967296ull}})},
        {"extra key", cbor({{"args", json::object()}, {"op", 3}, {"zz", 1}})},
        {"missing op", cbor({{"args", json::object()}, {"xx", 3}})},
        {"duplicate op key", hex("a2") + op3 + op3},
        {"indefinite map", hex("bf") + args + op3 + hex("ff")},
        {"truncated", cbor({{"args", json::object()}, {"op", 3}}).substr(0, 5)},
        {"over 8192 bytes for op 3", cbor({{"args", {{"pad", std::string(8200, 'x')}}}, {"op", 3}})},
        {"over 65536 bytes", cbor({{"args", {{"pad", std::string(65540, 'x')}}}, {"op", 21}})},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(decodeEnvelope(c.body), BadRequest) << c.what;
    }
}

TEST(EnvelopeTest, SizeLimitDependsOnTheOperation) {
    const auto sized = [](unsigned op, std::size_t padding) {
        return cbor({{"args", {{"pad", std::string(padding, 'x')}}}, {"op", op}});
    };
    EXPECT_NO_THROW(decodeEnvelope(sized(21, 60000)));
    EXPECT_NO_THROW(decodeEnvelope(sized(20, 16000)));
    EXPECT_THROW(decodeEnvelope(sized(20, 16400)), BadRequest);
    // Exactly 8192 bytes pass, 8193 do not.
    for (std::size_t padding = 8170; padding < 8180; ++padding) {
        const std::string body = sized(3, padding);
        if (body.size() <= 8192) {
            EXPECT_NO_THROW(decodeEnvelope(body)) << body.size();
        } else {
            EXPECT_THROW(decodeEnvelope(body), BadRequest) << body.size();
        }
    }
}

TEST(EnvelopeTest, ArgumentRules) {
    struct Case {
        unsigned op;
        json args;
        bool accepted;
    };
    const std::string digest(64, 'a');
    const Case cases[] = {
        {17, {{"character_id", 4294967295ull}}, true},
        {17, {{"character_id", 0}}, false},
        {17, {{"character_id", 4294967296ull}}, false},
        {16, {{"rainbow_name", true}, {"rainbow_chat", false}}, true},
        {16, {{"rainbow_name", true}}, false},
        {16, {{"rainbow_name", true}, {"rainbow_chat", 1}}, false},
        {14, {{"x", 1}}, false},
        {18, json::object(), true},
        {19, {{"x", 1}}, false},
        {1, {{"username", "ana"}, {"password", "p"}, {"remember", true}, {"hwid", digest}, {"hwid_info", "HWID v1"}}, true},
        {1, {{"username", "ana"}, {"password", "p"}, {"hwid", std::string(64, 'A')}}, false},
        {1, {{"username", "ana"}}, false},
        {1, {{"username", "ana"}, {"password", "p"}, {"remember", "yes"}}, false},
        {4, {{"package_id", "p"}, {"index_sha256", digest}, {"launcher_sha256", digest}}, true},
        {4, {{"package_id", "p"}, {"index_sha256", digest}}, false},
        {6, {{"range", "bytes=0-1"}}, false},
        {7, {{"version", "p"}, {"package_id", "p"}, {"files", {{"game.bin", "x"}}}, {"transport", "t"}}, false},
        {8, {{"sequence", 1}, {"version", "p"}}, true},
        {8, {{"sequence", -1}, {"version", "p"}}, false},
        {26, {{"language", "en"}}, true},
        {3, {{"unexpected", true}}, false},
    };
    for (const auto& c : cases) {
        // As decoded from the wire: non-negative integers are unsigned there.
        const Envelope envelope{c.op, json::from_cbor(json::to_cbor(c.args))};
        if (c.accepted) {
            EXPECT_NO_THROW(checkArguments(envelope)) << c.op << " " << c.args.dump();
        } else {
            EXPECT_THROW(checkArguments(envelope), BadRequest) << c.op << " " << c.args.dump();
        }
    }
}

TEST(RangeTest, StrictPackageRange) {
    EXPECT_EQ(parseStrictRange("bytes=0-99")->length(), 100u);
    EXPECT_EQ(parseStrictRange("bytes=7-7")->first, 7u);
    for (const char* bad : {"bytes=5-4", "bytes=-5", "bytes=5-", "bytes= 1-2", "bytes=1-2,4-5", "items=1-2",
                            "bytes=+1-2", "bytes=99999999999999999999-1"}) {
        EXPECT_FALSE(parseStrictRange(bad)) << bad;
    }
}

TEST(RangeTest, HttpRangeSemantics) {
    struct Case {
        const char* header;
        RangeOutcome outcome;
        std::uint64_t first, last;
    };
    const Case cases[] = {
        {"bytes=0-999", RangeOutcome::Partial, 0, 999},
        {"bytes=0-5000", RangeOutcome::Partial, 0, 999},
        {"bytes=990-", RangeOutcome::Partial, 990, 999},
        {"bytes=-10", RangeOutcome::Partial, 990, 999},
        {"bytes=-5000", RangeOutcome::Partial, 0, 999},
        {"bytes=1000-1001", RangeOutcome::Unsatisfiable, 0, 0},
        {"bytes=-0", RangeOutcome::Unsatisfiable, 0, 0},
        {"bytes=5-4", RangeOutcome::Whole, 0, 0},
        {"bytes=0-1,5-6", RangeOutcome::Whole, 0, 0},
        {"pages=1-2", RangeOutcome::Whole, 0, 0},
    };
    for (const auto& c : cases) {
        const std::string header = c.header;
        const auto decision = decideHttpRange(&header, 1000);
        EXPECT_EQ(decision.outcome, c.outcome) << c.header;
        if (c.outcome == RangeOutcome::Partial) {
            EXPECT_EQ(decision.range.first, c.first) << c.header;
            EXPECT_EQ(decision.range.last, c.last) << c.header;
        }
    }
    EXPECT_EQ(decideHttpRange(nullptr, 1000).outcome, RangeOutcome::Whole);
}

}  // namespace
}  // namespace nyra::service
