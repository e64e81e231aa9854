#pragma once
// The relay's sockets on Windows Sockets 2.2: the loopback listeners the game connects to and the
// game's accepted connections.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/win/handles.h"
#include "relay/relay_platform.h"

namespace nyra {

// Windows Sockets 2.2, started for as long as the object lives. "Rede do Windows indisponivel."
// when it cannot be started.
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

// An accepted connection. The socket is released exactly once, by close() or the destructor,
// whichever comes first; shutdownBoth() may race with either. A blocked recv or send does not
// return when the socket is shut down from another thread, so the socket is non-blocking and the
// waits run in 50-ms slices that watch for the shutdown: a stop never waits for the game.
class WinsockGameSocket final : public GameSocket {
public:
    explicit WinsockGameSocket(win::UniqueSocket socket);
    ~WinsockGameSocket() override { close(); }
    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override;
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override;
    std::optional<std::size_t> writeNow(std::span<const std::uint8_t> bytes) override;
    void shutdownBoth() noexcept override;
    void close() noexcept override;

private:
    // Waits until the socket is ready for `events`; false once it was shut down or polling failed.
    bool waitFor(short events) const;

    std::atomic<SOCKET> socket_;
    std::atomic<bool> shut_{false};
};

// TCP on 127.0.0.1, port 0, SO_EXCLUSIVEADDRUSE, backlog 8. Accepted connections have
// TCP_NODELAY set: game packets are small and wait for nothing.
class WinsockListener final : public GameListener {
public:
    // Throws "Conexao local indisponivel.", "Protecao da conexao local indisponivel.", "Nao foi
    // possivel abrir a entrada local do jogo." or "Porta local indisponivel.".
    WinsockListener();
    ~WinsockListener() override { shut(); }
    std::uint16_t port() const override { return port_; }
    std::optional<AcceptedConnection> accept() override;
    void shut() noexcept override;

private:
    std::atomic<SOCKET> socket_{INVALID_SOCKET};
    std::uint16_t port_ = 0;
};

}  // namespace nyra
