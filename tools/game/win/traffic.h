#pragma once
// The game's traffic: one connection per channel to the local port the launcher's relay listens
// on, speaking the game-server stand-ins' protocol (tools/service/game_servers.h), every byte
// checked (ChannelCheck), the counts reported under "traffic" in the result record. After the
// opening exchange, each channel keeps its connection and echoes a small round now and then, as
// a game keeps talking to its servers.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/win/handles.h"
#include "tools/game/win/result_record.h"

namespace nyra::standin {

class GameTraffic {
public:
    // `seededBytes` asked for on each channel (half as many sent for the echo); a small echo round
    // every `roundMs` afterwards.
    GameTraffic(ResultRecord& record, std::uint32_t seededBytes, std::uint32_t roundMs);
    ~GameTraffic();
    GameTraffic(const GameTraffic&) = delete;
    GameTraffic& operator=(const GameTraffic&) = delete;

    // Connects the channels whose port is not 0; only the first call does anything.
    void start(const std::array<std::uint16_t, 3>& ports);
    // Ends every connection and waits for the channels' threads. Idempotent.
    void stop() noexcept;

private:
    void runChannel(std::size_t channel, std::uint16_t port) noexcept;

    ResultRecord& record_;
    const std::uint32_t seededBytes_;
    const std::uint32_t roundMs_;
    win::UniqueHandle stopEvent_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> started_{false};
    std::mutex socketsMutex_;
    std::array<SOCKET, 3> sockets_{INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET};
    std::array<std::thread, 3> threads_;
};

}  // namespace nyra::standin
