#pragma once
// The saved session document: the backend origin and the session cookie value, as compact JSON.
// The Win32 shell (state/win/saved_session_store.*) protects it per Windows user and stores it in
// the launcher's private ".identity" folder.
#include <cstddef>
#include <string>
#include <string_view>

namespace nyra {

// The unprotected document must be shorter than this; the protected file may be this long at most.
inline constexpr std::size_t kSavedSessionLimit = 8192;

// "https://" + the backend API host of this build.
std::string savedSessionOrigin();

// {"origin":...,"session":...} in that order, without whitespace. The caller wipes the result.
std::string composeSavedSession(std::string_view sessionCookie);

// Reads the session cookie value back from an unprotected document and overwrites `text` with
// zeros, whatever the outcome. A text of kSavedSessionLimit bytes or more, or not exactly one
// JSON document: "Sessao invalida."; an origin other than this build's: "Endereco da sessao
// alterado."; a `session` member that is missing or not a string: "Sessao invalida.".
std::string parseSavedSession(std::string& text);

}  // namespace nyra
