#include "state/win/private_folder.h"

#include <windows.h>
#include <sddl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win/handles.h"

namespace nyra {
namespace {

// The current user's SID in string form, read from the process token.
std::wstring currentUserSid() {
    win::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        throw std::runtime_error("Identidade do Windows indisponivel.");
    }
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) throw std::runtime_error("Identidade do Windows invalida.");
    // DWORD-aligned storage for the TOKEN_USER and the SID that follows it.
    std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        throw std::runtime_error("Identidade do Windows invalida.");
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    win::UniqueLocalMemory text;
    LPWSTR sid = nullptr;
    if (!::ConvertSidToStringSidW(user->User.Sid, &sid)) throw std::runtime_error("Identidade invalida.");
    text.reset(sid);
    return std::wstring(sid);
}

}  // namespace

void protectPrivateFolder(const std::filesystem::path& folder) {
    const DWORD existing = ::GetFileAttributesW(folder.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw std::runtime_error("Cache redirecionado.");
    }
    std::filesystem::create_directories(folder);

    const std::wstring descriptorText = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + currentUserSid() + L")";
    win::UniqueLocalMemory descriptorMemory;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptorText.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        throw std::runtime_error("Permissoes invalidas.");
    }
    descriptorMemory.reset(descriptor);
    if (!::SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            descriptor)) {
        throw std::runtime_error("Nao foi possivel proteger o cache do jogo.");
    }
    // Hiding is cosmetic; the access list above is what keeps the folder private.
    ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
}

}  // namespace nyra
