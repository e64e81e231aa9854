#include "core/player_message.h"

#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/flow_texts.h"

namespace nyra {

std::string playerMessage(const std::exception& failure) {
    if (dynamic_cast<const nlohmann::json::exception*>(&failure) != nullptr) return kInvalidServerResponse;
    // The standard library's own runtime errors carry its wording, not ours.
    const bool ours = dynamic_cast<const std::runtime_error*>(&failure) != nullptr &&
                      dynamic_cast<const std::system_error*>(&failure) == nullptr &&
                      dynamic_cast<const std::range_error*>(&failure) == nullptr &&
                      dynamic_cast<const std::overflow_error*>(&failure) == nullptr &&
                      dynamic_cast<const std::underflow_error*>(&failure) == nullptr;
    if (!ours || *failure.what() == '\0') return flow_texts::kUnexpected;
    return failure.what();
}

}  // namespace nyra
