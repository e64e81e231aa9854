// Composition of the hardware identity: processor description, volume, SMBIOS walk, machine GUID.
#include "state/hardware_identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nyra {
namespace {

// ---- Processor description ----------------------------------------------------------------

// Four characters as the register that holds them (little-endian, first character lowest).
std::uint32_t chars(const char* four) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(four[i]);
    return value;
}

// The brand registers for up to 48 bytes of text; the rest is zero.
std::array<CpuidRegisters, 3> brandLeaves(std::string_view text) {
    char raw[48] = {};
    std::memcpy(raw, text.data(), std::min<std::size_t>(text.size(), sizeof(raw)));
    std::array<CpuidRegisters, 3> leaves{};
    for (std::size_t i = 0; i < 3; ++i) {
        leaves[i] = {chars(raw + 16 * i), chars(raw + 16 * i + 4), chars(raw + 16 * i + 8), chars(raw + 16 * i + 12)};
    }
    return leaves;
}

CpuidSnapshot intelLike(std::string_view brand) {
    CpuidSnapshot cpuid;
    cpuid.supported = true;
    cpuid.leaf0 = {0x16, chars("Genu"), chars("ntel"), chars("ineI")};
    cpuid.leaf1 = {0x000906EA, 0, 0, 0xBFEBFBFF};
    cpuid.extended0 = {0x80000008, 0, 0, 0};
    cpuid.brand = brandLeaves(brand);
    return cpuid;
}

TEST(ProcessorDescription, VendorSignatureAndTrimmedBrand) {
    EXPECT_EQ(describeProcessor(intelLike("Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz")),
              "GenuineIntel;000906EA-BFEBFBFF;Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz");

    const std::string trimmed = describeProcessor(intelLike("AMD Ryzen 7 5800X"));
    for (const std::string_view padded : {"       AMD Ryzen 7 5800X", "AMD Ryzen 7 5800X         ",
                                          "   AMD Ryzen 7 5800X   ",
                                          // all 48 bytes used, no zero byte at all
                                          "               AMD Ryzen 7 5800X                "}) {
        EXPECT_EQ(describeProcessor(intelLike(padded)), trimmed) << '[' << padded << ']';
    }
    EXPECT_EQ(describeProcessor(intelLike("  Ryzen 5\0ignored after the zero")), "GenuineIntel;000906EA-BFEBFBFF;Ryzen 5");
    EXPECT_EQ(describeProcessor(intelLike("                ")), "GenuineIntel;000906EA-BFEBFBFF;");
    EXPECT_EQ(describeProcessor(intelLike("  A  B  ")), "GenuineIntel;000906EA-BFEBFBFF;A  B");
}

TEST(ProcessorDescription, MissingLeavesLeaveTheirPartEmpty) {
    auto noBasicLeaves = intelLike("Brand");
    noBasicLeaves.leaf0.eax = 0;  // leaf 1 values present but not to be used
    EXPECT_EQ(describeProcessor(noBasicLeaves), "GenuineIntel;;Brand");

    auto shortExtended = intelLike("Brand");
    shortExtended.extended0.eax = 0x80000003;
    EXPECT_EQ(describeProcessor(shortExtended), "GenuineIntel;000906EA-BFEBFBFF;");
    shortExtended.extended0.eax = 0x80000004;
    EXPECT_EQ(describeProcessor(shortExtended), "GenuineIntel;000906EA-BFEBFBFF;Brand");
    shortExtended.extended0.eax = 0x00000016;  // a processor without extended leaves echoing leaf 0x16
    EXPECT_EQ(describeProcessor(shortExtended), "GenuineIntel;000906EA-BFEBFBFF;");

    auto lowSignature = intelLike("");
    lowSignature.leaf1 = {0x00a20f12, 0, 0, 0x0000000b};
    EXPECT_EQ(describeProcessor(lowSignature), "GenuineIntel;00A20F12-0000000B;");

    EXPECT_EQ(describeProcessor(CpuidSnapshot{}), ";;");
}

// ---- Volume, machine GUID, identity text ---------------------------------------------------

