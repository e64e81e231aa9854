#include "home/installed_game.h"

#include <algorithm>
#include <string>
#include <system_error>

namespace nyra::home {
namespace {

std::u16string lowered(std::u16string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; });
    return text;
}

}  // namespace

bool holdsInstalledGame(const std::filesystem::path& folder) {
    std::error_code error;
    if (std::filesystem::exists(folder / "nyra.nidx", error)) return true;
    if (std::filesystem::exists(folder / ".nyra-home", error)) return true;
    std::filesystem::directory_iterator it(folder, std::filesystem::directory_options::skip_permission_denied,
                                           error);
    if (error) return false;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        if (error) break;  // the listing itself broke off: nothing further can be read
        // A name the text conversion refuses (an unpaired surrogate, bytes that are no UTF-8) is
        // no pack; the entries after it still count.
        std::u16string name;
        try {
            name = lowered(it->path().filename().u16string());
        } catch (const std::exception&) {
            continue;
        }
        if (name.size() >= 9 && name.starts_with(u"nyra-") && name.ends_with(u".pck")) {
            std::error_code fileError;
            if (it->is_regular_file(fileError)) return true;
        }
    }
    return false;
}

}  // namespace nyra::home
