#pragma once
// The game-traffic relay behind "GET /client/v1" with a WebSocket upgrade: the backend's checks
// (Origin, session cookie, CSRF, the game token of the start operation, the channel), logical
// streams to the game-server stand-ins that outlive their WebSockets, resumption with exact
// offsets, acknowledgements both ways, and the relay's fault injection. All stream state lives on
// one I/O thread; the HTTP connection threads only run the checks and hand the upgraded TLS
// connection over.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/service/faults.h"
#include "tools/service/game_servers.h"
#include "tools/service/http_types.h"
#include "tools/service/store.h"

namespace boost::asio {
class io_context;
}

namespace nyra::service {

struct RelaySettings {
    std::string origin = "https://localhost";  // the only accepted Origin
    // A resumable stream without a live WebSocket ends after this long (its id then answers 410).
    std::int64_t graceSeconds = 60;
    // Game bytes kept for resending until the launcher acknowledges them; the game server is not
    // read while it is full.
    std::size_t resendLimit = 8u << 20;
    // Bytes from the launcher not yet written to the game server; the WebSocket is not read while
    // it is full.
    std::size_t toGameLimit = 8u << 20;
    std::size_t streamLimit = 1024;  // live logical streams; more are answered 503
};

inline constexpr std::size_t kRelayMessageLimit = 32768;  // game bytes per binary message sent
inline constexpr std::size_t kRelayReadLimit = 65536;     // largest message accepted from a launcher

// An acknowledgement's text: 1 to 20 decimal digits whose value fits 64 bits; nothing else.
std::optional<std::uint64_t> parseAcknowledgement(std::string_view text);
// Whether to acknowledge now: a change of more than 32767 bytes, or any change after 1000 ms, or
// a keep-alive after 3000 ms without one.
bool acknowledgementDue(std::uint64_t received, std::uint64_t lastSent, std::int64_t msSinceLast);
// Where a seeded drop falls on the `use`-th WebSocket a rule applies to: 1 to 2 * mean - 1 bytes,
// `mean` on average, the same for the same seed and use.
std::uint64_t seededDropPoint(std::uint64_t seed, std::uint64_t use, std::uint64_t mean);

class Relay {
public:
    using Pause = std::function<bool(int milliseconds)>;  // false when the service stops

    Relay(Store& store, FaultRegistry& faults, RelaySettings settings);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // The connections of the service's TLS listener are created on this context, so that an
    // upgraded one continues here with asynchronous I/O.
    boost::asio::io_context& context();

    void start(std::array<std::uint16_t, kGameChannelCount> gamePorts);
    // Ends every stream and WebSocket and joins the I/O thread; idempotent.
    void stop();

    // One upgrade request: a refusal, or 101 whose upgrade hook takes the connection over.
    HttpResponse handle(const HttpRequest& request, const Pause& pause);

    // Counters: streams, open, resumptions, drops (by kind), disconnects, closes, expiries, bytes.
    nlohmann::json state() const;

    struct Impl;  // relay.cpp only

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace nyra::service
