// The guard channel's command stream as the server sees it: serveGuardChannel driven by a
// scripted pipe whose client bytes are the fuzz input. The first byte chooses the setting:
//   0x01  the client sends the right secret first (otherwise the next 64 bytes are its secret)
//   0x02  the client is another process
//   0x04  the server's writes fail from the write numbered by the second byte on
// The server must end with one of its result codes, never read or write past a command's data,
// queue only notices that are valid UTF-8 and wipe the key and the login once it has sent them.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/text.h"
#include "fuzz/fuzz_support.h"
#include "session/guard_channel.h"

using nyra::fuzz::check;

namespace {

constexpr std::uint32_t kGame = 4242;

class ScriptedPipe final : public nyra::GuardTransport {
public:
    std::span<const std::uint8_t> script;
    std::size_t position = 0;
    bool otherProcess = false;
    std::optional<std::size_t> failWritesFrom;
    std::size_t writes = 0;
    std::size_t keyWrites = 0;

    bool waitForClient(std::uint32_t) override { return true; }
    std::optional<std::uint32_t> clientProcessId() override { return otherProcess ? kGame + 1 : kGame; }
    bool read(std::span<std::uint8_t> buffer, std::uint32_t) override {
        check(!buffer.empty(), "a zero-byte read");
        const std::size_t available = std::min(buffer.size(), script.size() - position);
        std::copy_n(script.begin() + static_cast<std::ptrdiff_t>(position), available, buffer.begin());
        position += available;
        return available == buffer.size();
    }
    bool write(std::span<const std::uint8_t> bytes, std::uint32_t) override {
        check(!bytes.empty(), "a zero-byte write");
        if (bytes.size() == nyra::GuardChannelState::kKeyMaterialSize) ++keyWrites;
        return !(failWritesFrom && writes++ >= *failWritesFrom);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    std::vector<std::uint8_t> stream;
    nyra::SecretString secret(nyra::kGuardSecretLength, 'c');
    if ((flags & 0x01) != 0) stream.assign(secret.begin(), secret.end());
    stream.insert(stream.end(), data + 2, data + size);

    ScriptedPipe pipe;
    pipe.script = stream;
    pipe.otherProcess = (flags & 0x02) != 0;
    if ((flags & 0x04) != 0) pipe.failWritesFrom = data[1];

    std::atomic<bool> stop{false};
    nyra::GuardChannelState state(stop);
    state.packageKeyMaterial.assign(nyra::GuardChannelState::kKeyMaterialSize, 0x4B);
    state.translationBundle.assign(300, 0x4C);
    state.sessionBytes.assign(40, 0x53);
    state.setItemMall(R"({"items":[]})");

    nyra::serveGuardChannel(pipe, state, kGame, secret);

    check(state.done.load(), "the server returned without a result");
    const std::int32_t result = state.resultCode.load();
    check(result >= 1 && result <= 16, "a result code outside the channel's codes");
    check(pipe.position <= stream.size(), "the server read past the stream");
    check(pipe.keyWrites <= 1, "the key material was sent twice");
    if (pipe.keyWrites == 1) check(state.packageKeyMaterial.empty(), "the key material was kept after sending");
    if (state.guardReady.load()) check(state.sessionBytes.empty(), "ready before the login was sent and wiped");
    if (result >= nyra::resultCodeOf(nyra::GuardResult::SilentOrBroken)) {
        check(secret.empty(), "the secret outlived the handshake");
    }
    const auto notices = state.takeNotices();
    check(notices.size() <= nyra::GuardChannelState::kNoticeLimit, "more notices than the queue holds");
    for (const auto& notice : notices) {
        check(!notice.empty() && notice.size() <= 300, "a notice of the wrong length");
        (void)nyra::utf8ToUtf16(notice);  // must not throw: notices become event texts
    }
    return 0;
}
