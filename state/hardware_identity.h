#pragma once
// The hardware identity sent with a sign-in and a game start: the SHA-256 of a text describing the
// processor, the system volume, the firmware's system UUID and the Windows machine GUID. The
// components are gathered by the Win32 shell (state/win/hardware_identity.*); composing them and
// the fallbacks live here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/services.h"

namespace nyra {

inline constexpr std::string_view kHardwareIdentityInfo = "HWID v1";
inline constexpr std::string_view kVolumeSerialFallback = "00000000";
inline constexpr std::string_view kSmbiosUnavailable = "SMBIOS_UNAVAILABLE";
inline constexpr std::string_view kSmbiosReadError = "SMBIOS_READ_ERROR";
inline constexpr std::string_view kSmbiosUuidNotFound = "SMBIOS_UUID_NOT_FOUND";
inline constexpr std::string_view kMachineGuidFallback = "00000000-0000-0000-0000-000000000000";

struct CpuidRegisters {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

// Raw CPUID answers as the processor gave them. Leaves the processor does not report stay zero;
// `supported` is false when CPUID itself is unavailable.
struct CpuidSnapshot {
    bool supported = false;
    CpuidRegisters leaf0;                   // maximum leaf in EAX, vendor in EBX, EDX, ECX
    CpuidRegisters leaf1;                   // signature in EAX and EDX
    CpuidRegisters extended0;               // leaf 0x80000000: maximum extended leaf in EAX
    std::array<CpuidRegisters, 3> brand{};  // leaves 0x80000002..0x80000004
};

// Vendor + ";" + signature + ";" + brand; missing parts are empty, both ";" stay.
std::string describeProcessor(const CpuidSnapshot& cpuid);

// The root of the volume holding the Windows system folder: the first three characters of the
// system directory when it starts with a drive letter, a colon and a backslash; otherwise "C:\".
std::u16string systemVolumeRoot(std::u16string_view systemDirectory);

// "%08X", or "00000000" when the serial could not be read.
std::string volumeSerialText(std::optional<std::uint32_t> serial);

// The system UUID of the first System Information structure (type 1) whose formatted part is
// longer than 24 bytes, in a raw SMBIOS firmware table (8-byte header, then the structures);
// "SMBIOS_UUID_NOT_FOUND" when there is none.
std::string smbiosSystemUuid(std::span<const std::uint8_t> table);

// The machine GUID value (UTF-16 as stored in the registry, possibly with its terminator) as
// UTF-8; the fallback when it could not be read or is not valid text.
std::string machineGuidText(std::optional<std::u16string_view> registryValue);

// "CPU={...};DRV={...};UUID={...};GUID={...}".
std::string composeIdentityText(std::string_view processor, std::string_view volumeSerial,
                                std::string_view firmwareUuid, std::string_view machineGuid);

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha256Fn = std::function<Sha256Digest(std::string_view bytes)>;

// The record for an identity text: `hwid` = lower-case hex of sha256(text), `hwidInfo` =
// "HWID v1". The text is overwritten with zeros whatever the outcome.
HardwareId makeHardwareIdentity(std::string& identityText, const Sha256Fn& sha256);

}  // namespace nyra
