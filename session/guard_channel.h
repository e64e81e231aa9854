#pragma once
// The guard channel's rules: the private, one-time channel between the launcher and the game's
// protection component (the guard). The guard connects from the game process, proves itself with
// the channel secret, then takes the package key material, the translation bundle and the game
// login once each and in that order, and afterwards reports readiness, statistics and notices and
// asks for the item-mall data until it ends the channel. The pipe itself is reached through
// `GuardTransport`, so every byte of the exchange is tested natively against a scripted stream.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/text.h"

namespace nyra {

// Why the server stopped (the channel's result code, kept in `GuardChannelState::resultCode`).
enum class GuardResult : std::int32_t {
    NoClient = 1,                // no client connected in time
    WrongClient = 2,             // the client is not the game process started for this channel
    SecretRefused = 3,           // the 64-byte secret did not arrive in time or did not match
    SilentOrBroken = 4,          // no command byte in time, or the pipe broke
    ModificationReported = 5,    // 'I'
    BlockedReported = 6,         // 'B'
    KeyTransferFailed = 7,       // 'K'
    SessionTransferFailed = 8,   // 'S'
    NoticeTransferFailed = 9,    // 'M' (also a length outside 1..300)
    DirectReadTransferFailed = 10,  // 'V'
    ProtocolViolation = 11,      // out of order, repeated, unknown, or 'E' without its code
    PingTransferFailed = 12,     // 'G'
    GuardError = 13,             // 'E' with its code
    ItemMallTransferFailed = 14,  // 'T' (also an item-mall text over 65536 bytes)
    BundleTransferFailed = 15,   // 'L'
    ExtraTransferFailed = 16,    // 'X'
};

constexpr std::int32_t resultCodeOf(GuardResult result) noexcept { return static_cast<std::int32_t>(result); }

// The guard's reasons for refusing to go on ('E'), as the player reads them; any code outside the
// known ones gets the general message.
std::string guardErrorMessage(std::int32_t code);

// Everything the server thread and the game session share. The server writes the flags and
// counters; the session reads them (a result code is valid once `done` is set). The notices and
// the item-mall text each have their own mutex, held only while copying. The material (key,
// bundle, session bytes) belongs to the server while it runs: the session fills it before the
// server starts and wipes what is left only after the server thread has been joined.
struct GuardChannelState {
    static constexpr std::size_t kNoticeLimit = 20;        // queued notices; later ones are dropped
    static constexpr std::size_t kKeyMaterialSize = 64;    // package key, then the index hash
    static constexpr std::size_t kItemMallLimit = 65536;   // the longest item-mall text sent by 'T'

    explicit GuardChannelState(std::atomic<bool>& stopFlag) noexcept : stop(stopFlag) {}
    GuardChannelState(const GuardChannelState&) = delete;
    GuardChannelState& operator=(const GuardChannelState&) = delete;

    std::atomic<std::int32_t> resultCode{0};
    std::atomic<bool> done{false};  // notified (`done.wait`) when set
    std::atomic<std::int32_t> guardErrorCode{0};
    std::atomic<bool> modificationReported{false};
    std::atomic<bool> blockedReported{false};
    std::atomic<bool> guardReady{false};
    std::atomic<std::uint64_t> directReadOpens{0};
    std::atomic<std::uint64_t> directReadBytes{0};

    SecretBytes packageKeyMaterial;  // sent by 'K', then wiped
    SecretBytes translationBundle;   // sent by 'L'
    SecretBytes sessionBytes;        // the compact game login; sent by 'S', then wiped

    // The launcher's stop flag; the server returns at the top of its loop once it is set.
    std::atomic<bool>& stop;

    // Appends a notice unless kNoticeLimit are already queued; false when it was dropped.
    bool addNotice(std::string text);
    // Every queued notice, oldest first; the queue is left empty.
    std::vector<std::string> takeNotices();

    // The session replaces the item-mall data after each heartbeat; 'T' sends a copy.
    void setItemMall(std::string text);
    std::string itemMall() const;

    // Stores the result and sets done (in that order, so a reader that sees done sees the code).
    void finish(GuardResult result) noexcept;

    // Overwrites the key material, the bundle and the session bytes with zeros.
    void wipeMaterial() noexcept;

private:
    std::mutex noticesLock_;
    std::vector<std::string> notices_;
    mutable std::mutex itemMallLock_;
    std::string itemMall_;
};

// The pipe as the server uses it. No call throws; every failure is `false` (or no process id).
class GuardTransport {
public:
    virtual ~GuardTransport() = default;
    // True once a client is connected; waits at most `timeoutMs`.
    virtual bool waitForClient(std::uint32_t timeoutMs) = 0;
    // The connected client's process id, when the system can tell.
    virtual std::optional<std::uint32_t> clientProcessId() = 0;
    // Exactly `buffer.size()` bytes; each transfer the platform makes waits at most `timeoutMs`.
    virtual bool read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) = 0;
    virtual bool write(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs) = 0;
};

// The server's waits, in milliseconds; tests shorten them.
struct GuardTimeouts {
    std::uint32_t connectMs = 20000;      // for the client to connect
    std::uint32_t secretMs = 5000;        // for the 64-byte secret
    std::uint32_t commandMs = 20000;      // for each command byte
    std::uint32_t transferMs = 5000;      // for each transfer of a command's data
    std::uint32_t bundleChunkMs = 30000;  // for each transfer of the translation bundle
};

// The channel server: waits for the client, checks its process id against `gameProcessId` and
// its secret against `secret` (wiped once the guard has proved it), then answers commands until
// the guard ends the channel, a transfer fails or the stop flag is seen. Stores the outcome in
// `state` (result code, then done; nothing when it returns for the stop flag). Never throws.
void serveGuardChannel(GuardTransport& transport, GuardChannelState& state, std::uint32_t gameProcessId,
                       SecretString& secret, const GuardTimeouts& timeouts = {}) noexcept;

// A channel's name and secret; never reused.
struct GuardChannelParameters {
    std::string pipeName;  // "\\.\pipe\NyraBrasil-" + 32 lowercase hex digits
    SecretString secret;   // 64 lowercase hex digits
};

inline constexpr std::string_view kGuardPipePrefix = "\\\\.\\pipe\\NyraBrasil-";
inline constexpr std::size_t kGuardSecretLength = 64;

// The parameters from 16 random bytes (the name) and 32 random bytes (the secret), each byte as
// two lowercase hex digits, high nibble first.
GuardChannelParameters guardChannelParameters(std::span<const std::uint8_t, 16> nameBytes,
                                              std::span<const std::uint8_t, 32> secretBytes);

}  // namespace nyra
