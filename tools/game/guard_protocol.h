#pragma once
// The guard's side of the launcher's private channel, as far as it is portable: the command
// bytes, the frames the guard writes, the bounds it puts on what it reads, and the checks of the
// three things the launcher hands over (key material, translation bundle, game login).
// Integers on the wire are little-endian.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nyra::standin {

inline constexpr std::size_t kSecretLength = 64;       // lowercase hex text
inline constexpr std::size_t kKeyMaterialLength = 64;  // package key + index hash
// What the guard accepts to read for a length-prefixed answer; larger announcements are refused
// before a byte of the body is read.
inline constexpr std::uint32_t kBundleLimit = 64u << 20;
inline constexpr std::uint32_t kSessionLimit = 1u << 20;
inline constexpr std::uint32_t kItemMallLimit = 65536;

// The game's server ports named in the login's "network" map, in channel order (login, world,
// zone), and the channel names used in the result record.
inline constexpr std::array<std::string_view, 3> kServerPorts{"6543", "5712", "10166"};
inline constexpr std::array<std::string_view, 3> kChannelNames{"login", "world", "zone"};

std::uint32_t readUint32(std::span<const std::uint8_t, 4> bytes) noexcept;

// 'M', a 16-bit length and the text (at most 65535 bytes: the length must fit its field).
std::vector<std::uint8_t> noticeFrame(std::string_view text);
// 'E' and the 32-bit code.
std::vector<std::uint8_t> errorFrame(std::uint32_t code);
// 'X' and 16 bytes: the keep-alive's counter and the milliseconds since the start.
std::vector<std::uint8_t> keepAliveFrame(std::uint64_t counter, std::uint64_t elapsedMs);
// 'V' and the direct-read statistics (opens, bytes).
std::vector<std::uint8_t> statisticsFrame(std::uint64_t opens, std::uint64_t bytes);

// The secret as the launcher writes it into the environment: 64 characters of lowercase hex.
bool isChannelSecret(std::string_view secret) noexcept;
// The pipe's name: "\\.\pipe\NyraBrasil-" and 32 characters of lowercase hex.
bool isChannelPipeName(std::string_view name) noexcept;

// The translation bundle: "NYRATRB1", a 32-bit count of 1..64 entries, each a 16-bit name length,
// the name ("data/db/T_" ... ".ini", at least 15 bytes), a 32-bit data length of 1..16777216 and
// the data, and nothing after the last entry.
struct BundleCheck {
    bool valid = false;
    std::uint32_t entries = 0;
    std::string problem;  // empty when valid
};
BundleCheck checkBundle(std::span<const std::uint8_t> bundle);

// What the game makes of the login the launcher sends with 'S', for the result record. Values
// that are credentials (the ticket, the VIP and voice tokens, the news ticket) appear only as
// their lengths.
struct LoginCheck {
    bool valid = false;
    std::vector<std::string> problems;
    // The local ports of "6543", "5712", "10166" (0 when missing or unusable).
    std::array<std::uint16_t, 3> ports{};
    nlohmann::json summary;  // {"keys", "username", "network", "news_url_prefix", ...}
};
LoginCheck checkLogin(std::span<const std::uint8_t> session);

}  // namespace nyra::standin
