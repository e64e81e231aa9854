#pragma once
// The saved session file ".identity\session.dat" in the launcher's folder: the session document
// (state/saved_session.h) protected with DPAPI for the current Windows user.
#include <filesystem>
#include <string>

namespace nyra {

// Protects and stores the session cookie value, replacing any previous file only by the final
// move. Failures: "Sessao indisponivel para salvar." (empty value), those of
// protectPrivateFolder, "Nao foi possivel proteger a sessao neste Windows.", "Nao foi possivel
// salvar a sessao.". A failure leaves the previous "session.dat" as it was.
void saveSession(const std::filesystem::path& launcherFolder, const std::string& sessionCookie);

// The saved session cookie value; "" when there is no saved session file. Failures (the file
// stays): "Sessao redirecionada.", "Tamanho de arquivo invalido.", "Arquivo do jogo nao
// encontrado.", "Falha ao ler arquivo.", "Sessao pertence a outro Windows." and those of
// parseSavedSession.
std::string loadSavedSession(const std::filesystem::path& launcherFolder);

// Deletes "session.dat" and "session.dat.new"; failures are ignored.
void forgetSavedSession(const std::filesystem::path& launcherFolder) noexcept;

}  // namespace nyra
