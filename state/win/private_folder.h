#pragma once
#include <filesystem>

namespace nyra {

// Creates `folder` (and missing parents) and makes it private: a protected access list granting
// full access only to SYSTEM and the current user, inherited by files and subfolders, and the
// hidden attribute. Failures: "Cache redirecionado." (the folder is a reparse point),
// "Identidade do Windows indisponivel.", "Identidade do Windows invalida.", "Identidade
// invalida.", "Permissoes invalidas.", "Nao foi possivel proteger o cache do jogo." (also when the
// folder or a parent cannot be created, for example because a file has its name).
void protectPrivateFolder(const std::filesystem::path& folder);

}  // namespace nyra
