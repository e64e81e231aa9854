#pragma once
// A backend response that arrived with a status the caller did not accept. The text is the
// player's message; callers branch on `status` (below 500 ends retries, 401 signs out, ...).
#include <cstdint>
#include <stdexcept>
#include <string>

namespace nyra {

class HttpError : public std::runtime_error {
public:
    HttpError(const std::string& message, std::int32_t statusCode)
        : std::runtime_error(message), status(statusCode) {}

    std::int32_t status;
};

}  // namespace nyra
