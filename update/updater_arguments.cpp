#include "update/updater_arguments.h"

#include <optional>
#include <stdexcept>
#include <vector>

namespace nyra::update {
namespace {

bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

std::vector<std::u16string_view> tokens(std::u16string_view text) {
    std::vector<std::u16string_view> found;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (i > start) found.push_back(text.substr(start, i - start));
    }
    return found;
}

// A non-zero decimal number below 2^32 written with digits only (no sign, no spaces).
std::optional<std::uint32_t> nonZeroNumber(std::u16string_view token) {
    if (token.empty() || token.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (const char16_t c : token) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - u'0');
    }
    if (value == 0 || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::u16string decimal(std::uint32_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace

UpdaterArguments parseUpdaterArguments(std::u16string_view commandLine) {
    const auto parts = tokens(commandLine);
    const auto processId = parts.size() > 1 ? nonZeroNumber(parts[1]) : std::nullopt;
    const auto processHandle = parts.size() > 2 ? nonZeroNumber(parts[2]) : std::nullopt;
    if (parts.empty() || parts[0] != kApplyLauncherUpdateOption || !processId || !processHandle) {
        throw std::runtime_error("Parametros do atualizador invalidos.");
    }
    const auto eventHandle = parts.size() == 4 ? nonZeroNumber(parts[3]) : std::nullopt;
    if (!eventHandle) throw std::runtime_error("Sincronizacao do atualizador invalida.");
    return {*processId, *processHandle, *eventHandle};
}

std::u16string updaterArgumentText(const UpdaterArguments& arguments) {
    return std::u16string(kApplyLauncherUpdateOption) + u" " + decimal(arguments.processId) + u" " +
           decimal(arguments.processHandle) + u" " + decimal(arguments.eventHandle);
}

}  // namespace nyra::update
