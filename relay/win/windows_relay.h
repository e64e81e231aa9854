#pragma once
// The relay on Windows: Windows Sockets listeners, WinHTTP WebSocket streams to the backend, the
// TCP owner table for admission and the system clock.
#include <memory>
#include <string>

#include "core/win/shell_adapters.h"
#include "relay/game_tunnel.h"
#include "relay/relay_platform.h"
#include "relay/win/winsock.h"

namespace nyra {

class WindowsRelayPlatform final : public RelayPlatform {
public:
    // Starts Windows Sockets 2.2 ("Rede do Windows indisponivel."). The relay's waits and time
    // limits follow `clock` (the system's by default; tests run time faster).
    WindowsRelayPlatform() : clock_(&systemClock_) {}
    explicit WindowsRelayPlatform(Clock& clock) : clock_(&clock) {}
    std::unique_ptr<GameListener> listen() override;
    std::shared_ptr<RelayStream> openStream(const std::string& headers, OpeningCancel& cancel) override;
    ConnectionOwner connectionOwner(std::uint32_t gameProcessId, const LoopbackConnection& connection) override;
    Clock& clock() override { return *clock_; }

private:
    WinsockSession network_;
    SystemClock systemClock_;
    Clock* clock_;
};

// The game session's relay: three listeners open and accepting, streams to the backend API host.
// Throws the player's message of the step that failed.
std::unique_ptr<GameTunnel> openGameTunnel(std::string baseHeaders);

}  // namespace nyra
