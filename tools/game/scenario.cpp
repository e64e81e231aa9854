#include "tools/game/scenario.h"

#include <array>
#include <charconv>
#include <stdexcept>
#include <utility>

namespace nyra::standin {
namespace {

constexpr std::uint32_t kStillActive = 259;  // an exit code that would read as "still running"

struct ActionSpelling {
    Action action;
    std::string_view name;
    enum { None, Required, Optional } value;
};

constexpr std::array<ActionSpelling, 13> kActions{{
    {Action::Normal, "normal", ActionSpelling::None},
    {Action::Crash, "crash", ActionSpelling::None},
    {Action::Exit, "exit", ActionSpelling::Required},
    {Action::Hang, "hang", ActionSpelling::None},
    {Action::ClosePipe, "close-pipe", ActionSpelling::None},
    {Action::NeverConnect, "never-connect", ActionSpelling::None},
    {Action::GuardError, "error", ActionSpelling::Required},
    {Action::SessionBeforeBundle, "s-before-l", ActionSpelling::None},
    {Action::LongNotice, "long-notice", ActionSpelling::None},
    {Action::Notices, "notices", ActionSpelling::Optional},
    {Action::StallBundle, "stall-l", ActionSpelling::None},
    {Action::Modification, "modified", ActionSpelling::None},
    {Action::Blocked, "blocked", ActionSpelling::None},
}};

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A 32-bit number in decimal or "0x" hexadecimal, within [minimum, maximum].
std::uint32_t number(std::string_view item, std::string_view text, std::uint32_t minimum, std::uint32_t maximum) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum) {
        throw std::invalid_argument("scenario item '" + std::string(item) + "' needs a number from " +
                                    std::to_string(minimum) + " to " + std::to_string(maximum));
    }
    return value;
}

std::string hex(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xFu];
    return text;
}

}  // namespace

std::string_view actionName(Action action) {
    for (const auto& spelling : kActions) {
        if (spelling.action == action) return spelling.name;
    }
    return "normal";
}

bool Scenario::becomesReady() const {
    switch (action) {
    case Action::NeverConnect:
    case Action::GuardError:
    case Action::SessionBeforeBundle:
    case Action::StallBundle:
        return false;
    default:
        return true;
    }
}

Scenario parseScenario(std::string_view text) {
    Scenario scenario;
    bool actionSeen = false;
    bool closeSeen = false, afterSeen = false, keepAliveSeen = false, trafficSeen = false;
    const auto once = [](bool& seen, std::string_view name) {
        if (std::exchange(seen, true)) {
            throw std::invalid_argument("scenario option '" + std::string(name) + "' given twice");
        }
    };
    if (trimmed(text).empty()) return scenario;

    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view item = trimmed(text.substr(0, comma));
        const std::size_t colon = item.find(':');
        const std::string_view name = item.substr(0, colon);
        const std::optional<std::string_view> value =
            colon == std::string_view::npos ? std::nullopt : std::optional(item.substr(colon + 1));
        if (item.empty()) throw std::invalid_argument("empty scenario item");

        if (name == "close-after") {
            once(closeSeen, name);
            scenario.closeAfterMs = number(item, value.value_or(""), 0, 86400000);
        } else if (name == "after") {
            once(afterSeen, name);
            scenario.afterMs = number(item, value.value_or(""), 0, 600000);
        } else if (name == "keepalive") {
            once(keepAliveSeen, name);
            scenario.keepAliveMs = number(item, value.value_or(""), 50, 19000);
        } else if (name == "traffic") {
            once(trafficSeen, name);
            scenario.trafficBytes = number(item, value.value_or(""), 0, 64u << 20);
        } else if (name == "item-mall") {
            if (value) throw std::invalid_argument("scenario option 'item-mall' takes no value");
            if (std::exchange(scenario.itemMallRequests, true)) {
                throw std::invalid_argument("scenario option 'item-mall' given twice");
            }
        } else {
            const ActionSpelling* spelling = nullptr;
            for (const auto& candidate : kActions) {
                if (candidate.name == name) spelling = &candidate;
            }
            if (spelling == nullptr) {
                throw std::invalid_argument("unknown scenario item '" + std::string(item) + "'");
            }
            if (std::exchange(actionSeen, true)) {
                throw std::invalid_argument("a scenario has one action; '" + std::string(item) + "' is a second");
            }
            if (spelling->value == ActionSpelling::None && value) {
                throw std::invalid_argument("scenario action '" + std::string(name) + "' takes no value");
            }
            if (spelling->value == ActionSpelling::Required && !value) {
                throw std::invalid_argument("scenario action '" + std::string(name) + "' needs a value");
            }
            scenario.action = spelling->action;
            if (spelling->action == Action::Exit) {
                scenario.code = number(item, *value, 0, UINT32_MAX);
                if (scenario.code == kStillActive) {
                    throw std::invalid_argument("exit code 259 reads as a running process; choose another");
                }
            } else if (spelling->action == Action::GuardError) {
                scenario.code = number(item, *value, 0, UINT32_MAX);
            } else if (spelling->action == Action::Notices) {
                scenario.code = value ? number(item, *value, 1, 1000) : kDefaultNotices;
            }
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return scenario;
}

std::string Scenario::describe() const {
    std::string text(actionName(action));
    switch (action) {
    // Appended piece by piece: GCC 12 misreads `literal + std::string` here (-Wrestrict).
    case Action::Exit:
        text += ':';
        text += hex(code);
        break;
    case Action::GuardError:
    case Action::Notices:
        text += ':';
        text += std::to_string(code);
        break;
    default: break;
    }
    const auto option = [&text](std::string_view name, std::uint32_t value) {
        text += ',';
        text += name;
        text += ':';
        text += std::to_string(value);
    };
    if (closeAfterMs) option("close-after", *closeAfterMs);
    option("after", afterMs);
    option("keepalive", keepAliveMs);
    option("traffic", trafficBytes);
    if (itemMallRequests) text += ",item-mall";
    return text;
}

}  // namespace nyra::standin
