// The guard channel's server against a scripted guard: the handshake, every command with its
// preconditions, once-rules, limits and failures, the wiping of the material, and the parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <tuple>
#include <string_view>

#include "core/tests/held_bytes.h"
#include "session/guard_channel.h"

namespace nyra {
namespace {

constexpr std::uint32_t kGame = 4242;
const std::string kSecret = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// What the guard sends, built up command by command (integers little-endian).
struct Script {
    std::vector<std::uint8_t> bytes;

    Script& text(std::string_view t) {
        bytes.insert(bytes.end(), t.begin(), t.end());
        return *this;
    }
    Script& u16(std::uint16_t v) { return little(v, 2); }
    Script& u32(std::uint32_t v) { return little(v, 4); }
    Script& u64(std::uint64_t v) { return little(v, 8); }
    Script& notice(std::string_view t) { return text("M").u16(static_cast<std::uint16_t>(t.size())).text(t); }
    Script& little(std::uint64_t v, int size) {
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
};

Script admitted() { return Script{}.text(kSecret); }

// The guard's side of the pipe: reads come from the script (a read past its end fails, as a
// broken pipe would); writes are recorded, and one of them can be made to fail.
class ScriptedGuard final : public GuardTransport {
public:
    struct Call {
        char kind;  // 'r' or 'w'
        std::size_t size;
        std::uint32_t timeoutMs;
    };

    bool connects = true;
    std::optional<std::uint32_t> pid = kGame;
    std::vector<std::uint8_t> script;
    std::size_t position = 0;
    std::vector<std::uint8_t> written;
    std::optional<std::size_t> failWrite;          // index of the write call that fails
    std::function<void(std::size_t)> afterWrite;   // called with each successful write's index
    std::vector<Call> calls;
    std::uint32_t connectTimeoutMs = 0;
    // Steps that throw, as only a failed allocation could: 'c' connect, 'p' process id, or the
    // read or write call with this index.
    char throwAtStep = 0;
    std::optional<std::size_t> throwAtCall;

