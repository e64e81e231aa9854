#pragma once
// The tests compare what the player would read: the message of the exception an action throws.
#include <exception>
#include <string>
#include <utility>

namespace nyra::test {

// The text of the exception `action` throws, or "<no failure>" when it returns.
template <typename Action>
std::string failureOf(Action&& action) {
    try {
        std::forward<Action>(action)();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no failure>";
}

}  // namespace nyra::test
