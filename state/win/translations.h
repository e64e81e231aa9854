#pragma once
// The translation bundle for the game start: the rules of state/translations.h over the engine
// folder's cache files, the platform's data protection for the current user and the backend.
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "net/http.h"

namespace nyra {

// The bundle the backend currently serves for `language`, from "translations.en.cache" or
// "translations.pt-BR.cache" in the engine folder when that opens for this language, tag and
// login name, else from `/api/launcher/translations` (the download token goes with it), cached
// afterwards. Failures: "Traducoes indisponiveis no servidor. Tente novamente." (a tag that is not
// 64 lower-case hexadecimal characters, or no login name; nothing is sent), "Traducoes recebidas
// invalidas. Tente novamente." (the answer is not a bundle) and the backend client's errors. A
// cache that cannot be read or written never fails the call.
std::vector<std::uint8_t> obtainTranslationBundle(Http& client, const std::filesystem::path& engineFolder,
                                                  std::string_view expectedTag, std::string_view loginName,
                                                  std::string_view language);

}  // namespace nyra
