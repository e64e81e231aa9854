// The saved session document once unprotected: the origin check and the session value, and the
// value written back reading the same.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "state/saved_session.h"

using nyra::fuzz::accepts;
using nyra::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(nyra::fuzz::textOf(data, size));
    std::string value;
    const bool read = accepts([&] { value = nyra::parseSavedSession(text); });
    check(text.find_first_not_of('\0') == std::string::npos, "the document was not wiped");
    if (!read) return 0;
    std::string composed;
    if (!accepts([&] { composed = nyra::composeSavedSession(value); })) return 0;  // text that is not UTF-8
    if (composed.size() >= nyra::kSavedSessionLimit) return 0;
    check(nyra::parseSavedSession(composed) == value, "a saved session reads back differently");
    return 0;
}
