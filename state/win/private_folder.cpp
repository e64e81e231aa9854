#include "state/win/private_folder.h"

#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/win/handles.h"
#include "platform/win/user_security.h"

namespace nyra {
namespace {

std::wstring currentUserSid() {
    win::UserSidText sid = win::currentUserSidText();
    switch (sid.failure) {
        case win::UserSidFailure::None: return std::move(sid.text);
        case win::UserSidFailure::Token: throw std::runtime_error("Identidade do Windows indisponivel.");
        case win::UserSidFailure::UserInformation: throw std::runtime_error("Identidade do Windows invalida.");
        case win::UserSidFailure::TextForm: break;
    }
    throw std::runtime_error("Identidade invalida.");
}

}  // namespace

void protectPrivateFolder(const std::filesystem::path& folder) {
    const DWORD existing = ::GetFileAttributesW(folder.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw std::runtime_error("Cache redirecionado.");
    }
    // The library's error text is English and names the call; the player reads this instead.
    std::error_code created;
    std::filesystem::create_directories(folder, created);
    if (created) throw std::runtime_error("Nao foi possivel proteger o cache do jogo.");

    const win::UniqueLocalMemory descriptor =
        win::securityDescriptorFromText(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + currentUserSid() + L")");
    if (!descriptor) throw std::runtime_error("Permissoes invalidas.");
    if (!::SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            descriptor.get())) {
        throw std::runtime_error("Nao foi possivel proteger o cache do jogo.");
    }
    // Hiding is cosmetic; the access list above is what keeps the folder private.
    ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
}

}  // namespace nyra
