#include "platform/win/user_security.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

namespace nyra::win {

UserSidText currentUserSidText() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {{}, UserSidFailure::Token};
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return {{}, UserSidFailure::UserInformation};
    // DWORD-aligned storage for the TOKEN_USER and the SID that follows it.
    std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        return {{}, UserSidFailure::UserInformation};
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    LPWSTR sid = nullptr;
    if (!::ConvertSidToStringSidW(user->User.Sid, &sid)) return {{}, UserSidFailure::TextForm};
    const UniqueLocalMemory owner(sid);
    return {std::wstring(sid), UserSidFailure::None};
}

UniqueLocalMemory securityDescriptorFromText(const std::wstring& text) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        return UniqueLocalMemory();
    }
    return UniqueLocalMemory(descriptor);
}

}  // namespace nyra::win
