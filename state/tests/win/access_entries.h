#pragma once
// What the Windows tests read back of a private file or folder: the current user's SID, found
// independently of the code under test, and the access entries of a DACL in SDDL form.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nyra::test {

inline std::wstring currentUserSid() {
    HANDLE token = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<DWORD> buffer(256);
    DWORD size = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenUser, buffer.data(), 1024, &size));
    ::CloseHandle(token);
    LPWSTR text = nullptr;
    EXPECT_TRUE(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text));
    std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

// The access entries of a file's or folder's DACL as SDDL, without "D:" and the DACL flags
// (Windows reports "P" for the protected list; Wine, which keeps mode bits, never does).
inline std::wstring accessEntries(const std::filesystem::path& target) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    EXPECT_EQ(::GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    LPWSTR text = nullptr;
    EXPECT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                       DACL_SECURITY_INFORMATION, &text, nullptr));
    std::wstring entries(text);
    ::LocalFree(text);
    ::LocalFree(descriptor);
    const auto first = entries.find(L'(');
    return first == std::wstring::npos ? std::wstring() : entries.substr(first);
}

}  // namespace nyra::test
