// The shipped Launcher.exe as Windows judges it: WinVerifyTrust with the Authenticode policy, in a
// prefix that trusts the development CA (scripts/test-env). The build signs with the TEST
// code-signing certificate issued by that CA; unsigned/ holds the linker's output before signing.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nyra::test {
namespace {

std::filesystem::path testFolder() {
    std::wstring buffer(MAX_PATH, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

// The Authenticode verdict: ERROR_SUCCESS, or the trust error (TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, ...).
LONG authenticodeVerdict(const std::filesystem::path& file) {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;  // the development CA publishes no revocation list
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID policy = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
    return verdict;
}

// A copy of a file with one byte of its code (offset 4096, inside .text) changed.
std::filesystem::path changedCopy(const std::filesystem::path& source) {
    std::ifstream in(source, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GT(bytes.size(), 4096u);
    bytes.at(4096) = static_cast<char>(bytes.at(4096) ^ 0x01);
    const auto target = std::filesystem::temp_directory_path() / L"nyra-changed-Launcher.exe";
    std::ofstream(target, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return target;
}

TEST(LauncherSignature, WindowsTrustsTheSignedBuildsAndRefusesUnsignedOrChangedOnes) {
    const auto bin = testFolder();
    const auto changed = changedCopy(bin / L"Launcher.exe");
    const struct {
        const char* what;
        std::filesystem::path file;
        LONG verdict;
    } cases[] = {
        {"the signed launcher", bin / L"Launcher.exe", ERROR_SUCCESS},
        {"the next version the self-update publishes", bin / L"next" / L"Launcher.exe", ERROR_SUCCESS},
        {"the linker's unsigned output", bin.parent_path() / L"unsigned" / L"bin" / L"Launcher.exe",
         static_cast<LONG>(TRUST_E_NOSIGNATURE)},
        {"a signed launcher changed afterwards", changed, static_cast<LONG>(TRUST_E_BAD_DIGEST)},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(std::filesystem::exists(c.file)) << c.what;
        EXPECT_EQ(authenticodeVerdict(c.file), c.verdict) << c.what;
    }
    std::filesystem::remove(changed);
}

}  // namespace
}  // namespace nyra::test
