#include "session/guard_channel.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace nyra {
namespace {

constexpr std::size_t kNoticeMaxLength = 300;

std::uint32_t readU32(std::span<const std::uint8_t, 4> bytes) noexcept {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t readU64(std::span<const std::uint8_t, 8> bytes) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

std::array<std::uint8_t, 4> littleEndian32(std::uint32_t value) noexcept {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Compares all 64 bytes, four at a time, without leaving early: how long the comparison takes
// says nothing about where the first difference is.
bool secretMatches(std::span<const std::uint8_t, kGuardSecretLength> received, const SecretString& secret) noexcept {
    if (secret.size() != kGuardSecretLength) return false;  // already wiped, or never a secret
    std::uint32_t difference = 0;
    for (std::size_t offset = 0; offset < kGuardSecretLength; offset += 4) {
        std::uint32_t theirs = 0;
        std::uint32_t ours = 0;
        std::memcpy(&theirs, received.data() + offset, 4);
        std::memcpy(&ours, secret.data() + offset, 4);
        difference |= theirs ^ ours;
    }
    return difference == 0;
}

// A notice becomes an event's text: bytes that are not UTF-8 are shown as '?' rather than
// making the event unsendable.
std::string noticeText(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.begin(), bytes.end());
    try {
        (void)utf8ToUtf16(text);
    } catch (const std::exception&) {
        for (char& c : text) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
    }
    return text;
}

class Server {
public:
    Server(GuardTransport& transport, GuardChannelState& state, const GuardTimeouts& timeouts)
        : transport_(transport), state_(state), timeouts_(timeouts) {}

    // The handshake: the right process, with the right secret.
    std::optional<GuardResult> admit(std::uint32_t gameProcessId, SecretString& secret) {
        ifThrown_ = GuardResult::NoClient;
        if (!transport_.waitForClient(timeouts_.connectMs)) return GuardResult::NoClient;
        ifThrown_ = GuardResult::WrongClient;
        const auto client = transport_.clientProcessId();
        if (!client || *client != gameProcessId) return GuardResult::WrongClient;

        ifThrown_ = GuardResult::SecretRefused;
        std::array<std::uint8_t, kGuardSecretLength> received{};
        const struct Zeroed {
            std::span<std::uint8_t> bytes;
            ~Zeroed() { wipeMemory(bytes.data(), bytes.size()); }
        } zeroed{received};  // whatever the guard sent, matching or not
        const bool arrived = transport_.read(received, timeouts_.secretMs);
        if (!arrived || !secretMatches(received, secret)) return GuardResult::SecretRefused;
        wipe(secret);
        return std::nullopt;
    }

    // Commands until one ends the channel (its result) or the stop flag is seen (nothing).
    std::optional<GuardResult> serveCommands() {
        for (;;) {
            if (state_.stop.load()) return std::nullopt;
            ifThrown_ = GuardResult::SilentOrBroken;
            std::uint8_t command = 0;
            if (!transport_.read(std::span(&command, 1), timeouts_.commandMs)) return GuardResult::SilentOrBroken;
            if (auto end = answer(command)) return end;
        }
    }

    // What a failure that throws (only an allocation can) means at the current step.
    GuardResult ifThrown() const noexcept { return ifThrown_; }

private:
    static GuardResult failureOf(std::uint8_t command) noexcept {
        switch (command) {
            case 'K': return GuardResult::KeyTransferFailed;
            case 'L': return GuardResult::BundleTransferFailed;
            case 'S': return GuardResult::SessionTransferFailed;
            case 'G': return GuardResult::PingTransferFailed;
            case 'T': return GuardResult::ItemMallTransferFailed;
            case 'V': return GuardResult::DirectReadTransferFailed;
            case 'M': return GuardResult::NoticeTransferFailed;
            case 'X': return GuardResult::ExtraTransferFailed;
            default: return GuardResult::ProtocolViolation;
        }
    }

    std::optional<GuardResult> answer(std::uint8_t command) {
        ifThrown_ = failureOf(command);
        switch (command) {
            case 'K': return sendKeyMaterial();
            case 'L': return sendBundle();
            case 'S': return sendSession();
            case 'R':
                if (readySeen_ || !keySent_ || !sessionSent_) return GuardResult::ProtocolViolation;
                readySeen_ = true;
                state_.guardReady.store(true);
                return std::nullopt;
            case 'G': {
                constexpr std::uint8_t alive = 1;
                return write(std::span(&alive, 1), GuardResult::PingTransferFailed);
            }
            case 'T': return sendItemMall();
            case 'V': return takeDirectReads();
            case 'M': return takeNotice();
            case 'X': {
                std::array<std::uint8_t, 16> ignored{};
                return read(ignored, GuardResult::ExtraTransferFailed);
            }
            case 'E': {
                std::array<std::uint8_t, 4> code{};
                if (auto unreadable = read(code, GuardResult::ProtocolViolation)) return unreadable;
                state_.guardErrorCode.store(static_cast<std::int32_t>(readU32(code)));
                return GuardResult::GuardError;
            }
            case 'I':
                state_.modificationReported.store(true);
                return GuardResult::ModificationReported;
            case 'B':
                state_.blockedReported.store(true);
                state_.modificationReported.store(true);
                return GuardResult::BlockedReported;
            default: return GuardResult::ProtocolViolation;
        }
    }

    std::optional<GuardResult> sendKeyMaterial() {
        if (keySent_) return GuardResult::ProtocolViolation;
        keySent_ = true;
        SecretBytes& key = state_.packageKeyMaterial;
        const bool sent = key.size() == GuardChannelState::kKeyMaterialSize &&
                          transport_.write(key, timeouts_.transferMs);
        wipe(key);  // the guard has it now, or never will
        return sent ? std::nullopt : std::optional(GuardResult::KeyTransferFailed);
    }

    std::optional<GuardResult> sendBundle() {
        if (bundleSent_ || !keySent_) return GuardResult::ProtocolViolation;
        bundleSent_ = true;
        const SecretBytes& bundle = state_.translationBundle;
        if (bundle.size() > std::numeric_limits<std::uint32_t>::max()) return GuardResult::BundleTransferFailed;
        if (auto failed = sendLength(bundle.size(), GuardResult::BundleTransferFailed)) return failed;
        if (bundle.empty()) return std::nullopt;
        return transport_.write(bundle, timeouts_.bundleChunkMs) ? std::nullopt
                                                                 : std::optional(GuardResult::BundleTransferFailed);
    }

    std::optional<GuardResult> sendSession() {
        if (sessionSent_ || !keySent_ || !bundleSent_) return GuardResult::ProtocolViolation;
        sessionSent_ = true;
        SecretBytes& login = state_.sessionBytes;
        std::optional<GuardResult> failed;
        if (login.size() > std::numeric_limits<std::uint32_t>::max()) {
            failed = GuardResult::SessionTransferFailed;
        } else {
            failed = sendLength(login.size(), GuardResult::SessionTransferFailed);
            if (!failed && !login.empty()) failed = write(login, GuardResult::SessionTransferFailed);
        }
        wipe(login);
        return failed;
    }

    std::optional<GuardResult> sendItemMall() {
        if (!keySent_ || !sessionSent_) return GuardResult::ProtocolViolation;
        const std::string text = state_.itemMall();
        if (text.size() > GuardChannelState::kItemMallLimit) return GuardResult::ItemMallTransferFailed;
        if (auto failed = sendLength(text.size(), GuardResult::ItemMallTransferFailed)) return failed;
        if (text.empty()) return std::nullopt;
        return write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                     GuardResult::ItemMallTransferFailed);
    }

    std::optional<GuardResult> takeDirectReads() {
        std::array<std::uint8_t, 16> values{};
        if (auto failed = read(values, GuardResult::DirectReadTransferFailed)) return failed;
        state_.directReadOpens.store(readU64(std::span(values).first<8>()));
        state_.directReadBytes.store(readU64(std::span(values).last<8>()));
        return std::nullopt;
    }

    std::optional<GuardResult> takeNotice() {
        std::array<std::uint8_t, 2> lengthBytes{};
        if (auto failed = read(lengthBytes, GuardResult::NoticeTransferFailed)) return failed;
        const std::size_t length = static_cast<std::size_t>(lengthBytes[0] | lengthBytes[1] << 8);
        if (length == 0 || length > kNoticeMaxLength) return GuardResult::NoticeTransferFailed;
        std::array<std::uint8_t, kNoticeMaxLength> text{};
        if (auto failed = read(std::span(text).first(length), GuardResult::NoticeTransferFailed)) return failed;
        state_.addNotice(noticeText(std::span(text).first(length)));
        return std::nullopt;
    }

    std::optional<GuardResult> sendLength(std::size_t length, GuardResult onFailure) {
        const auto bytes = littleEndian32(static_cast<std::uint32_t>(length));
        return write(bytes, onFailure);
    }

    std::optional<GuardResult> write(std::span<const std::uint8_t> bytes, GuardResult onFailure) {
        return transport_.write(bytes, timeouts_.transferMs) ? std::nullopt : std::optional(onFailure);
    }

    std::optional<GuardResult> read(std::span<std::uint8_t> buffer, GuardResult onFailure) {
        return transport_.read(buffer, timeouts_.transferMs) ? std::nullopt : std::optional(onFailure);
    }

    GuardTransport& transport_;
    GuardChannelState& state_;
    const GuardTimeouts& timeouts_;
    bool keySent_ = false;
    bool bundleSent_ = false;
    bool sessionSent_ = false;
    bool readySeen_ = false;
    GuardResult ifThrown_ = GuardResult::NoClient;
};

}  // namespace