TEST(HardwareComponents, VolumeRootSerialAndMachineGuid) {
    const struct {
        std::u16string_view systemDirectory;
        std::u16string_view root;
    } roots[] = {
        {u"C:\\Windows\\system32", u"C:\\"}, {u"d:\\WINDOWS\\System32", u"d:\\"}, {u"Z:\\", u"Z:\\"},
        {u"", u"C:\\"},                      {u"E:", u"C:\\"},                    {u"E:/Windows", u"C:\\"},
        {u"1:\\Windows", u"C:\\"},           {u"\\\\?\\D:\\Windows", u"C:\\"},    {u"\\\\server\\share", u"C:\\"},
    };
    for (const auto& c : roots) EXPECT_TRUE(systemVolumeRoot(c.systemDirectory) == c.root);

    EXPECT_EQ(volumeSerialText(0x1234ABCDu), "1234ABCD");
    EXPECT_EQ(volumeSerialText(0x0000000Au), "0000000A");
    EXPECT_EQ(volumeSerialText(0xFFFFFFFFu), "FFFFFFFF");
    EXPECT_EQ(volumeSerialText(0u), "00000000");
    EXPECT_EQ(volumeSerialText(std::nullopt), "00000000");

    const std::u16string withTerminator(u"4e1c2f9a-0b7d-4c61-9e55-0f2d3a8b6c71\0", 37);
    EXPECT_EQ(machineGuidText(withTerminator), "4e1c2f9a-0b7d-4c61-9e55-0f2d3a8b6c71");
    EXPECT_EQ(machineGuidText(u"4e1c2f9a"), "4e1c2f9a");
    EXPECT_EQ(machineGuidText(u"caf\u00e9"), "caf\xc3\xa9");
    EXPECT_EQ(machineGuidText(std::u16string_view(u"ab\xD800", 3)), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(machineGuidText(std::nullopt), "00000000-0000-0000-0000-000000000000");
}

TEST(HardwareComponents, IdentityTextWithEveryFallback) {
    EXPECT_EQ(composeIdentityText(describeProcessor(CpuidSnapshot{}), volumeSerialText(std::nullopt),
                                  kSmbiosUnavailable, machineGuidText(std::nullopt)),
              "CPU={;;};DRV={00000000};UUID={SMBIOS_UNAVAILABLE};GUID={00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(composeIdentityText("GenuineIntel;000906EA-BFEBFBFF;Intel", "1234ABCD",
                                  "00112233-4455-6677-8899-AABBCCDDEEFF", "g"),
              "CPU={GenuineIntel;000906EA-BFEBFBFF;Intel};DRV={1234ABCD};"
              "UUID={00112233-4455-6677-8899-AABBCCDDEEFF};GUID={g}");
}

TEST(HardwareComponents, RecordIsLowerCaseHexOfTheDigestAndTheTextIsWiped) {
    std::string text = "CPU={;;};DRV={00000000};UUID={SMBIOS_UNAVAILABLE};GUID={x}";
    std::string hashed;
    const auto record = makeHardwareIdentity(text, [&](std::string_view bytes) {
        hashed = std::string(bytes);
        Sha256Digest digest{};
        digest.fill(0xAB);
        digest[0] = 0x0F;
        digest[31] = 0x00;
        return digest;
    });
    EXPECT_EQ(hashed, "CPU={;;};DRV={00000000};UUID={SMBIOS_UNAVAILABLE};GUID={x}");
    std::string expected = "0f";
    for (int i = 0; i < 30; ++i) expected += "ab";
    expected += "00";
    EXPECT_EQ(record.hwid, expected);
    EXPECT_EQ(record.hwidInfo, "HWID v1");
    EXPECT_TRUE(text.empty());

    std::string failing = "CPU={x}";
    EXPECT_THROW(makeHardwareIdentity(failing, [](std::string_view) -> Sha256Digest {
                     throw std::runtime_error("no hash");
                 }),
                 std::runtime_error);
    EXPECT_TRUE(failing.empty());
}

// ---- SMBIOS walk ---------------------------------------------------------------------------

