#pragma once
// The portable rules of starting the game: the start request, the answer's tokens, the multi-client
// slot names, the game's environment block and command line, the package key material and the
// launch outcome record.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/text.h"

namespace nyra {

inline constexpr std::string_view kGameTransport = "cloudflare-ws-v1";
inline constexpr std::string_view kGameExecutable = "game.bin";
inline constexpr std::string_view kGameArgument = "Tollwin";

// "game.bin" and "game_.exe" (any case) both count as a running game.
bool isGameExecutableName(std::u16string_view name) noexcept;

// The body of "/api/launcher/start".
nlohmann::json startRequest(const std::string& packageId, const nlohmann::json& files, const std::string& hwid,
                            const std::string& hwidInfo);

// The names of the multi-client mutexes to try, in order: "Global\NyraBrasil_MC_" + the first 16
// characters of the hardware identity + "_" + i for i = 0..limit-1. Empty when the identity is
// not 64 characters long or the limit is outside 1..10 (no slot can be claimed).
std::vector<std::u16string> multiClientSlotNames(std::string_view hwid, std::int64_t limit);
// "multi_client_limit" of the start answer: 1 when absent; a member that is not an integer
// counts as out of range.
std::int64_t multiClientLimit(const nlohmann::json& startAnswer);

// Members of the backend's answers, read without ever showing the JSON library's own texts.
// A text member, or the empty text when it is absent or not a text.
std::string textMember(const nlohmann::json& answer, std::string_view name);
// The start answer's "token" moved into wiping storage, the answer's copy wiped; "Sessao de jogo
// invalida." when it is absent or not a text.
SecretString takeSessionToken(nlohmann::json& startAnswer);
// The start answer's "transport" is the game's transport.
bool confirmsGameTransport(const nlohmann::json& startAnswer);
// The start answer's "game_login" (an empty object when absent or not an object); the answer's
// copy is wiped.
nlohmann::json takeGameLogin(nlohmann::json& startAnswer);
// The compact text of an answer's "itemmall" object; "{}" when absent or not an object.
std::string itemMallText(const nlohmann::json& answer);
// The "ticket" of the news-ticket answer; "Resposta do servidor invalida." when it is absent or
// not a text.
const std::string& newsTicket(const nlohmann::json& answer);

// The game-login members the launcher adds from its optional calls. The address carries the
// ticket: built in one buffer, so no copy of it is released unwiped.
std::string newsPageAddress(std::string_view newsOrigin, std::string_view ticket);
// The VIP token passed to the game: the token when shorter than 257 characters, else empty.
std::string vipTokenForGame(const nlohmann::json& answer);
// The voice token, only when exactly 43 characters long.
std::optional<std::string> voiceTokenForGame(const nlohmann::json& answer);

// 64 bytes: the package key, then the 32 bytes of the preparation's index hash ("Indice de pacote
// invalido." when the hex text does not give exactly 32 bytes). The key is not kept by the caller.
SecretBytes packageKeyMaterial(std::span<const std::uint8_t, 32> key, std::string_view indexSha256Hex);

// The game's environment block, from the launcher's own "NAME=value" entries: every entry whose
// name begins with "NYRA_GUARD_" removed, the pipe and secret added, sorted by name case-insensitively as
// Windows requires, each entry ended by a zero character and one more at the end. The block holds
// the secret: it wipes itself when released.
using EnvironmentBlock = std::vector<char16_t, WipingAllocator<char16_t>>;
EnvironmentBlock gameEnvironmentBlock(const std::vector<std::u16string>& ownEntries, std::u16string_view pipeName,
                                      const SecretString& secret);

// The compact game login handed to the guard, serialised into wiping storage; the login's
// "ticket" is wiped afterwards.
SecretBytes sessionBytesOf(nlohmann::json& login);

// `"<engine>\game.bin" Tollwin`, from the engine folder's full path.
std::u16string gameCommandLine(std::u16string_view engineFolder);

// The affinity the game runs with: processor 0 removed when the mask holds more than three
// processors including processor 0; otherwise unchanged.
std::uint64_t gameAffinity(std::uint64_t processMask) noexcept;

// The launch outcome record kept in the protected diagnostics.
struct LaunchOutcome {
    std::string packageId;
    std::string outcome;  // "starting", "closed", "blocked"
    std::string reason;
    bool guardReady = false;
    std::int32_t channelFailure = 0;
    std::int32_t guardStartupFailure = 0;
    std::uint32_t exitCode = 259;
    std::uint64_t elapsedMs = 0;
    std::uint32_t pid = 0;
};
nlohmann::json launchOutcomeRecord(const LaunchOutcome& outcome);

}  // namespace nyra
