// The hardware identity as gathered under Wine, and the CNG digest it is built on.
#include "state/win/hardware_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace nyra {
namespace {

std::string hex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

TEST(CngSha256, MatchesKnownVectors) {
    EXPECT_EQ(hex(win::cngSha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(win::cngSha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(win::cngSha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(HardwareIdentity, SixtyFourLowerCaseHexComputedOnceForEveryCaller) {
    std::vector<const HardwareId*> seen(4, nullptr);
    std::vector<std::thread> callers;
    for (auto& slot : seen) callers.emplace_back([&slot] { slot = &hardwareIdentity(); });
    for (auto& caller : callers) caller.join();

    const HardwareId& identity = hardwareIdentity();
    for (const auto* record : seen) EXPECT_EQ(record, &identity);
    EXPECT_EQ(identity.hwidInfo, "HWID v1");
    ASSERT_EQ(identity.hwid.size(), 64u);
    EXPECT_EQ(identity.hwid.find_first_not_of("0123456789abcdef"), std::string::npos) << identity.hwid;
}

}  // namespace
}  // namespace nyra