const std::uint8_t kUuidA[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const std::uint8_t kUuidB[16] = {0x4C, 0x4C, 0x45, 0x44, 0x00, 0x30, 0x10, 0x80,
                                 0x80, 0x35, 0xB2, 0xC0, 0x4F, 0x56, 0x39, 0x32};
constexpr const char* kUuidAText = "00112233-4455-6677-8899-AABBCCDDEEFF";
constexpr const char* kUuidBText = "4C4C4544-0030-1080-8035-B2C04F563932";

// Builds a raw table: the 8-byte header, then structures appended with the helpers.
struct Table {
    std::vector<std::uint8_t> bytes = {0, 3, 4, 0, 0, 0, 0, 0};

    // A structure of `type` whose formatted part is `length` bytes; for type 1 a UUID (when
    // given) at offsets 8..23. `strings` empty gives the bare "00 00" string set;
    // `terminated` false leaves the string set without its final pair.
    Table& add(std::uint8_t type, std::uint8_t length, const std::uint8_t* uuid = nullptr,
               std::initializer_list<const char*> strings = {}, bool terminated = true) {
        const std::size_t start = bytes.size();
        bytes.push_back(type);
        bytes.push_back(length);
        for (std::size_t i = 2; i < length; ++i) bytes.push_back(static_cast<std::uint8_t>(0x40 + i));
        if (uuid != nullptr) {
            for (std::size_t i = 0; i < 16 && 8 + i < length; ++i) bytes[start + 8 + i] = uuid[i];
        }
        for (const char* s : strings) bytes.insert(bytes.end(), s, s + std::strlen(s) + 1);
        if (strings.size() == 0) bytes.push_back(0);
        if (terminated) bytes.push_back(0);
        return *this;
    }
    Table& raw(std::initializer_list<std::uint8_t> tail) {
        bytes.insert(bytes.end(), tail);
        return *this;
    }
};

TEST(SmbiosWalk, FindsTheFirstSystemInformationStructureLongerThan24Bytes) {
    const struct {
        const char* name;
        std::vector<std::uint8_t> table;
        std::string expected;
    } cases[] = {
        {"type 1 after BIOS information with strings",
         Table{}.add(0, 24, nullptr, {"Vendor Inc.", "1.2.3", "01/02/2023"}).add(1, 27, kUuidA, {"Maker", "Model"}).bytes,
         kUuidAText},
        {"structures without strings before it",
         Table{}.add(0, 18).add(3, 22).add(1, 25, kUuidB).bytes, kUuidBText},
        {"length 24 skipped, 25 accepted",
         Table{}.add(1, 24, kUuidA, {"Old"}).add(1, 25, kUuidB).bytes, kUuidBText},
        {"the first suitable one wins",
         Table{}.add(1, 27, kUuidB).add(1, 27, kUuidA).bytes, kUuidBText},
        {"ends right after the formatted part",
         [] {
             auto t = Table{}.add(2, 8).add(1, 25, kUuidA, {}, false);
             t.bytes.pop_back();  // not even the first zero of a string set
             return t.bytes;
         }(),
         kUuidAText},
        {"no type 1", Table{}.add(0, 24, nullptr, {"x"}).add(127, 4).bytes, "SMBIOS_UUID_NOT_FOUND"},
        {"only a short type 1", Table{}.add(1, 8, nullptr, {"x"}).add(1, 24, kUuidA).bytes,
         "SMBIOS_UUID_NOT_FOUND"},
        {"length byte below 4 stops the walk", Table{}.add(0, 3).add(1, 27, kUuidA).bytes,
         "SMBIOS_UUID_NOT_FOUND"},
        {"length byte 4 is walked over", Table{}.add(126, 4).add(1, 27, kUuidA).bytes, kUuidAText},
        {"length past the end", Table{}.add(0, 18).raw({1, 27, 0, 0, 1, 2, 3, 4, 5, 6}).bytes,
         "SMBIOS_UUID_NOT_FOUND"},
        {"fewer than 4 bytes left", Table{}.add(0, 18).raw({1, 27, 0}).bytes, "SMBIOS_UUID_NOT_FOUND"},
        {"string set without its end", Table{}.add(0, 18, nullptr, {"abc"}, false).raw({'d', 'e', 'f'}).bytes,
         "SMBIOS_UUID_NOT_FOUND"},
        {"zero bytes inside the formatted part are not the string set's end",
         [] {
             Table t;
             t.add(0, 12);
             std::fill(t.bytes.end() - 12, t.bytes.end() - 2, 0);  // formatted bytes 2..11 zero
             return t.add(1, 25, kUuidA).bytes;
         }(),
         kUuidAText},
        {"header only", Table{}.bytes, "SMBIOS_UUID_NOT_FOUND"},
        {"shorter than the header", {1, 25, 0, 0}, "SMBIOS_UUID_NOT_FOUND"},
        {"empty", {}, "SMBIOS_UUID_NOT_FOUND"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(smbiosSystemUuid(c.table), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace nyra
