// The stand-in game under Wine, with this test playing the launcher's end of the private pipe in
// its simplest form: a one-instance pipe, game.bin started with the guard's variables, the secret
// checked, 'K', 'L', 'S', 'T' and 'G' answered. The game's own record tells what it saw and did.
#include <gtest/gtest.h>

#include "platform/win/handles.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/clock.h"
#include "core/text.h"
#include "net/http.h"
#include "net/tests/win/service_fixture.h"
#include "net/win/winhttp.h"
#include "relay/win/windows_relay.h"
#include "tools/game/guard_protocol.h"

namespace nyra::standin {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr DWORD kStillActive = 259;

fs::path executableFolder() {
    wchar_t path[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return fs::path(path).parent_path();
}

std::string randomHex(std::size_t bytes) {
    std::vector<std::uint8_t> random(bytes);
    EXPECT_EQ(::BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG), 0);
    std::string text;
    for (const std::uint8_t byte : random) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 0xF];
    }
    return text;
}

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

void putUint32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (unsigned i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> bundleOf(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<std::uint8_t> bundle = bytesOf("NYRATRB1");
    putUint32(bundle, static_cast<std::uint32_t>(entries.size()));
    for (const auto& [name, data] : entries) {
        bundle.push_back(static_cast<std::uint8_t>(name.size()));
        bundle.push_back(static_cast<std::uint8_t>(name.size() >> 8));
        bundle.insert(bundle.end(), name.begin(), name.end());
        putUint32(bundle, static_cast<std::uint32_t>(data.size()));
        bundle.insert(bundle.end(), data.begin(), data.end());
    }
    return bundle;
}

// What the launcher's end hands over.
struct Material {
    std::vector<std::uint8_t> keyMaterial = std::vector<std::uint8_t>(64, 0x5A);
    std::vector<std::uint8_t> bundle = bundleOf({{"data/db/T_Item.ini", "[Item]\r\n1=Espada\r\n"}, {"data/db/T_Npc.ini", "x"}});
    json login{{"username", "tester"},
               {"account_id", 1},
               {"ticket", std::string(43, 't')},
               {"world", "nyra-br-1"},
               {"network", {{"6543", 50001}, {"5712", 50002}, {"10166", 50003}}},  // unused with traffic:0
               {"news_url", "https://localhost/game-news/?ticket=" + std::string(43, 'n')},
               {"vip_token", ""},
               {"voice_token", std::string(43, 'v')}};
    DWORD bundleTimeoutMs = 10000;
};

// What the launcher's end saw.
struct Served {
    std::string commands;
    std::vector<std::size_t> noticeLengths;
    std::optional<std::uint32_t> errorCode;
    DWORD clientPid = 0;
    bool secretMatched = false;
    std::string end;  // why serving stopped
    int itemMallAnswers = 0;
};

// The launcher's end of the channel, minimal: one pipe instance, overlapped I/O with time-outs,
// served on its own thread until the guard ends the channel, the pipe breaks or the test stops it.
class LauncherEnd {
public:
    explicit LauncherEnd(Material material) : material_(std::move(material)) {
        name_ = L"\\\\.\\pipe\\NyraBrasil-" + widen(randomHex(16));
        secret_ = randomHex(32);
        pipe_.reset(::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                       4096, 4096, 5000, nullptr));
        stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        connected_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        connect_->hEvent = connected_.get();
        if (!pipe_ || !stop_ || !connected_) throw std::runtime_error("pipe");
        if (!::ConnectNamedPipe(pipe_.get(), connect_.get())) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_PIPE_CONNECTED) ::SetEvent(connected_.get());
            else if (error != ERROR_IO_PENDING) throw std::runtime_error("connect");
        }
    }
    ~LauncherEnd() {
        stop();
        // A connect still pending must be over before its OVERLAPPED goes away. Wine does not
        // always finish a cancelled connect, so one that is not over in time keeps its OVERLAPPED
        // (and its event) for the rest of the test process.
        ::CancelIoEx(pipe_.get(), connect_.get());
        if (::WaitForSingleObject(connected_.get(), 2000) != WAIT_OBJECT_0) {
            pipe_.reset();
            (void)connect_.release();
            (void)connected_.release();
        }
    }

    static std::wstring widen(const std::string& text) { return {text.begin(), text.end()}; }
    const std::wstring& pipeName() const { return name_; }
    const std::string& secret() const { return secret_; }

    // Serves the game `gamePid` (whose process is `game`) on its own thread.
    void serve(DWORD gamePid, HANDLE game) {
        thread_ = std::thread([this, gamePid, game] { run(gamePid, game); });
    }
    // Waits at most `ms` for the serving thread to end on its own or for `until` to hold for what
    // it served; then ends it.
    Served finish(DWORD ms, const std::function<bool(const Served&)>& until = {}) {
        const ULONGLONG deadline = ::GetTickCount64() + ms;
        while (!done() && !(until && until(served())) && ::GetTickCount64() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polls the serving thread
        }
        stop();
        return served();
    }
    Served served() const {
        std::lock_guard lock(mutex_);
        return served_;
    }
    bool done() const {
        std::lock_guard lock(mutex_);
        return !served_.end.empty();
    }
    void stop() {
        ::SetEvent(stop_.get());
        if (thread_.joinable()) thread_.join();
    }

