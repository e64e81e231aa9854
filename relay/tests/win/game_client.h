#pragma once
// The game's side of a relayed connection, for the Windows-side tests and the benchmark: a
// blocking loopback TCP client that speaks the game-server stand-ins' tiny protocol.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "tools/common/seeded_bytes.h"
#include "tools/common/timed_messages.h"

namespace nyra::test {

// What the stand-ins do to echoed bytes.
inline constexpr std::uint8_t kEchoTransform = 0xA5;

class GameClient {
public:
    // Connects to 127.0.0.1:port; a receive waits at most `timeoutMs` (0: forever).
    explicit GameClient(std::uint16_t port, DWORD timeoutMs = 30000) {
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) throw std::runtime_error("socket");
        BOOL noDelay = TRUE;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::closesocket(socket_);
            throw std::runtime_error("connect");
        }
    }
    ~GameClient() { close(); }
    GameClient(const GameClient&) = delete;
    GameClient& operator=(const GameClient&) = delete;

    // 'E': everything sent afterwards comes back XOR kEchoTransform.
    bool startEcho() { return sendAll(std::vector<std::uint8_t>{'E'}); }
    // 'S': the server sends `length` bytes of the seeded sequence.
    bool startSource(std::uint64_t seed, std::uint64_t length) {
        std::vector<std::uint8_t> command{'S'};
        for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(seed >> (8 * i)));
        for (int i = 0; i < 8; ++i) command.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
        return sendAll(command);
    }

    // 'T': stamped messages at a rate and receipts (tools/common/timed_messages.h).
    bool startTimed(const tools::timed::Open& open) { return sendAll(tools::timed::encodeOpen(open)); }

    bool sendAll(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const int sent = ::send(socket_, reinterpret_cast<const char*>(bytes.data()),
                                    static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)), 0);
            if (sent <= 0) return false;
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
        }
        return true;
    }
    // Some bytes: their count, 0 when the relay closed the connection, nullopt on an error or time-out.
    std::optional<std::size_t> receive(std::span<std::uint8_t> buffer) {
        const int got = ::recv(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        if (got < 0) return std::nullopt;
        return static_cast<std::size_t>(got);
    }
    // Exactly buffer.size() bytes; false when the connection ended or timed out first.
    bool receiveAll(std::span<std::uint8_t> buffer) {
        while (!buffer.empty()) {
            const auto got = receive(buffer);
            if (!got || *got == 0) return false;
            buffer = buffer.subspan(*got);
        }
        return true;
    }
    // True when the relay ends the connection (a read of 0 or a reset) within the receive time-out.
    bool endsWithoutData() {
        std::uint8_t byte = 0;
        const auto got = receive({&byte, 1});
        return got == std::size_t{0} || (!got && ::WSAGetLastError() != WSAETIMEDOUT);
    }
    void shutdownSending() { ::shutdown(socket_, SD_SEND); }
    void close() {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace nyra::test
