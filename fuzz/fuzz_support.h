#pragma once
// What every fuzz target shares: the outcomes a parser of outside bytes may have. It either
// accepts the input or throws the player's message (std::runtime_error) or the JSON library's own
// error for bad input (parse, type and missing-member errors); anything else that escapes (the
// library's iterator or internal errors, std::out_of_range, std::length_error, std::bad_alloc, a
// bare std::exception) is a finding, reported as a crash.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace nyra::fuzz {

[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}

// Runs `step`; the documented failures are correct outcomes, every other exception is a finding.
template <class Step>
bool accepts(Step&& step) {
    try {
        step();
        return true;
    } catch (const nlohmann::json::parse_error&) {
        return false;  // not JSON (or CBOR), or nested too deep
    } catch (const nlohmann::json::type_error&) {
        return false;  // a member of the wrong type, text that is not UTF-8
    } catch (const nlohmann::json::out_of_range&) {
        return false;  // a missing member, a number out of range
    } catch (const std::runtime_error& error) {
        if (typeid(error) == typeid(std::range_error) || typeid(error) == typeid(std::overflow_error) ||
            typeid(error) == typeid(std::underflow_error)) {
            finding(error.what());
        }
        if (*error.what() == '\0') finding("an error without a message");
        return false;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fuzz finding: %s: %s\n", typeid(error).name(), error.what());
        std::abort();
    }
}

// `step` must fail with exactly `message`.
template <class Step>
void expectMessage(std::string_view message, Step&& step) {
    try {
        step();
    } catch (const std::runtime_error& error) {
        if (error.what() == message) return;
        std::fprintf(stderr, "fuzz finding: expected \"%.*s\", got \"%s\"\n", static_cast<int>(message.size()),
                     message.data(), error.what());
        std::abort();
    }
    finding("a refusal reported as success");
}

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline void check(bool condition, const char* what) {
    if (!condition) finding(what);
}

// The deepest nesting of arrays and objects in a parsed document, measured without recursion: the
// nesting scan that runs before every parse must never let a deeper document through.
inline std::size_t depthOf(const nlohmann::json& document) {
    std::size_t deepest = 0;
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&document, 0}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) continue;
        deepest = std::max(deepest, depth + 1);
        for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
    }
    return deepest;
}

inline void checkNestingBound(const nlohmann::json& document) {
    check(depthOf(document) <= 64, "a document deeper than the nesting limit got through");
}

}  // namespace nyra::fuzz
