#pragma once
#include <filesystem>

namespace nyra {

// Creates `folder` (and missing parents) and makes it private: a protected access list granting
// full access only to SYSTEM and the current user, inherited by files and subfolders, and the
// hidden attribute. Failures: "Cache redirecionado." (the folder is a reparse point), the
// file-system error of "create_directories", "Identidade do Windows indisponivel.",
// "Identidade do Windows invalida.", "Identidade invalida.", "Permissoes invalidas.",
// "Nao foi possivel proteger o cache do jogo.".
void protectPrivateFolder(const std::filesystem::path& folder);

}  // namespace nyra