    bool waitForClient(std::uint32_t timeoutMs) override {
        if (throwAtStep == 'c') throw std::bad_alloc();
        connectTimeoutMs = timeoutMs;
        return connects;
    }
    std::optional<std::uint32_t> clientProcessId() override {
        if (throwAtStep == 'p') throw std::bad_alloc();
        return pid;
    }
    bool read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override {
        if (throwAtCall == calls.size()) throw std::bad_alloc();
        calls.push_back({'r', buffer.size(), timeoutMs});
        const std::size_t available = std::min(buffer.size(), script.size() - position);
        std::copy_n(script.begin() + static_cast<std::ptrdiff_t>(position), available, buffer.begin());
        position += available;
        return available == buffer.size();
    }
    bool write(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs) override {
        EXPECT_FALSE(bytes.empty()) << "a zero-byte transfer fails on a real pipe";
        if (throwAtCall == calls.size()) throw std::bad_alloc();
        const std::size_t index = writes_++;
        calls.push_back({'w', bytes.size(), timeoutMs});
        if (failWrite == index) return false;
        written.insert(written.end(), bytes.begin(), bytes.end());
        if (afterWrite) afterWrite(index);
        return true;
    }

private:
    std::size_t writes_ = 0;
};

std::vector<std::uint8_t> framed(std::string_view text) {
    std::vector<std::uint8_t> out = Script{}.u32(static_cast<std::uint32_t>(text.size())).bytes;
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

class GuardServer : public ::testing::Test {
protected:
    GuardServer() {
        for (std::uint8_t i = 0; i < 64; ++i) keyMaterial.push_back(static_cast<std::uint8_t>(0xC0 ^ i));
        state.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
        state.translationBundle.assign(kBundle.begin(), kBundle.end());
        state.sessionBytes.assign(kLogin.begin(), kLogin.end());
        state.setItemMall(std::string(kItemMall));
    }

    void serve(const Script& script, const GuardTimeouts& timeouts = {}) {
        guard.script = script.bytes;
        serveGuardChannel(guard, state, kGame, secret, timeouts);
    }

    // What the launcher writes for K, L and S, in that order.
    std::vector<std::uint8_t> handoverBytes() const {
        std::vector<std::uint8_t> out = keyMaterial;
        for (auto part : {framed(kBundle), framed(kLogin)}) out.insert(out.end(), part.begin(), part.end());
        return out;
    }

    static constexpr std::string_view kBundle = "TRv1 bundle bytes";
    static constexpr std::string_view kLogin = R"({"username":"ana","ticket":"t"})";
    static constexpr std::string_view kItemMall = R"({"cash":10})";

    std::atomic<bool> stop{false};
    GuardChannelState state{stop};
    SecretString secret{kSecret.begin(), kSecret.end()};
    ScriptedGuard guard;
    std::vector<std::uint8_t> keyMaterial;
};

TEST_F(GuardServer, GuardThatFollowsTheOrderGetsEveryByteAndCanEndCleanly) {
    serve(admitted().text("KLSR").text("G").text("T").text("V").u64(7).u64(1u << 20).notice("inject.dll").text("X").u64(1).u64(2)
              .text("E").u32(2),
          GuardTimeouts{11, 22, 33, 44, 55});

    EXPECT_TRUE(state.done);
    EXPECT_EQ(state.resultCode, resultCodeOf(GuardResult::GuardError));
    EXPECT_EQ(state.guardErrorCode, 2);
    EXPECT_TRUE(state.guardReady);
    EXPECT_FALSE(state.modificationReported);
    EXPECT_EQ(state.directReadOpens, 7u);
    EXPECT_EQ(state.directReadBytes, 1u << 20);
    EXPECT_EQ(state.takeNotices(), std::vector<std::string>{"inject.dll"});
    EXPECT_EQ(guard.position, guard.script.size());

    std::vector<std::uint8_t> expected = handoverBytes();
    expected.push_back(1);  // 'G'
    const auto mall = framed(kItemMall);
    expected.insert(expected.end(), mall.begin(), mall.end());
    EXPECT_EQ(guard.written, expected);

    // Each wait is the one of its step: secret, commands, data transfers, and the bundle's own.
    EXPECT_EQ(guard.connectTimeoutMs, 11u);
    using Call = ScriptedGuard::Call;
    const std::vector<std::tuple<char, std::size_t, std::uint32_t>> expectedCalls{
        {'r', 64, 22},                                                     // secret
        {'r', 1, 33}, {'w', 64, 44},                                       // K
        {'r', 1, 33}, {'w', 4, 44}, {'w', kBundle.size(), 55},             // L
        {'r', 1, 33}, {'w', 4, 44}, {'w', kLogin.size(), 44},              // S
        {'r', 1, 33},                                                      // R
        {'r', 1, 33}, {'w', 1, 44},                                        // G
        {'r', 1, 33}, {'w', 4, 44}, {'w', kItemMall.size(), 44},           // T
        {'r', 1, 33}, {'r', 16, 44},                                       // V
        {'r', 1, 33}, {'r', 2, 44}, {'r', 10, 44},                         // M
        {'r', 1, 33}, {'r', 16, 44},                                       // X
        {'r', 1, 33}, {'r', 4, 44},                                        // E
    };
    std::vector<std::tuple<char, std::size_t, std::uint32_t>> calls;
    for (const Call& c : guard.calls) calls.emplace_back(c.kind, c.size, c.timeoutMs);
    EXPECT_EQ(calls, expectedCalls);
}

TEST_F(GuardServer, DefaultTimeoutsAreTheChannelsOwn) {
    const GuardTimeouts defaults;
    EXPECT_EQ(defaults.connectMs, 20000u);
    EXPECT_EQ(defaults.secretMs, 5000u);
    EXPECT_EQ(defaults.commandMs, 20000u);
    EXPECT_EQ(defaults.transferMs, 5000u);
    EXPECT_EQ(defaults.bundleChunkMs, 30000u);
}

TEST_F(GuardServer, MaterialIsWipedOnceHandedOverAndTheSecretOnceProved) {
    // Wiped means zero bytes in the storage the secret still holds, not only an empty container.
    const auto wiped = [](const auto& held) {
        return held.empty() && held.capacity() > 0 && test::heldBytesAreZero(held);
    };
    serve(admitted().text("K"));
    EXPECT_TRUE(wiped(secret));
    EXPECT_TRUE(wiped(state.packageKeyMaterial));
    EXPECT_FALSE(state.sessionBytes.empty());  // not asked for yet

    // A failed hand-over wipes as well: the guard will never get that copy.
    GuardChannelState failed{stop};
    failed.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
    failed.translationBundle.assign(kBundle.begin(), kBundle.end());
    failed.sessionBytes.assign(kLogin.begin(), kLogin.end());
    ScriptedGuard failing;
    failing.script = admitted().text("KLS").bytes;
    failing.failWrite = 4;  // the login itself
    SecretString copy(kSecret.begin(), kSecret.end());
    serveGuardChannel(failing, failed, kGame, copy);
    EXPECT_EQ(failed.resultCode, resultCodeOf(GuardResult::SessionTransferFailed));
    EXPECT_TRUE(wiped(failed.packageKeyMaterial));
    EXPECT_TRUE(wiped(failed.sessionBytes));

    ScriptedGuard keyFails;
    keyFails.script = admitted().text("K").bytes;
    keyFails.failWrite = 0;
    GuardChannelState keyState{stop};
    keyState.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
    SecretString another(kSecret.begin(), kSecret.end());
    serveGuardChannel(keyFails, keyState, kGame, another);
    EXPECT_EQ(keyState.resultCode, resultCodeOf(GuardResult::KeyTransferFailed));
    EXPECT_TRUE(wiped(keyState.packageKeyMaterial));

    state.wipeMaterial();
    EXPECT_TRUE(wiped(state.translationBundle));
    EXPECT_TRUE(wiped(state.sessionBytes));
}

TEST_F(GuardServer, HandshakeRefusals) {
    struct Case {
        const char* name;
        bool connects;
        std::optional<std::uint32_t> pid;
        std::string sent;
        GuardResult expected;
    };
    std::string lastByteWrong = kSecret;
    lastByteWrong.back() = 'e';
    std::string firstByteWrong = kSecret;
    firstByteWrong.front() = '1';
    const Case cases[] = {
        {"nobody connects", false, kGame, kSecret, GuardResult::NoClient},
        {"process id unknown", true, std::nullopt, kSecret, GuardResult::WrongClient},
        {"another process, right secret", true, kGame + 1, kSecret, GuardResult::WrongClient},
        {"last byte differs", true, kGame, lastByteWrong, GuardResult::SecretRefused},
        {"first byte differs", true, kGame, firstByteWrong, GuardResult::SecretRefused},
        {"63 bytes of it, then a command", true, kGame, kSecret.substr(0, 63), GuardResult::SecretRefused},
        {"nothing sent", true, kGame, "", GuardResult::SecretRefused},
        {"upper-case hex", true, kGame, "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef",
         GuardResult::SecretRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> stopFlag{false};
        GuardChannelState s{stopFlag};
        ScriptedGuard g;
        g.connects = c.connects;
        g.pid = c.pid;
        g.script = Script{}.text(c.sent).text("KLSR").bytes;
        SecretString ours(kSecret.begin(), kSecret.end());
        serveGuardChannel(g, s, kGame, ours);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.resultCode, resultCodeOf(c.expected));
        EXPECT_TRUE(g.written.empty());
        EXPECT_EQ(ours.size(), kSecret.size());  // only a proof of it is worth wiping it for
    }

    // A secret that was already wiped (or never was one) matches nothing, not even an empty proof.
    SecretString wiped;
    ScriptedGuard g;
    g.script = Script{}.text(std::string(64, '\0')).bytes;
    GuardChannelState s{stop};
    serveGuardChannel(g, s, kGame, wiped);
    EXPECT_EQ(s.resultCode, resultCodeOf(GuardResult::SecretRefused));
}

TEST_F(GuardServer, EveryCommandEndsAsTheTableSays) {
    struct Case {
        const char* name;
        Script afterSecret;
        std::optional<std::size_t> failWrite;
        GuardResult expected;
    };
    const Case cases[] = {
        // order and once-rules
        {"silence after the hand-over", Script{}.text("KLSR"), {}, GuardResult::SilentOrBroken},
        {"L before K", Script{}.text("L"), {}, GuardResult::ProtocolViolation},
        {"S before K", Script{}.text("S"), {}, GuardResult::ProtocolViolation},
        {"S before L", Script{}.text("KS"), {}, GuardResult::ProtocolViolation},
        {"R before K", Script{}.text("R"), {}, GuardResult::ProtocolViolation},
        {"R before S", Script{}.text("KLR"), {}, GuardResult::ProtocolViolation},
        {"K twice", Script{}.text("KK"), {}, GuardResult::ProtocolViolation},
        {"K again after S", Script{}.text("KLSK"), {}, GuardResult::ProtocolViolation},
        {"L twice", Script{}.text("KLL"), {}, GuardResult::ProtocolViolation},
        {"S twice", Script{}.text("KLSS"), {}, GuardResult::ProtocolViolation},
        {"R twice", Script{}.text("KLSRR"), {}, GuardResult::ProtocolViolation},
        {"T before K", Script{}.text("T"), {}, GuardResult::ProtocolViolation},
        {"T before S", Script{}.text("KLT"), {}, GuardResult::ProtocolViolation},
        {"unknown command", Script{}.text("KLSRZ"), {}, GuardResult::ProtocolViolation},
        {"zero byte", Script{}.little(0, 1), {}, GuardResult::ProtocolViolation},
        // commands allowed at any time
        {"G, V, M, X before K", Script{}.text("GV").u64(1).u64(2).notice("n").text("X").u64(0).u64(0),
         {}, GuardResult::SilentOrBroken},
        {"T after S without R", Script{}.text("KLST"), {}, GuardResult::SilentOrBroken},
        // endings
        {"E with its code", Script{}.text("E").u32(0xFFFFFFFF), {}, GuardResult::GuardError},
        {"E without its code", Script{}.text("E").u16(1), {}, GuardResult::ProtocolViolation},
        {"I", Script{}.text("KLSRI"), {}, GuardResult::ModificationReported},
        {"B", Script{}.text("B"), {}, GuardResult::BlockedReported},
        // what the guard sends, cut short
        {"V cut short", Script{}.text("V").u64(1), {}, GuardResult::DirectReadTransferFailed},
        {"X cut short", Script{}.text("X").u32(1), {}, GuardResult::ExtraTransferFailed},
        {"M without its length", Script{}.text("M").text("a"), {}, GuardResult::NoticeTransferFailed},
        {"M text cut short", Script{}.text("M").u16(5).text("abc"), {}, GuardResult::NoticeTransferFailed},
        {"M of length 0", Script{}.text("M").u16(0), {}, GuardResult::NoticeTransferFailed},
        {"M of 301 bytes", Script{}.text("M").u16(301), {}, GuardResult::NoticeTransferFailed},
        {"M of 300 bytes", Script{}.notice(std::string(300, 'm')), {}, GuardResult::SilentOrBroken},
        // what the launcher sends, failing (writes counted from the first)
        {"K fails", Script{}.text("K"), 0, GuardResult::KeyTransferFailed},
        {"L length fails", Script{}.text("KL"), 1, GuardResult::BundleTransferFailed},
        {"L bundle fails", Script{}.text("KL"), 2, GuardResult::BundleTransferFailed},
        {"S length fails", Script{}.text("KLS"), 3, GuardResult::SessionTransferFailed},
        {"S login fails", Script{}.text("KLS"), 4, GuardResult::SessionTransferFailed},
        {"G fails", Script{}.text("G"), 0, GuardResult::PingTransferFailed},
        {"T length fails", Script{}.text("KLSRT"), 5, GuardResult::ItemMallTransferFailed},
        {"T text fails", Script{}.text("KLSRT"), 6, GuardResult::ItemMallTransferFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> stopFlag{false};
        GuardChannelState s{stopFlag};
        s.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
        s.translationBundle.assign(kBundle.begin(), kBundle.end());
        s.sessionBytes.assign(kLogin.begin(), kLogin.end());
        s.setItemMall(std::string(kItemMall));
        ScriptedGuard g;
        Script script = admitted();
        script.bytes.insert(script.bytes.end(), c.afterSecret.bytes.begin(), c.afterSecret.bytes.end());
        g.script = script.bytes;
        g.failWrite = c.failWrite;
        SecretString ours(kSecret.begin(), kSecret.end());
        serveGuardChannel(g, s, kGame, ours);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.resultCode, resultCodeOf(c.expected));
        EXPECT_EQ(g.position, g.script.size()) << "every byte the guard sent is taken, nothing beyond";
        const bool reported = c.expected == GuardResult::ModificationReported || c.expected == GuardResult::BlockedReported;
        EXPECT_EQ(s.modificationReported, reported);
        EXPECT_EQ(s.blockedReported, c.expected == GuardResult::BlockedReported);
    }
}

TEST_F(GuardServer, ReadyOnlyAfterTheHandOverAndErrorCodeKeptWhole) {
    serve(admitted().text("KLSR").text("E").u32(0x80000001u));
    EXPECT_TRUE(state.guardReady);
    EXPECT_EQ(state.guardErrorCode, static_cast<std::int32_t>(0x80000001u));

    GuardChannelState early{stop};
    early.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
    ScriptedGuard g;
    g.script = admitted().text("KLR").bytes;
    SecretString ours(kSecret.begin(), kSecret.end());
    serveGuardChannel(g, early, kGame, ours);
    EXPECT_FALSE(early.guardReady);
}

TEST_F(GuardServer, NoticesBeyondTwentyAreDroppedAndTheChannelGoesOn) {
    Script script = admitted();
    for (int i = 1; i <= 21; ++i) script.notice("module-" + std::to_string(i));
    script.text("G");
    serve(script);
    EXPECT_EQ(state.resultCode, resultCodeOf(GuardResult::SilentOrBroken));
    EXPECT_EQ(guard.written, std::vector<std::uint8_t>{1});  // 'G' answered after the dropped one
    const auto notices = state.takeNotices();
    ASSERT_EQ(notices.size(), 20u);
    EXPECT_EQ(notices.front(), "module-1");
    EXPECT_EQ(notices.back(), "module-20");
    EXPECT_TRUE(state.takeNotices().empty());
    EXPECT_TRUE(state.addNotice("room again once drained"));
}

TEST_F(GuardServer, NoticeBytesThatAreNotUtf8BecomeQuestionMarks) {
    serve(admitted().notice("m\xC3\xA9" "dulo.dll").notice("bad\xFF\xC3.dll"));
    EXPECT_EQ(state.takeNotices(), (std::vector<std::string>{"m\xC3\xA9" "dulo.dll", "bad??.dll"}));
}

TEST_F(GuardServer, ItemMallUpToItsLimitAndEmptyTexts) {
    constexpr std::size_t kLimit = 65536;  // written out: the rule, not the constant that implements it
    state.setItemMall(std::string(kLimit, 'x'));
    serve(admitted().text("KLSRT"));
    EXPECT_EQ(state.resultCode, resultCodeOf(GuardResult::SilentOrBroken));
    EXPECT_EQ(guard.written.size(), handoverBytes().size() + 4 + kLimit);

    // One byte more and nothing of it is sent.
    std::atomic<bool> stopFlag{false};
    GuardChannelState over{stopFlag};
    over.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
    over.setItemMall(std::string(kLimit + 1, 'x'));
    ScriptedGuard g;
    g.script = admitted().text("KLSRT").bytes;
    SecretString ours(kSecret.begin(), kSecret.end());
    serveGuardChannel(g, over, kGame, ours);
    EXPECT_EQ(over.resultCode, resultCodeOf(GuardResult::ItemMallTransferFailed));
    EXPECT_EQ(g.written.size(), 64u + 4 + 4);  // key, two empty lengths; no 'T' bytes

    // Empty bundle, login and item mall: their lengths alone, never a zero-byte transfer.
    const std::vector<std::uint8_t> zero{0, 0, 0, 0};
    std::vector<std::uint8_t> expected = keyMaterial;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), zero.begin(), zero.end());
    GuardChannelState empty{stopFlag};
    empty.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
    ScriptedGuard e;
    e.script = admitted().text("KLSRT").bytes;
    SecretString again(kSecret.begin(), kSecret.end());
    serveGuardChannel(e, empty, kGame, again);
    EXPECT_EQ(e.written, expected);
}

TEST_F(GuardServer, KeyMaterialOfAnotherSizeIsNeverSent) {
    state.packageKeyMaterial.resize(32);
    serve(admitted().text("K"));
    EXPECT_EQ(state.resultCode, resultCodeOf(GuardResult::KeyTransferFailed));
    EXPECT_TRUE(guard.written.empty());
}

TEST_F(GuardServer, StopFlagEndsTheLoopWithoutAResult) {
    stop = true;
    serve(admitted().text("KLSR"));
    EXPECT_FALSE(state.done);
    EXPECT_EQ(state.resultCode, 0);
    EXPECT_EQ(guard.position, kSecret.size()) << "no command is read once the launcher stops";
    EXPECT_TRUE(secret.empty());

    // Set while a command is answered: that answer completes, the next command is not read.
    std::atomic<bool> laterStop{false};
    GuardChannelState s{laterStop};
    ScriptedGuard g;
    g.script = admitted().text("GGG").bytes;
    g.afterWrite = [&](std::size_t index) {
        if (index == 1) laterStop = true;
    };
    SecretString ours(kSecret.begin(), kSecret.end());
    serveGuardChannel(g, s, kGame, ours);
    EXPECT_FALSE(s.done);
    EXPECT_EQ(g.written, (std::vector<std::uint8_t>{1, 1}));
    EXPECT_EQ(g.position, kSecret.size() + 2);
}

TEST_F(GuardServer, StepThatThrowsEndsTheChannelAsItsFailureWould) {
    struct Case {
        char step;
        std::optional<std::size_t> call;  // calls: 0 secret, 1 'K', 2 key, 3 'M', 4 its length, 5 its text
        GuardResult expected;
    };
    const Case cases[] = {
        {'c', {}, GuardResult::NoClient},
        {'p', {}, GuardResult::WrongClient},
        {0, 0, GuardResult::SecretRefused},
        {0, 1, GuardResult::SilentOrBroken},
        {0, 2, GuardResult::KeyTransferFailed},
        {0, 5, GuardResult::NoticeTransferFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.step << " " << c.call.value_or(99));
        std::atomic<bool> stopFlag{false};
        GuardChannelState s{stopFlag};
        s.packageKeyMaterial.assign(keyMaterial.begin(), keyMaterial.end());
        ScriptedGuard g;
        g.script = admitted().text("K").notice("n").bytes;
        g.throwAtStep = c.step;
        g.throwAtCall = c.call;
        SecretString ours(kSecret.begin(), kSecret.end());
        serveGuardChannel(g, s, kGame, ours);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.resultCode, resultCodeOf(c.expected));
    }
}

TEST(GuardChannelRules, ErrorMessagesByCode) {
    const std::pair<std::int32_t, const char*> table[] = {
        {1, "O Guard recusou o canal de inicializacao. Reabra o launcher."},
        {2, "O Guard recusou a assinatura ou a integridade dos binarios. Use Verificar arquivos."},
        {3, "O Guard recusou o catalogo de recursos. Use Verificar arquivos."},
        {4, "O Guard nao recebeu a autorizacao de login. Entre novamente pelo launcher."},
        {5, "O Guard nao conseguiu ativar o monitor de protecao. Reabra o launcher."},
    };
    for (const auto& [code, message] : table) EXPECT_EQ(guardErrorMessage(code), message) << code;
    for (const std::int32_t other : {0, 6, -1, 0x7FFFFFFF}) {
        EXPECT_EQ(guardErrorMessage(other),
                  "A inicializacao protegida nao foi concluida. Tente novamente; se persistir, contate o suporte.")
            << other;
    }
}

TEST(GuardChannelRules, ParametersAreLowercaseHexHighNibbleFirst) {
    std::array<std::uint8_t, 16> name{};
    std::array<std::uint8_t, 32> secretBytes{};
    for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<std::uint8_t>(i * 0x11);
    for (std::size_t i = 0; i < secretBytes.size(); ++i) secretBytes[i] = static_cast<std::uint8_t>(0xF0 - i);
    secretBytes[0] = 0x0A;
    const GuardChannelParameters p = guardChannelParameters(name, secretBytes);
    EXPECT_EQ(p.pipeName, "\\\\.\\pipe\\NyraBrasil-00112233445566778899aabbccddeeff");
    ASSERT_EQ(p.secret.size(), 64u);
    EXPECT_EQ(std::string_view(p.secret).substr(0, 8), "0aefeeed");
    EXPECT_EQ(std::string_view(p.secret).substr(56), "d4d3d2d1");
    EXPECT_EQ(p.secret.find_first_not_of("0123456789abcdef"), SecretString::npos);
}

}  // namespace
}  // namespace nyra
