// The guard channel on a real pipe: a guard in this process (whose process id the channel
// expects) or in a helper process, the whole exchange byte for byte, refusals, silences, a stalled
// transfer and a shutdown while the server waits. Waits are shortened through GuardTimeouts.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/tests/held_bytes.h"
#include "platform/win/handles.h"
#include "session/win/guard_channel.h"
#include "session/win/guard_pipe.h"

namespace nyra {
namespace {

using namespace std::chrono_literals;
constexpr auto kServerEnds = 60s;  // far beyond any shortened wait: a hang, not a slow machine

std::filesystem::path testExecutableFolder() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return bytes;
}

std::vector<std::uint8_t> littleEndian32(std::size_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

// The guard's end of the pipe, blocking.
class PipeClient {
public:
    explicit PipeClient(const std::u16string& name)
        : pipe_(::CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr)) {}

    bool connected() const { return pipe_.valid(); }

    bool send(std::span<const std::uint8_t> bytes) {
        DWORD written = 0;
        return ::WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    bool send(std::string_view text) { return send(bytesOf(text)); }

    // Exactly `size` bytes, or fewer when the pipe ends first.
    std::vector<std::uint8_t> receive(std::size_t size) {
        std::vector<std::uint8_t> bytes(size);
        std::size_t got = 0;
        while (got < size) {
            DWORD chunk = 0;
            if (!::ReadFile(pipe_.get(), bytes.data() + got, static_cast<DWORD>(size - got), &chunk, nullptr) ||
                chunk == 0) {
                break;
            }
            got += chunk;
        }
        bytes.resize(got);
        return bytes;
    }

private:
    win::UniqueHandle pipe_;
};

struct Material {
    std::vector<std::uint8_t> key = pattern(64, 0x40);
    std::vector<std::uint8_t> bundle;
    std::string login = R"({"username":"ana","network":{"login":[40001,1]},"ticket":"t"})";
    std::string itemMall = R"({"cash":125})";

    explicit Material(std::size_t bundleSize = 1000) : bundle(pattern(bundleSize, 0x07)) {}

    std::unique_ptr<GuardChannel> channel(std::atomic<bool>& stop, const GuardTimeouts& timeouts = {}) const {
        return std::make_unique<GuardChannel>(SecretBytes(key.begin(), key.end()), bundle,
                                              SecretBytes(login.begin(), login.end()), itemMall, stop, timeouts);
    }
};

std::string secretOf(const GuardChannel& channel) { return {channel.secret().begin(), channel.secret().end()}; }

// The guard's hand-over: secret, then K, L and S with every byte checked, then R.
void handOver(PipeClient& guard, const std::string& secret, const Material& m) {
    ASSERT_TRUE(guard.send(secret));
    ASSERT_TRUE(guard.send("K"));
    EXPECT_EQ(guard.receive(64), m.key);
    ASSERT_TRUE(guard.send("L"));
    EXPECT_EQ(guard.receive(4), littleEndian32(m.bundle.size()));
    EXPECT_EQ(guard.receive(m.bundle.size()), m.bundle);
    ASSERT_TRUE(guard.send("S"));
    EXPECT_EQ(guard.receive(4), littleEndian32(m.login.size()));
    EXPECT_EQ(guard.receive(m.login.size()), bytesOf(m.login));
    ASSERT_TRUE(guard.send("R"));
}

TEST(GuardChannel, GuardInTheGameProcessGetsEveryByteInOrder) {
    std::atomic<bool> stop{false};
    const Material m(300000);  // many times the pipe's buffer
    auto channel = m.channel(stop);
    const std::string secret = secretOf(*channel);
    ASSERT_EQ(secret.size(), 64u);
    EXPECT_EQ(std::u16string_view(channel->pipeName()).substr(0, 20), u"\\\\.\\pipe\\NyraBrasil-");
    channel->start(::GetCurrentProcessId());

    PipeClient guard(channel->pipeName());
    ASSERT_TRUE(guard.connected());
    handOver(guard, secret, m);

    ASSERT_TRUE(guard.send("G"));
    EXPECT_EQ(guard.receive(1), std::vector<std::uint8_t>{1});
    const std::string newMall = R"({"cash":130,"items":[1,2,3]})";
    channel->state().setItemMall(newMall);  // as after a heartbeat
    ASSERT_TRUE(guard.send("T"));
    EXPECT_EQ(guard.receive(4), littleEndian32(newMall.size()));
    EXPECT_EQ(guard.receive(newMall.size()), bytesOf(newMall));
    std::vector<std::uint8_t> directReads{'V', 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0};
    ASSERT_TRUE(guard.send(directReads));
    ASSERT_TRUE(guard.send(std::string_view("M\x0A\x00hook32.dll", 13)));
    ASSERT_TRUE(guard.send(std::string("X") + std::string(16, '\x5A')));
    ASSERT_TRUE(guard.send("B"));

    ASSERT_TRUE(channel->waitForServer(kServerEnds));
    const GuardChannelState& state = channel->state();
    EXPECT_TRUE(state.done);
    EXPECT_EQ(state.resultCode, resultCodeOf(GuardResult::BlockedReported));
    EXPECT_TRUE(state.guardReady);
    EXPECT_TRUE(state.blockedReported);
    EXPECT_TRUE(state.modificationReported);
    EXPECT_EQ(state.directReadOpens, 3u);
    EXPECT_EQ(state.directReadBytes, 0x100000u);
    EXPECT_EQ(channel->state().takeNotices(), std::vector<std::string>{"hook32.dll"});
    // Wiped: the storage each secret still holds is all zero, not merely an empty container.
    const auto wiped = [](const auto& held) {
        return held.empty() && held.capacity() > 0 && test::heldBytesAreZero(held);
    };
    EXPECT_TRUE(wiped(channel->secret())) << "proved once, then wiped";
    EXPECT_TRUE(wiped(state.packageKeyMaterial));
    EXPECT_TRUE(wiped(state.sessionBytes));

    channel->shutdown();
    EXPECT_TRUE(wiped(state.translationBundle));
    channel->shutdown();  // idempotent
}

TEST(GuardChannel, ClientInAnotherProcessIsRefusedAndTheGameCannotConnectAfterIt) {
    std::atomic<bool> stop{false};
    auto channel = Material().channel(stop);
    const std::string secret = secretOf(*channel);
    channel->start(::GetCurrentProcessId());  // the "game" is this process

    std::wstring commandLine = L"\"" + (testExecutableFolder() / L"nyra-guard-test-client.exe").wstring() + L"\" \"" +
                               std::wstring(channel->pipeName().begin(), channel->pipeName().end()) + L"\" " +
                               std::wstring(secret.begin(), secret.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &started))
        << ::GetLastError();
    const win::UniqueHandle intruder(started.hProcess);
    const win::UniqueHandle intruderThread(started.hThread);

    ASSERT_TRUE(channel->waitForServer(kServerEnds));
    EXPECT_EQ(channel->state().resultCode, resultCodeOf(GuardResult::WrongClient));
    EXPECT_FALSE(channel->state().guardReady);
    EXPECT_EQ(secretOf(*channel), secret) << "the right secret from the wrong process proves nothing";

    PipeClient game(channel->pipeName());
    EXPECT_FALSE(game.connected()) << "the pipe has one instance, and the intruder holds it";

    channel->shutdown();
    ASSERT_EQ(::WaitForSingleObject(intruder.get(), 60000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ::GetExitCodeProcess(intruder.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u) << "the helper did connect";
}

TEST(GuardChannel, WrongSecretIsRefused) {
    std::atomic<bool> stop{false};
    auto channel = Material().channel(stop);
    std::string wrong = secretOf(*channel);
    wrong[63] = wrong[63] == '0' ? '1' : '0';
    channel->start(::GetCurrentProcessId());
    PipeClient guard(channel->pipeName());
    ASSERT_TRUE(guard.connected());
    ASSERT_TRUE(guard.send(wrong));
    ASSERT_TRUE(guard.send("K"));
    ASSERT_TRUE(channel->waitForServer(kServerEnds));
    EXPECT_EQ(channel->state().resultCode, resultCodeOf(GuardResult::SecretRefused));
    EXPECT_EQ(channel->state().packageKeyMaterial.size(), 64u) << "nothing handed over";
}

TEST(GuardChannel, GuardThatFallsSilentEndsTheChannel) {
    std::atomic<bool> stop{false};
    const Material m;
    GuardTimeouts timeouts;
    timeouts.commandMs = 300;
    auto channel = m.channel(stop, timeouts);
    const std::string secret = secretOf(*channel);
    channel->start(::GetCurrentProcessId());
    PipeClient guard(channel->pipeName());
    ASSERT_TRUE(guard.connected());
    handOver(guard, secret, m);

    ASSERT_TRUE(channel->waitForServer(kServerEnds));
    EXPECT_EQ(channel->state().resultCode, resultCodeOf(GuardResult::SilentOrBroken));
    EXPECT_TRUE(channel->state().guardReady);
}

TEST(GuardChannel, StalledBundleTransferEndsTheChannel) {
    std::atomic<bool> stop{false};
    const Material m(1 << 20);  // cannot sit in the pipe's buffers
    GuardTimeouts timeouts;
    timeouts.bundleChunkMs = 300;
    auto channel = m.channel(stop, timeouts);
    const std::string secret = secretOf(*channel);
    channel->start(::GetCurrentProcessId());
    PipeClient guard(channel->pipeName());
    ASSERT_TRUE(guard.connected());
    ASSERT_TRUE(guard.send(secret));
    ASSERT_TRUE(guard.send("K"));
    EXPECT_EQ(guard.receive(64), m.key);
    ASSERT_TRUE(guard.send("L"));
    EXPECT_EQ(guard.receive(4), littleEndian32(m.bundle.size()));
    // ... and the guard reads no further.

    ASSERT_TRUE(channel->waitForServer(kServerEnds));
    EXPECT_EQ(channel->state().resultCode, resultCodeOf(GuardResult::BundleTransferFailed));
}

TEST(GuardChannel, NobodyConnects) {
    std::atomic<bool> stop{false};
    GuardTimeouts timeouts;
    timeouts.connectMs = 200;
    auto channel = Material().channel(stop, timeouts);
    channel->start(::GetCurrentProcessId());
    ASSERT_TRUE(channel->waitForServer(kServerEnds));
    EXPECT_EQ(channel->state().resultCode, resultCodeOf(GuardResult::NoClient));
}

// The waits are ten minutes long: only the shutdown can end them before the test's time limit.
TEST(GuardChannel, ShutdownEndsEveryWaitOfTheServer) {
    GuardTimeouts endless;
    endless.connectMs = endless.secretMs = endless.commandMs = 600000;

    std::atomic<bool> stop{false};
    auto waitingForClient = Material().channel(stop, endless);
    waitingForClient->start(::GetCurrentProcessId());
    waitingForClient->shutdown();
    EXPECT_TRUE(waitingForClient->state().done);
    EXPECT_EQ(waitingForClient->state().resultCode, resultCodeOf(GuardResult::NoClient));

    auto waitingForCommand = Material().channel(stop, endless);
    const std::string secret = secretOf(*waitingForCommand);
    waitingForCommand->start(::GetCurrentProcessId());
    PipeClient guard(waitingForCommand->pipeName());
    ASSERT_TRUE(guard.connected());
    ASSERT_TRUE(guard.send(secret));
    ASSERT_TRUE(guard.send("G"));
    ASSERT_EQ(guard.receive(1), std::vector<std::uint8_t>{1});  // the server now waits for a command
    waitingForCommand->shutdown();
    EXPECT_TRUE(waitingForCommand->state().done);
    EXPECT_EQ(waitingForCommand->state().resultCode, resultCodeOf(GuardResult::SilentOrBroken));
    EXPECT_TRUE(guard.receive(1).empty()) << "the guard is disconnected";

    // Never started: nothing to wait for, and the destructor shuts down again.
    auto unused = Material().channel(stop, endless);
    unused->shutdown();
    EXPECT_FALSE(unused->state().done);
}

TEST(GuardChannel, PipeNameIsNeverSharedAndParametersNeverRepeat) {
    const GuardChannelParameters first = newGuardChannelParameters();
    const GuardChannelParameters second = newGuardChannelParameters();
    EXPECT_NE(first.pipeName, second.pipeName);
    EXPECT_NE(first.secret, second.secret);
    EXPECT_EQ(first.pipeName.size(), std::string_view("\\\\.\\pipe\\NyraBrasil-").size() + 32);

    const std::u16string name = utf8ToUtf16(first.pipeName);
    const GuardPipe owner(name);
    try {
        const GuardPipe squatter(name);
        ADD_FAILURE() << "a second pipe of the same name was created";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Nao foi possivel criar o canal do jogo.");
    }
}

// Another process made the pipe first, open to any number of instances: the channel must not
// join it as a second instance, where the squatter would see the secret and the material.
TEST(GuardChannel, APipeMadeFirstByAnotherProcessIsNeverJoined) {
    const std::u16string name = utf8ToUtf16(newGuardChannelParameters().pipeName);
    const std::wstring wideName(name.begin(), name.end());
    const std::wstring eventName = L"Local\\NyraGuardSquatter-" + std::to_wstring(::GetCurrentProcessId());
    const win::UniqueHandle pipeMade(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(pipeMade);
    std::wstring commandLine = L"\"" + (testExecutableFolder() / L"nyra-guard-test-client.exe").wstring() +
                               L"\" --hold-pipe \"" + wideName + L"\" " + eventName;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &started))
        << ::GetLastError();
    const win::UniqueHandle squatter(started.hProcess);
    const win::UniqueHandle squatterThread(started.hThread);
    struct EndSquatter {
        HANDLE process;
        ~EndSquatter() {
            ::TerminateProcess(process, 0);
            ::WaitForSingleObject(process, 10000);
        }
    } endSquatter{squatter.get()};
    const HANDLE waits[] = {pipeMade.get(), squatter.get()};
    ASSERT_EQ(::WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0) << "the squatter made no pipe";

    try {
        const GuardPipe channelPipe(name);
        ADD_FAILURE() << "the channel joined a pipe that another process made";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Nao foi possivel criar o canal do jogo.");
    }
}

}  // namespace
}  // namespace nyra
