#pragma once
// nyra::Http::GameStream: one secure WebSocket to the backend's relay ("GET /client/v1" upgraded),
// carrying one game connection's bytes. The WebSocket handle is taken by atomic exchange, so any
// thread may close it to force a resumption and it is closed exactly once.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/http.h"
#include "platform/win/handles.h"
#include "relay/relay_platform.h"

namespace nyra {

class Http::GameStream final : public RelayStream {
public:
    // One attempt with these request header lines (the tunnel's base headers, the channel and the
    // resume headers). Throws HttpError with the status when the server answers anything but 101,
    // std::runtime_error with the player's message for every other failure; `cancel` breaks the
    // attempt from another thread while it connects, sends or waits for the answer.
    static std::shared_ptr<GameStream> open(const std::string& headers, OpeningCancel& cancel);
    // An attempt nothing cancels.
    static std::shared_ptr<GameStream> open(const std::string& headers) {
        OpeningCancel never;
        return open(headers, never);
    }

    ~GameStream() override;
    GameStream(const GameStream&) = delete;
    GameStream& operator=(const GameStream&) = delete;

    const std::string& resumeId() const override { return resumeId_; }
    std::uint64_t resumeReceived() const override { return resumeReceived_; }
    std::optional<Received> receive(std::span<std::uint8_t> buffer) override;
    std::optional<std::uint16_t> closeStatus() override;
    bool sendBinary(std::span<const std::uint8_t> bytes) override;
    bool sendText(std::string_view text) override;
    bool isOpen() const override { return webSocket_.load() != nullptr; }
    void closeNormally() noexcept override;
    void answerClose(std::uint16_t status) noexcept override;
    void abort() noexcept override;

private:
    GameStream() = default;
    void sendClose(std::uint16_t status) noexcept;

    win::UniqueInternetHandle session_;
    win::UniqueInternetHandle connection_;
    std::atomic<HINTERNET> webSocket_{nullptr};
    std::atomic<bool> closeSent_{false};
    std::string resumeId_;
    std::uint64_t resumeReceived_ = 0;
};

}  // namespace nyra