private:
    void transfer(std::uint8_t* data, std::size_t size, bool writing, DWORD timeoutMs, const char* what) {
        const win::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::size_t moved = 0;
        while (moved < size) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - moved, 65536));
            OVERLAPPED overlapped{};
            overlapped.hEvent = event.get();
            ::ResetEvent(event.get());
            const BOOL started = writing ? ::WriteFile(pipe_.get(), data + moved, chunk, nullptr, &overlapped)
                                         : ::ReadFile(pipe_.get(), data + moved, chunk, nullptr, &overlapped);
            if (!started && ::GetLastError() != ERROR_IO_PENDING) throw failure(what, ::GetLastError());
            DWORD done = 0;
            if (!started) {
                const HANDLE waits[2] = {event.get(), stop_.get()};
                const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
                if (waited != WAIT_OBJECT_0) {
                    ::CancelIoEx(pipe_.get(), &overlapped);
                    ::GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
                    throw std::runtime_error(std::string(what) + (waited == WAIT_TIMEOUT ? ": timed out" : ": stopped"));
                }
            }
            if (!::GetOverlappedResult(pipe_.get(), &overlapped, &done, FALSE)) throw failure(what, ::GetLastError());
            if (done == 0) throw std::runtime_error(std::string(what) + ": nothing moved");
            moved += done;
        }
    }
    static std::runtime_error failure(const char* what, DWORD error) {
        const bool broken = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
        return std::runtime_error(std::string(what) + (broken ? ": pipe broken" : ": error " + std::to_string(error)));
    }
    void write(const std::vector<std::uint8_t>& bytes, const char* what, DWORD timeoutMs = 5000) {
        transfer(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), true, timeoutMs, what);
    }
    std::vector<std::uint8_t> read(std::size_t size, const char* what, DWORD timeoutMs = 5000) {
        std::vector<std::uint8_t> bytes(size);
        transfer(bytes.data(), size, false, timeoutMs, what);
        return bytes;
    }
    void writeWithLength(const std::vector<std::uint8_t>& body, const char* what, DWORD timeoutMs = 5000) {
        std::vector<std::uint8_t> length;
        putUint32(length, static_cast<std::uint32_t>(body.size()));
        write(length, what);
        write(body, what, timeoutMs);
    }
    // The channel is over: like the launcher, disconnect the pipe.
    void end(std::string why) {
        ::DisconnectNamedPipe(pipe_.get());
        std::lock_guard lock(mutex_);
        served_.end = std::move(why);
    }
    template <typename Change>
    void record(Change change) {
        std::lock_guard lock(mutex_);
        change(served_);
    }

    void run(DWORD gamePid, HANDLE game) noexcept {
        try {
            const HANDLE waits[3] = {connected_.get(), stop_.get(), game};
            if (::WaitForMultipleObjects(3, waits, FALSE, 20000) != WAIT_OBJECT_0) return end("no client");
            ULONG client = 0;
            ::GetNamedPipeClientProcessId(pipe_.get(), &client);
            record([&](Served& s) { s.clientPid = client; });
            if (client != gamePid) return end("another client");
            const auto proof = read(64, "secret");
            const bool matched = std::equal(proof.begin(), proof.end(), secret_.begin(), secret_.end());
            record([&](Served& s) { s.secretMatched = matched; });
            if (!matched) return end("wrong secret");
            std::string sent;
            std::uint32_t revision = 0;
            while (true) {
                const char command = static_cast<char>(read(1, "command", 20000)[0]);
                sent += command;
                record([&](Served& s) { s.commands = sent; });
                const bool haveK = sent.find('K') != std::string::npos;
                const bool haveL = sent.find('L') != std::string::npos;
                const bool haveS = sent.find('S') != std::string::npos;
                switch (command) {
                case 'K': write(material_.keyMaterial, "K"); break;
                case 'L': writeWithLength(material_.bundle, "L", material_.bundleTimeoutMs); break;
                case 'S':
                    if (!haveK || !haveL) return end("violation");
                    writeWithLength(bytesOf(material_.login.dump()), "S");
                    break;
                case 'R':
                    if (!haveK || !haveS) return end("violation");
                    break;
                case 'G': write({1}, "G"); break;
                case 'T': {
                    writeWithLength(bytesOf(json{{"balance", 1500}, {"revision", revision++}}.dump()), "T");
                    record([](Served& s) { ++s.itemMallAnswers; });
                    break;
                }
                case 'V':
                case 'X': read(16, "V/X"); break;
                case 'M': {
                    const auto length = read(2, "M length");
                    const std::size_t size = length[0] | (static_cast<std::size_t>(length[1]) << 8);
                    if (size < 1 || size > 300) {
                        record([&](Served& s) { s.noticeLengths.push_back(size); });
                        return end("notice too long");
                    }
                    read(size, "M text");
                    record([&](Served& s) { s.noticeLengths.push_back(size); });
                    break;
                }
                case 'E': {
                    const auto code = read(4, "E code");
                    record([&](Served& s) { s.errorCode = readUint32(std::span<const std::uint8_t, 4>(code.data(), 4)); });
                    return end("E");
                }
                case 'I': return end("I");
                case 'B': return end("B");
                default: return end("unknown command");
                }
            }
        } catch (const std::exception& error) {
            end(error.what());
        }
    }

    Material material_;
    std::wstring name_;
    std::string secret_;
    win::UniqueHandle pipe_;
    win::UniqueHandle stop_;
    win::UniqueHandle connected_;
    std::unique_ptr<OVERLAPPED> connect_ = std::make_unique<OVERLAPPED>();
    std::thread thread_;
    mutable std::mutex mutex_;
    Served served_;
};