std::string guardErrorMessage(std::int32_t code) {
    switch (code) {
        case 1: return "O Guard recusou o canal de inicializacao. Reabra o launcher.";
        case 2: return "O Guard recusou a assinatura ou a integridade dos binarios. Use Verificar arquivos.";
        case 3: return "O Guard recusou o catalogo de recursos. Use Verificar arquivos.";
        case 4: return "O Guard nao recebeu a autorizacao de login. Entre novamente pelo launcher.";
        case 5: return "O Guard nao conseguiu ativar o monitor de protecao. Reabra o launcher.";
        default:
            return "A inicializacao protegida nao foi concluida. Tente novamente; se persistir, contate o suporte.";
    }
}

bool GuardChannelState::addNotice(std::string text) {
    const std::lock_guard lock(noticesLock_);
    if (notices_.size() >= kNoticeLimit) return false;
    notices_.push_back(std::move(text));
    return true;
}

std::vector<std::string> GuardChannelState::takeNotices() {
    const std::lock_guard lock(noticesLock_);
    return std::exchange(notices_, {});
}

void GuardChannelState::setItemMall(std::string text) {
    const std::lock_guard lock(itemMallLock_);
    itemMall_ = std::move(text);
}

std::string GuardChannelState::itemMall() const {
    const std::lock_guard lock(itemMallLock_);
    return itemMall_;
}

