#include "state/win/hardware_identity.h"

#include "platform/win/cng.h"

#include <windows.h>
#include <bcrypt.h>
#include <cpuid.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win/handles.h"

namespace nyra {
namespace {

CpuidRegisters readLeaf(unsigned int leaf) {
    unsigned int a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, 0, a, b, c, d);
    return CpuidRegisters{a, b, c, d};
}

CpuidSnapshot readCpuid() {
    CpuidSnapshot cpuid;
    unsigned int a = 0, b = 0, c = 0, d = 0;
    // __get_cpuid also checks that the instruction exists (always so on x86-64).
    if (__get_cpuid(0, &a, &b, &c, &d) == 0) return cpuid;
    cpuid.supported = true;
    cpuid.leaf0 = CpuidRegisters{a, b, c, d};
    if (a > 0) cpuid.leaf1 = readLeaf(1);
    cpuid.extended0 = readLeaf(0x80000000u);
    if (cpuid.extended0.eax >= 0x80000004u) {
        for (unsigned int i = 0; i < 3; ++i) cpuid.brand[i] = readLeaf(0x80000002u + i);
    }
    return cpuid;
}

std::optional<std::uint32_t> systemVolumeSerial() {
    wchar_t directory[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH + 1);
    std::u16string systemDirectory;
    if (length > 0 && length <= MAX_PATH) {
        systemDirectory.assign(reinterpret_cast<const char16_t*>(directory), length);
    }
    const std::u16string root = systemVolumeRoot(systemDirectory);
    DWORD serial = 0;
    if (!::GetVolumeInformationW(reinterpret_cast<const wchar_t*>(root.c_str()), nullptr, 0, &serial, nullptr,
                                 nullptr, nullptr, 0)) {
        return std::nullopt;
    }
    return serial;
}

std::string firmwareUuid() {
    constexpr DWORD kRawSmbios = 0x52534D42u;  // 'RSMB'
    const UINT size = ::GetSystemFirmwareTable(kRawSmbios, 0, nullptr, 0);
    if (size == 0) return std::string(kSmbiosUnavailable);
    std::vector<std::uint8_t> table(size);
    if (::GetSystemFirmwareTable(kRawSmbios, 0, table.data(), size) != size) return std::string(kSmbiosReadError);
    return smbiosSystemUuid(table);
}

std::string machineGuid() {
    win::UniqueRegistryKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0, KEY_READ | KEY_WOW64_64KEY,
                        key.put()) != ERROR_SUCCESS) {
        return machineGuidText(std::nullopt);
    }
    wchar_t buffer[128] = {};  // 256 bytes
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    if (::RegQueryValueExW(key.get(), L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return machineGuidText(std::nullopt);
    }
    return machineGuidText(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), size / sizeof(wchar_t)));
}

HardwareId computeHardwareIdentity() {
    std::string text = composeIdentityText(describeProcessor(readCpuid()), volumeSerialText(systemVolumeSerial()),
                                           firmwareUuid(), machineGuid());
    return makeHardwareIdentity(text, win::cngSha256);
}

}  // namespace

const HardwareId& hardwareIdentity() {
    static const HardwareId identity = computeHardwareIdentity();
    return identity;
}

namespace win {

Sha256Digest cngSha256(std::string_view bytes) {
    try {
        return sha256(bytes.data(), bytes.size());
    } catch (const std::exception&) {
        throw std::runtime_error("Identidade do computador indisponivel.");
    }
}

}  // namespace win
}  // namespace nyra
