#pragma once
// A launcher-like client of the relay for the tests: Beast's WebSocket over TLS with blocking
// calls, one logical stream, and the launcher's resend buffer, acknowledgements and resumption in
// their simplest form. A watchdog cuts a read that waits longer than 20 s, so a fault that
// silences the server fails a test instead of hanging it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/service/tests/harness.h"

namespace nyra::service::testing {

struct RelayCredentials {
    std::string origin = "https://localhost";
    std::string csrf;
    std::string session;
    std::string gameToken;
};

// Starts a game session (op 7) for a signed-in client; the credentials its relay streams use.
RelayCredentials startGameSession(BackendClient& client, const FixtureSet& set);

struct UpgradeAnswer {
    unsigned status = 0;
    HeaderList headers;
    const std::string* header(std::string_view name) const;
};

// "S" + seed + length (little-endian): the game server's seeded sequence.
std::string seededRequest(std::uint64_t seed, std::uint64_t length);
// What the echo gives back for `bytes`.
std::string echoed(std::string_view bytes);

class RelayClient {
public:
    RelayClient(std::uint16_t port, RelayCredentials credentials, std::string channel);
    ~RelayClient();
    RelayClient(const RelayClient&) = delete;
    RelayClient& operator=(const RelayClient&) = delete;

    // Origin, Cookie, X-CSRF-Token, Authorization and X-Nyra-Game-Channel, as the launcher sends them.
    HeaderList baseHeaders() const;
    // One upgrade attempt with exactly these headers; on 101 its WebSocket becomes the current one.
    // Status 0: the connection broke before an answer arrived.
    UpgradeAnswer upgrade(const HeaderList& headers);
    // The first stream, asking for resumption when `resumable`; remembers the resume id it got.
    UpgradeAnswer open(bool resumable = true);
    // A resumption from the received count; on 101 it checks the answer as the launcher does and
    // resends what the server lacks (throws when the answer is inconsistent).
    UpgradeAnswer resume();

    // One binary message, kept for resending until acknowledged; false when the WebSocket broke.
    bool send(std::string_view bytes);
    bool acknowledge();  // the received count as a text message
    bool sendText(std::string_view text);
    // One message: game bytes go to `received`; text goes to `texts` and, as an acknowledgement,
    // trims the resend buffer. False when the WebSocket broke or closed (`closeCode` then).
    bool receiveOne();
    // Reads until `received` holds `count` bytes, acknowledging every 32 KiB and resuming after
    // every break.
    void receiveUntil(std::size_t count);
    // Sends `bytes` in messages of at most `piece` bytes, each followed by reading its echo into
    // `received`, resuming after every break.
    void echoLockStep(std::string_view bytes, std::size_t piece);

    void closeNormally();
    bool connected() const { return ws_ != nullptr; }
    int socketFd() const;
    // Keeps the current connection open but stops using it (as a launcher that saw silence).
    void abandon();

    std::string received;
    std::vector<std::string> texts;
    std::string resumeId;
    int resumptions = 0;
    std::optional<std::uint16_t> closeCode;
    std::uint64_t sent = 0;

private:
    struct WebSocket;
    void trim(std::uint64_t acknowledged);
    void resumeOrThrow();

    std::uint16_t port_;
    RelayCredentials credentials_;
    std::string channel_;
    std::unique_ptr<WebSocket> ws_;
    std::vector<std::unique_ptr<WebSocket>> abandoned_;
    std::string resend_;  // sent and not acknowledged
    std::uint64_t ackedBase_ = 0;
    std::uint64_t lastAck_ = 0;
    std::atomic<std::int64_t> deadline_{0};  // steady ms; 0: no blocking read in progress
    std::atomic<int> fd_{-1};
    std::mutex watchdogMutex_;
    std::condition_variable watchdogWake_;
    bool stop_ = false;
    std::thread watchdog_;
};

}  // namespace nyra::service::testing
