#pragma once
// What the player reads for a failure. The launcher's own failures are std::runtime_error (or
// HttpError and the other classes derived from it) whose text is the player's message; whatever
// a library throws (the JSON library's parse, type and member errors, allocation and system
// errors, logic errors) carries English detail that never reaches the screen.
#include <exception>
#include <string>

namespace nyra {

// An answer, record or document the JSON library could not read as it must be.
inline constexpr const char* kInvalidServerResponse = "Resposta do servidor invalida.";

// The message a status line, notice or message box shows for `failure`: its own text when it is
// one of the launcher's messages; kInvalidServerResponse for any error of the JSON library; the
// unexpected-failure text (flow_texts::kUnexpected) for anything else.
std::string playerMessage(const std::exception& failure);

}  // namespace nyra
