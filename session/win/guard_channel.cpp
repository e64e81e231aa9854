#include "session/win/guard_channel.h"

#include <array>
#include <stdexcept>
#include <system_error>

#include "platform/win/cng.h"
#include "session/win/guard_pipe.h"

namespace nyra {

GuardChannelParameters newGuardChannelParameters() {
    std::array<std::uint8_t, 16> name{};
    std::array<std::uint8_t, 32> secret{};
    const struct Zeroed {
        std::span<std::uint8_t> bytes;
        ~Zeroed() { wipeMemory(bytes.data(), bytes.size()); }
    } zeroed{secret};
    win::randomBytes(name);
    win::randomBytes(secret);
    return guardChannelParameters(name, secret);
}

GuardChannel::GuardChannel(SecretBytes packageKeyMaterial, std::vector<std::uint8_t> translationBundle,
                           SecretBytes sessionBytes, std::string itemMall, std::atomic<bool>& stop,
                           const GuardTimeouts& timeouts)
    : state_(stop), timeouts_(timeouts) {
    state_.packageKeyMaterial = std::move(packageKeyMaterial);
    state_.translationBundle.assign(translationBundle.begin(), translationBundle.end());
    wipe(translationBundle);
    state_.sessionBytes = std::move(sessionBytes);
    state_.setItemMall(std::move(itemMall));

    GuardChannelParameters parameters = newGuardChannelParameters();
    pipeName_ = utf8ToUtf16(parameters.pipeName);
    pipe_ = std::make_unique<GuardPipe>(pipeName_);
    secret_ = std::move(parameters.secret);
}

GuardChannel::~GuardChannel() { shutdown(); }

void GuardChannel::start(std::uint32_t gameProcessId) {
    if (started_) throw std::logic_error("the guard channel is served once");
    started_ = true;
    try {
        server_ = std::thread([this, gameProcessId] {
            serveGuardChannel(*pipe_, state_, gameProcessId, secret_, timeouts_);
            {
                const std::lock_guard lock(endLock_);
                serverEnded_ = true;
            }
            ended_.notify_all();
        });
    } catch (const std::system_error&) {
        throw std::runtime_error("Canal do jogo indisponivel.");
    }
}

void GuardChannel::shutdown() noexcept {
    if (pipe_) pipe_->cancel();
    if (server_.joinable()) {
        try {
            server_.join();
        } catch (const std::system_error&) {
            return;  // only a join from the server thread itself fails, and then it still uses all this
        }
    }
    pipe_.reset();  // no second client, ever: the name is gone with the pipe
    state_.wipeMaterial();
    wipe(secret_);
}

bool GuardChannel::waitForServer(std::chrono::milliseconds timeout) {
    std::unique_lock lock(endLock_);
    return ended_.wait_for(lock, timeout, [this] { return serverEnded_; });
}

}  // namespace nyra