// The game started as the launcher starts it, with the test's scenario.
class GameProcess {
public:
    GameProcess(const LauncherEnd& launcher, const std::string& scenario, const fs::path& result) {
        std::vector<std::wstring> entries;
        const LPWCH own = ::GetEnvironmentStringsW();
        for (const wchar_t* entry = own; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring_view text(entry);
            if (!text.starts_with(L"NYRA_GUARD_") && !text.starts_with(L"NYRA_STANDIN_")) entries.emplace_back(text);
        }
        ::FreeEnvironmentStringsW(own);
        entries.push_back(L"NYRA_GUARD_PIPE=" + launcher.pipeName());
        entries.push_back(L"NYRA_GUARD_SECRET=" + LauncherEnd::widen(launcher.secret()));
        entries.push_back(L"NYRA_STANDIN_GAME_SCENARIO=" + LauncherEnd::widen(scenario));
        entries.push_back(L"NYRA_STANDIN_GAME_RESULT=" + result.wstring());
        std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
            return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.find(L'=', 1)), b.c_str(),
                                          static_cast<int>(b.find(L'=', 1)), TRUE) == CSTR_LESS_THAN;
        });
        std::wstring block;
        for (const auto& entry : entries) block += entry + L'\0';
        block += L'\0';

        const fs::path folder = executableFolder();
        const std::wstring application = (folder / L"game.bin").wstring();
        std::wstring commandLine = L"\"" + application + L"\" Tollwin";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                              CREATE_UNICODE_ENVIRONMENT, block.data(), folder.c_str(), &startup, &created)) {
            throw std::runtime_error("game.bin did not start: error " + std::to_string(::GetLastError()));
        }
        ::CloseHandle(created.hThread);
        process_.reset(created.hProcess);
        pid_ = created.dwProcessId;
    }
    ~GameProcess() {
        if (exitCode() == kStillActive) ::TerminateProcess(process_.get(), 0xE002);
        ::WaitForSingleObject(process_.get(), 10000);
    }
    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_.get(); }
    // The exit code once the game ended within `ms`; nullopt while it runs.
    std::optional<DWORD> waitForExit(DWORD ms) {
        if (::WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return std::nullopt;
        return exitCode();
    }
    DWORD exitCode() const {
        DWORD code = 0;
        ::GetExitCodeProcess(process_.get(), &code);
        return code;
    }
    HWND window() const {
        struct Search {
            DWORD pid;
            HWND found;
        } search{pid_, nullptr};
        ::EnumWindows(
            [](HWND window, LPARAM context) -> BOOL {
                auto* s = reinterpret_cast<Search*>(context);
                DWORD owner = 0;
                ::GetWindowThreadProcessId(window, &owner);
                if (owner == s->pid && ::IsWindowVisible(window) && ::GetWindow(window, GW_OWNER) == nullptr) {
                    s->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

private:
    win::UniqueHandle process_;
    DWORD pid_ = 0;
};

class StandInGame : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        result_ = fs::path(temp) / (L"nyra-standin-" + std::to_wstring(::GetCurrentProcessId()) + L".json");
        fs::remove(result_);
    }
    void TearDown() override { fs::remove(result_); }

    // Read with every kind of sharing, so that the game can replace the file meanwhile.
    json record() const {
        const win::UniqueHandle file(::CreateFileW(result_.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string text;
        char buffer[65536];
        DWORD read = 0;
        while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
        const json parsed = json::parse(text, nullptr, false);
        return parsed.is_discarded() ? json::object() : parsed;
    }
    // Waits at most `ms` for `holds`, which looks at another process (its file, its window).
    static bool waitFor(const std::function<bool()>& holds, DWORD ms) {
        const ULONGLONG deadline = ::GetTickCount64() + ms;
        while (!holds()) {
            if (::GetTickCount64() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    // The record once `ready` holds for it (the game writes it as things happen), or as it is
    // after `ms`.
    json recordWhen(const std::function<bool(const json&)>& ready, DWORD ms) const {
        json current;
        waitFor([&] { return ready(current = record()); }, ms);
        return current;
    }

    struct Run {
        Served served;
        std::optional<DWORD> exitCode;  // nullopt: the game was still running at the end
        json record;
        std::string secret;
    };
    // A game that ends by itself: waits at most `ms` for its end, then for the launcher's end to
    // see the pipe break.
    Run playToTheEnd(const std::string& scenario, DWORD ms, Material material = {}) {
        LauncherEnd launcher(std::move(material));
        GameProcess game(launcher, scenario, result_);
        launcher.serve(game.pid(), game.handle());
        Run run;
        run.exitCode = game.waitForExit(ms);
        run.served = launcher.finish(run.exitCode ? 5000 : 0);
        run.record = record();
        run.secret = launcher.secret();
        return run;
    }
    // A game that keeps running: serves until `until` holds for what was served (or the serving
    // ends), reads the record once `recordReady` holds, then ends the game as the launcher would.
    Run playUntil(const std::string& scenario, Material material, const std::function<bool(const Served&)>& until,
                  const std::function<bool(const json&)>& recordReady) {
        LauncherEnd launcher(std::move(material));
        GameProcess game(launcher, scenario, result_);
        launcher.serve(game.pid(), game.handle());
        Run run;
        run.served = launcher.finish(30000, until);
        run.record = recordWhen(recordReady, 10000);
        run.exitCode = game.waitForExit(0);
        run.secret = launcher.secret();
        return run;
    }

    fs::path result_;
};

TEST_F(StandInGame, ReportsHowItWasStartedAndWhatTheGuardReceived) {
    const Run run = playToTheEnd("normal,keepalive:100,close-after:1500,item-mall,traffic:0", 20000);
    ASSERT_EQ(run.exitCode, 0u) << run.record.dump(2);
    EXPECT_TRUE(run.served.secretMatched);
    EXPECT_TRUE(run.served.commands.starts_with("KLSRVT")) << run.served.commands;
    EXPECT_NE(run.served.commands.find('G'), std::string::npos) << run.served.commands;
    EXPECT_NE(run.served.commands.find('X'), std::string::npos) << run.served.commands;
    EXPECT_GE(run.served.itemMallAnswers, 2);
    EXPECT_EQ(run.served.end, "command: pipe broken") << "the guard's pipe closes when the game ends";

    const json& record = run.record;
    EXPECT_EQ(record.dump().find(run.secret), std::string::npos) << "never the secret";
    EXPECT_EQ(record.at("ended"), "closed");
    EXPECT_EQ(record.at("exit_code"), 0);
    EXPECT_EQ(record.at("arguments_ok"), true) << record.at("command_line");
    EXPECT_EQ(record.at("working_folder_is_image_folder"), true);
    EXPECT_EQ(record.at("scenario"), "normal,close-after:1500,after:1000,keepalive:100,traffic:0,item-mall");
    EXPECT_EQ(record.at("window").at("shown"), true);
    EXPECT_TRUE(record.at("process").contains("priority"));
    const json& environment = record.at("environment");
    EXPECT_EQ(environment.at("guard_entries"), json({"NYRA_GUARD_PIPE", "NYRA_GUARD_SECRET"}));
    EXPECT_EQ(environment.at("pipe_name_ok"), true);
    EXPECT_EQ(environment.at("secret_ok"), true);
    EXPECT_EQ(environment.at("secret_length"), 64);

    const json& guard = record.at("guard");
    EXPECT_EQ(guard.at("state"), "ready");
    EXPECT_EQ(guard.at("key_material_bytes"), 64);
    EXPECT_EQ(guard.at("key_material_all_zero"), false);
    EXPECT_EQ(guard.at("bundle").at("valid"), true);
    EXPECT_EQ(guard.at("bundle").at("entries"), 2);
    const json& login = guard.at("login");
    EXPECT_EQ(login.at("valid"), true) << login.dump();
    EXPECT_EQ(login.at("username"), "tester");
    EXPECT_EQ(login.at("network"), Material{}.login.at("network"));
    EXPECT_EQ(login.at("vip_token_length"), 0);
    EXPECT_EQ(login.at("voice_token_length"), 43);
    EXPECT_GE(guard.at("keepalives").get<int>(), 2);
    EXPECT_EQ(guard.at("item_mall").at("revisions").at(0), 0);
    EXPECT_EQ(guard.at("item_mall").at("revisions").at(1), 1);
}

TEST_F(StandInGame, ExchangesVerifiedTrafficWithTheGameServers) {
    const auto service = test::ServiceControl::fromEnvironment();
    if (!service) GTEST_SKIP() << "the stand-in service is not running (run through scripts/with-service)";
    const json servers = service->request("GET", "/state").at("game_servers");
    Material material;
    material.login["network"] = {{"6543", servers.at("login")}, {"5712", servers.at("world")}, {"10166", servers.at("zone")}};
    const Run run = playToTheEnd("normal,keepalive:200,close-after:3000,traffic:300000", 30000, material);
    ASSERT_EQ(run.exitCode, 0u) << run.record.dump(2);
    for (const char* channel : {"login", "world", "zone"}) {
        const json& traffic = run.record.at("traffic").at(channel);
        EXPECT_EQ(traffic.at("verified"), true) << channel << ": " << traffic.dump();
        EXPECT_EQ(traffic.at("state"), "closed") << channel;
        EXPECT_GE(traffic.at("echo_rounds").get<int>(), 1) << channel;
        const std::uint64_t payload = traffic.at("payload_bytes");
        EXPECT_EQ(traffic.at("received"), 300000 + payload) << channel;
        EXPECT_EQ(traffic.at("sent"), 17 + payload) << channel;
    }
}

// The game's traffic through the launcher's own relay: a session started with the stand-in
// service, the tunnel opened as the launcher opens it and admitting the game's process, its port
// map handed to the game in the login.
TEST_F(StandInGame, TrafficCrossesTheLaunchersRelay) {
    const auto service = test::ServiceControl::fromEnvironment();
    if (!service) GTEST_SKIP() << "the stand-in service is not running (run through scripts/with-service)";
    SteadyClock clock;
    Http http(std::make_unique<net::WinHttpBackendTransport>("localhost", 443), clock, "localhost");
    http.login(service->user, service->password, std::string(64, 'a'), "HWID v1", false);
    const json policy = http.call("/api/launcher/package-policy");
    const json start = http.call("/api/launcher/start", {{"version", policy.at("package_id")},
                                                         {"package_id", policy.at("package_id")},
                                                         {"files", policy.at("policy").at("files")},
                                                         {"transport", "cloudflare-ws-v1"}});
    std::string token = start.at("token").get<std::string>();
    const std::unique_ptr<GameTunnel> tunnel = openGameTunnel(http.tunnelHeaders(token));
    wipe(token);

    Material material;
    material.login["network"] = tunnel->portMap();
    LauncherEnd launcher(std::move(material));
    GameProcess game(launcher, "normal,keepalive:200,close-after:3000,traffic:300000", result_);
    tunnel->setGameProcessId(game.pid());
    launcher.serve(game.pid(), game.handle());
    EXPECT_EQ(game.waitForExit(30000), 0u);
    launcher.finish(5000);
    const json traffic = record().value("traffic", json::object());
    for (const char* channel : {"login", "world", "zone"}) {
        EXPECT_EQ(traffic.value(channel, json::object()).value("verified", false), true)
            << channel << ": " << traffic.value(channel, json::object()).dump();
    }
    const json stats = tunnel->stats();
    EXPECT_EQ(stats.at("login_streams"), 1);
    EXPECT_EQ(stats.at("world_streams"), 1);
    EXPECT_EQ(stats.at("zone_streams"), 1);
    EXPECT_GE(stats.at("received_bytes").get<std::uint64_t>(), 3u * 300000);
    EXPECT_FALSE(tunnel->failed());
    tunnel->stop();
}

TEST_F(StandInGame, GuardMisbehavesAsTheScenarioSays) {
    std::vector<std::uint8_t> bigBundle = bundleOf({{"data/db/T_Big.ini", std::string(65536, 'b')}});
    struct Case {
        std::string scenario;
        std::function<bool(const Served&)> until;
        std::function<void(const Run&)> check;
        std::function<bool(const json&)> recordReady;
        std::vector<std::uint8_t> bundle;
    };
    const auto guardState = [](const char* state) {
        return [state](const json& r) { return r.contains("guard") && r["guard"].value("state", "") == state; };
    };
    const auto endedAlone = [](const Served&) { return false; };
    const Case cases[] = {
        {"error:2", endedAlone,
         [](const Run& run) {
             EXPECT_EQ(run.served.end, "E");
             EXPECT_EQ(run.served.commands, "E");
             EXPECT_EQ(run.served.errorCode, 2u);
             EXPECT_EQ(run.record.at("guard").at("error_code"), 2);
         },
         guardState("refused"), {}},
        {"s-before-l", endedAlone,
         [](const Run& run) {
             EXPECT_EQ(run.served.end, "violation");
             EXPECT_EQ(run.served.commands, "KS");
             EXPECT_EQ(run.record.at("guard").at("violation"), "'S' before 'L'");
         },
         [](const json& r) { return r.contains("/guard/violation"_json_pointer); }, {}},
        {"long-notice,after:0", endedAlone,
         [](const Run& run) {
             EXPECT_EQ(run.served.end, "notice too long");
             EXPECT_EQ(run.served.noticeLengths, std::vector<std::size_t>{301});
         },
         [](const json& r) { return r.contains("/guard/notice_bytes"_json_pointer); }, {}},
        {"notices:21,after:0", [](const Served& s) { return s.noticeLengths.size() == 21; },
         [](const Run& run) {
             EXPECT_TRUE(run.served.commands.starts_with("KLSRV" + std::string(21, 'M'))) << run.served.commands;
             EXPECT_EQ(run.record.at("guard").at("notices_sent"), 21);
         },
         [](const json& r) { return r.contains("/guard/notices_sent"_json_pointer); }, {}},
        {"modified,after:0", endedAlone,
         [](const Run& run) { EXPECT_EQ(run.served.end, "I"); },
         guardState("reported-modification"), {}},
        {"blocked,after:0", endedAlone,
         [](const Run& run) { EXPECT_EQ(run.served.end, "B"); },
         guardState("reported-blocked"), {}},
        {"stall-l", endedAlone,
         [&bigBundle](const Run& run) {
             EXPECT_EQ(run.served.end, "L: timed out");
             EXPECT_EQ(run.record.at("guard").at("bundle").at("announced"), bigBundle.size());
         },
         guardState("stalled"), bigBundle},
        {"close-pipe,after:0", endedAlone,
         [](const Run& run) {
             EXPECT_EQ(run.served.end, "command: pipe broken");
             EXPECT_EQ(run.served.commands, "KLSRV");
             EXPECT_FALSE(run.exitCode) << "the game goes on without its pipe";
         },
         guardState("closed-pipe"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        Material material;
        material.bundleTimeoutMs = 2000;
        if (!c.bundle.empty()) material.bundle = c.bundle;
        const Run run = playUntil(c.scenario + ",traffic:0", material, c.until, c.recordReady);
        EXPECT_TRUE(run.served.secretMatched);
        ASSERT_TRUE(c.recordReady(run.record)) << run.record.dump(2);
        c.check(run);
    }
}

TEST_F(StandInGame, EndsWithTheScenariosExitCode) {
    struct Case {
        const char* scenario;
        DWORD exitCode;
        const char* ended;
    };
    const Case cases[] = {
        {"exit:0xE004,after:0", 0xE004, "ended-by-guard"},
        {"exit:0xE001,after:200", 0xE001, "ended-by-guard"},
        {"crash,after:0", 0xC0000005, "crashed"},
        {"never-connect,close-after:300", 0, "closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const Run run = playToTheEnd(std::string(c.scenario) + ",traffic:0", 20000);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.record.dump(2);
        EXPECT_EQ(run.record.value("ended", ""), c.ended);
        EXPECT_EQ(run.record.value("exit_code", 0u), c.exitCode);
    }
}

// The window stops answering while the guard's keep-alives go on; the game recovers and closes.
TEST_F(StandInGame, HungWindowKeepsItsGuardAlive) {
    LauncherEnd launcher{Material{}};
    GameProcess game(launcher, "hang,after:0,keepalive:200,close-after:9000,traffic:0", result_);
    launcher.serve(game.pid(), game.handle());
    const json hung = recordWhen([](const json& r) { return r.contains("/window/hung_at_ms"_json_pointer); }, 15000);
    ASSERT_TRUE(hung.contains("/window/hung_at_ms"_json_pointer)) << hung.dump(2);
    const HWND window = game.window();
    ASSERT_NE(window, nullptr);
    // The system calls a window hung once it has taken no message for 5 s.
    EXPECT_TRUE(waitFor([&] { return ::IsHungAppWindow(window) != FALSE; }, 8000));
    const auto keepAlivesWhileHung = launcher.served().commands;
    EXPECT_EQ(game.waitForExit(20000), 0u);
    const Served served = launcher.finish(5000);
    EXPECT_GT(served.commands.size(), keepAlivesWhileHung.size()) << "keep-alives went on";
    const json finalRecord = record();
    EXPECT_EQ(finalRecord.at("window").at("hung"), false);
    EXPECT_TRUE(finalRecord.at("window").contains("recovered_at_ms"));
    EXPECT_EQ(finalRecord.at("ended"), "closed");
}

}  // namespace
}  // namespace nyra::standin