void GuardChannelState::finish(GuardResult result) noexcept {
    resultCode.store(resultCodeOf(result));
    done.store(true);
    done.notify_all();
}

void GuardChannelState::wipeMaterial() noexcept {
    wipe(packageKeyMaterial);
    wipe(translationBundle);
    wipe(sessionBytes);
}

void serveGuardChannel(GuardTransport& transport, GuardChannelState& state, std::uint32_t gameProcessId,
                       SecretString& secret, const GuardTimeouts& timeouts) noexcept {
    Server server(transport, state, timeouts);
    try {
        if (auto refused = server.admit(gameProcessId, secret)) return state.finish(*refused);
        if (auto end = server.serveCommands()) state.finish(*end);
    } catch (...) {
        // The step that could not complete ends the channel as its failure would.
        state.finish(server.ifThrown());
    }
}

GuardChannelParameters guardChannelParameters(std::span<const std::uint8_t, 16> nameBytes,
                                              std::span<const std::uint8_t, 32> secretBytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    GuardChannelParameters parameters;
    parameters.pipeName.reserve(kGuardPipePrefix.size() + 2 * nameBytes.size());
    parameters.pipeName.assign(kGuardPipePrefix);
    for (const std::uint8_t byte : nameBytes) {
        parameters.pipeName.push_back(kDigits[byte >> 4]);
        parameters.pipeName.push_back(kDigits[byte & 0x0F]);
    }
    parameters.secret.reserve(kGuardSecretLength);
    for (const std::uint8_t byte : secretBytes) {
        parameters.secret.push_back(kDigits[byte >> 4]);
        parameters.secret.push_back(kDigits[byte & 0x0F]);
    }
    return parameters;
}

}  // namespace nyra
