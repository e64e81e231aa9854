#pragma once
// The guard channel of one game session on Windows: created before the game starts (new name and
// secret, the private pipe waiting for its client), served on its own thread once the game's
// process id is known, and shut down (I/O cancelled, client disconnected, thread joined, material
// wiped) when the session ends. Nothing of a channel is reused.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "session/guard_channel.h"
#include "session/supervision.h"

namespace nyra {

class GuardPipe;

// A new pipe name and secret from the system-preferred random generator (BCryptGenRandom);
// "Gerador de seguranca indisponivel." when it fails.
GuardChannelParameters newGuardChannelParameters();

class GuardChannel {
public:
    // Creates the channel with the material it hands to the guard: the 64 bytes of package key
    // material, the translation bundle (copied into wiping storage; the vector is wiped) and the
    // compact game login. Throws the player's messages: "Gerador de seguranca indisponivel.",
    // "Canal privado indisponivel.", "Nao foi possivel criar o canal do jogo.", "Canal do jogo
    // indisponivel.". `stop` is the launcher's stop flag; `timeouts` are shortened only by tests.
    GuardChannel(SecretBytes packageKeyMaterial, std::vector<std::uint8_t> translationBundle, SecretBytes sessionBytes,
                 std::string itemMall, std::atomic<bool>& stop, const GuardTimeouts& timeouts = {});
    // shutdown()
    ~GuardChannel();
    GuardChannel(const GuardChannel&) = delete;
    GuardChannel& operator=(const GuardChannel&) = delete;

    // What the game's environment carries (NYRA_GUARD_PIPE, NYRA_GUARD_SECRET). Read the secret
    // before start(): the server wipes it once the guard has proved it knows it.
    const std::u16string& pipeName() const noexcept { return pipeName_; }
    const SecretString& secret() const noexcept { return secret_; }

    // Serves the channel on its own thread for the game with this process id. Once only
    // (std::logic_error otherwise); "Canal do jogo indisponivel." when the thread cannot start.
    void start(std::uint32_t gameProcessId);

    // Cancels the pipe's I/O and disconnects the client, waits for the server thread, closes the
    // pipe and wipes the material and the secret. Idempotent; the state stays readable afterwards.
    void shutdown() noexcept;

    // True once the server thread has returned (with a result, or for the stop flag); waits at
    // most `timeout`. The session polls `state().done` instead; tests wait here.
    bool waitForServer(std::chrono::milliseconds timeout);

    // Flags, counters, notices and the item-mall data shared with the server.
    GuardChannelState& state() noexcept { return state_; }
    const GuardChannelState& state() const noexcept { return state_; }

private:
    GuardChannelState state_;
    GuardTimeouts timeouts_;
    std::u16string pipeName_;
    SecretString secret_;
    std::unique_ptr<GuardPipe> pipe_;
    bool started_ = false;
    std::thread server_;
    std::mutex endLock_;
    std::condition_variable ended_;
    bool serverEnded_ = false;
};

// The channel as the session's supervision reads it.
class GuardChannelSupervision final : public GuardChannelView {
public:
    explicit GuardChannelSupervision(GuardChannel& channel) noexcept : channel_(channel) {}

    bool done() const override { return channel_.state().done.load(); }
    std::int32_t resultCode() const override { return channel_.state().resultCode.load(); }
    std::int32_t guardErrorCode() const override { return channel_.state().guardErrorCode.load(); }
    bool modificationReported() const override { return channel_.state().modificationReported.load(); }
    bool blockedReported() const override { return channel_.state().blockedReported.load(); }
    bool guardReady() const override { return channel_.state().guardReady.load(); }
    std::string guardErrorMessage(std::int32_t code) const override { return nyra::guardErrorMessage(code); }
    std::vector<std::string> takeNotices() override { return channel_.state().takeNotices(); }
    void setItemMall(std::string text) override { channel_.state().setItemMall(std::move(text)); }
    void close() noexcept override { channel_.shutdown(); }

private:
    GuardChannel& channel_;
};

}  // namespace nyra
