#include "state/hardware_identity.h"

#include <cstdio>

#include "core/text.h"

namespace nyra {
namespace {

void appendRegister(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(value >> shift)));
    }
}

void appendHex8(std::string& out, std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xFu]);
}

void appendHex2(std::string& out, std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[value >> 4]);
    out.push_back(kDigits[value & 0xFu]);
}

std::string brandText(const std::array<CpuidRegisters, 3>& leaves) {
    std::string raw;
    for (const auto& leaf : leaves) {
        appendRegister(raw, leaf.eax);
        appendRegister(raw, leaf.ebx);
        appendRegister(raw, leaf.ecx);
        appendRegister(raw, leaf.edx);
    }
    const auto zero = raw.find('\0');
    if (zero != std::string::npos) raw.resize(zero);
    const auto first = raw.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const auto last = raw.find_last_not_of(' ');
    return raw.substr(first, last - first + 1);
}

constexpr std::size_t kSmbiosHeader = 8;
constexpr std::uint8_t kSystemInformation = 1;
constexpr std::size_t kUuidOffset = 8;
constexpr std::size_t kUuidBytes = 16;
constexpr std::size_t kShortestUuidStructure = 24;  // the formatted part must be longer

}  // namespace

std::string describeProcessor(const CpuidSnapshot& cpuid) {
    std::string text;
    if (cpuid.supported) {
        appendRegister(text, cpuid.leaf0.ebx);
        appendRegister(text, cpuid.leaf0.edx);
        appendRegister(text, cpuid.leaf0.ecx);
    }
    text += ';';
    if (cpuid.supported && cpuid.leaf0.eax > 0) {
        appendHex8(text, cpuid.leaf1.eax);
        text += '-';
        appendHex8(text, cpuid.leaf1.edx);
    }
    text += ';';
    if (cpuid.supported && cpuid.extended0.eax >= 0x80000004u) text += brandText(cpuid.brand);
    return text;
}

std::u16string systemVolumeRoot(std::u16string_view systemDirectory) {
    if (systemDirectory.size() >= 3 && systemDirectory[1] == u':' && systemDirectory[2] == u'\\') {
        const char16_t drive = systemDirectory[0];
        if ((drive >= u'A' && drive <= u'Z') || (drive >= u'a' && drive <= u'z')) {
            return std::u16string(systemDirectory.substr(0, 3));
        }
    }
    return u"C:\\";
}

std::string volumeSerialText(std::optional<std::uint32_t> serial) {
    if (!serial) return std::string(kVolumeSerialFallback);
    std::string text;
    appendHex8(text, *serial);
    return text;
}

std::string smbiosSystemUuid(std::span<const std::uint8_t> table) {
    std::size_t offset = kSmbiosHeader;
    while (offset < table.size() && table.size() - offset >= 4) {
        const std::uint8_t type = table[offset];
        const std::size_t length = table[offset + 1];
        if (length < 4 || length > table.size() - offset) break;
        if (type == kSystemInformation && length > kShortestUuidStructure) {
            std::string uuid;
            for (std::size_t i = 0; i < kUuidBytes; ++i) {
                if (i == 4 || i == 6 || i == 8 || i == 10) uuid += '-';
                appendHex2(uuid, table[offset + kUuidOffset + i]);
            }
            return uuid;
        }
        // Skip the formatted part, then the string set up to and including its two zero bytes.
        std::size_t cursor = offset + length;
        bool terminated = false;
        while (table.size() - cursor >= 2) {
            if (table[cursor] == 0 && table[cursor + 1] == 0) {
                terminated = true;
                break;
            }
            ++cursor;
        }
        if (!terminated) break;
        offset = cursor + 2;
    }
    return std::string(kSmbiosUuidNotFound);
}

std::string machineGuidText(std::optional<std::u16string_view> registryValue) {
    if (!registryValue) return std::string(kMachineGuidFallback);
    std::u16string_view value = *registryValue;
    const auto terminator = value.find(u'\0');
    if (terminator != std::u16string_view::npos) value = value.substr(0, terminator);
    try {
        return utf16ToUtf8(value);
    } catch (const std::runtime_error&) {
        return std::string(kMachineGuidFallback);
    }
}

std::string composeIdentityText(std::string_view processor, std::string_view volumeSerial,
                                std::string_view firmwareUuid, std::string_view machineGuid) {
    std::string text;
    text.reserve(32 + processor.size() + volumeSerial.size() + firmwareUuid.size() + machineGuid.size());
    text += "CPU={";
    text += processor;
    text += "};DRV={";
    text += volumeSerial;
    text += "};UUID={";
    text += firmwareUuid;
    text += "};GUID={";
    text += machineGuid;
    text += '}';
    return text;
}

HardwareId makeHardwareIdentity(std::string& identityText, const Sha256Fn& sha256) {
    struct Wiper {
        std::string& text;
        ~Wiper() { wipe(text); }
    } wiper{identityText};
    const Sha256Digest digest = sha256(identityText);
    static constexpr char kDigits[] = "0123456789abcdef";
    HardwareId record;
    record.hwid.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        record.hwid.push_back(kDigits[byte >> 4]);
        record.hwid.push_back(kDigits[byte & 0xFu]);
    }
    record.hwidInfo = std::string(kHardwareIdentityInfo);
    return record;
}

}  // namespace nyra
