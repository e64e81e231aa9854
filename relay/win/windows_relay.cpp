#include "relay/win/windows_relay.h"

#include "net/win/game_stream.h"
#include "relay/win/tcp_owners.h"

namespace nyra {

std::unique_ptr<GameListener> WindowsRelayPlatform::listen() { return std::make_unique<WinsockListener>(); }

std::shared_ptr<RelayStream> WindowsRelayPlatform::openStream(const std::string& headers, OpeningCancel& cancel) {
    return Http::GameStream::open(headers, cancel);
}

ConnectionOwner WindowsRelayPlatform::connectionOwner(std::uint32_t gameProcessId, const LoopbackConnection& connection) {
    return connectionOwnerOf(gameProcessId, connection);
}

std::unique_ptr<GameTunnel> openGameTunnel(std::string baseHeaders) {
    return std::make_unique<GameTunnel>(std::move(baseHeaders), std::make_shared<WindowsRelayPlatform>());
}

}  // namespace nyra
