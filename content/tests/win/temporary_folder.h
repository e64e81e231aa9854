#pragma once
// A new, empty folder of its own under the temporary folder, for one test. The temporary folder of
// the test prefix is on C:, where folder-chain checks pass (Wine shows the Z: root as a reparse
// point).
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "content/package.h"
#include "platform/win/cng.h"

namespace nyra::test {

inline std::filesystem::path freshTemporaryFolder(std::wstring_view prefix) {
    wchar_t base[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, base);
    std::uint8_t random[8];
    win::randomBytes(random);
    const std::string hex = toHex(random);
    std::filesystem::path folder = std::filesystem::path(base) / (std::wstring(prefix) + std::wstring(hex.begin(), hex.end()));
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace nyra::test
