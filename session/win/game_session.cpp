#include "session/win/game_session.h"

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "content/components.h"
#include "content/package.h"
#include "content/win/components.h"
#include "content/win/game_preparation.h"
#include "content/win/primitives.h"
#include "content/win/receipts_file.h"
#include "core/deployment.h"
#include "core/text.h"
#include "net/http.h"
#include "relay/win/windows_relay.h"
#include "session/session_texts.h"
#include "session/win/game_process.h"
#include "session/win/guard_channel.h"
#include "state/protected_diagnostics.h"
#include "state/translations.h"
#include "state/win/game_settings.h"
#include "state/win/language.h"
#include "state/win/protected_diagnostics.h"
#include "state/win/translations.h"

namespace nyra {
namespace {

constexpr const char* kPolicyPath = "/api/launcher/package-policy";
constexpr const char* kStartPath = "/api/launcher/start";
constexpr const char* kNewsTicketPath = "/api/launcher/news-ticket";
constexpr const char* kVipTokenPath = "/api/me/vip/client-token";
constexpr const char* kVoiceTokenPath = "/api/me/voice/client-token";
constexpr const char* kPackageKeyPath = "/api/launcher/package-key";
constexpr const char* kHeartbeatPath = "/api/launcher/heartbeat";
constexpr const char* kEventPath = "/api/launcher/event";
constexpr const char* kStopPath = "/api/launcher/stop";

// The news host's page address: scheme, host and, off the standard port, the port.
std::string newsOrigin() {
    const Deployment& d = deployment();
    std::string origin("https://");
    origin.append(d.newsHost);
    if (d.httpsPort != 443) {
        origin.append(":");
        origin.append(std::to_string(d.httpsPort));
    }
    return origin;
}

// Every protected file open for reading with writers shut out, for as long as the session holds it.
std::vector<win::UniqueHandle> lockProtectedFiles(const std::filesystem::path& launcherFolder,
                                                  const std::filesystem::path& engineFolder,
                                                  const nlohmann::json& files) {
    std::vector<win::UniqueHandle> locks;
    for (const auto& [name, digest] : files.items()) {
        const std::filesystem::path path =
            name == "Launcher.exe" ? launcherFolder / std::u16string(u"Launcher.exe") : joinPackagePath(engineFolder, name);
        win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) throw std::runtime_error(texts::kCloseOtherPrograms);
        locks.push_back(std::move(file));
    }
    return locks;
}

// The first multi-client mutex of this machine that no other game holds.
win::UniqueOwnedMutex claimMultiClientSlot(const std::string& hwid, std::int64_t limit) {
    for (const auto& name : multiClientSlotNames(hwid, limit)) {
        win::UniqueHandle mutex(::CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t*>(name.c_str())));
        const DWORD created = ::GetLastError();
        if (!mutex || created == ERROR_ALREADY_EXISTS) continue;  // taken (or not ours to take)
        return win::UniqueOwnedMutex(mutex.release());
    }
    throw std::runtime_error(texts::kClientLimitReached);
}

// The session's backend calls, with the session token as the game session's credential.
class SessionCalls final : public SessionBackend {
public:
    SessionCalls(Http& http, const SecretString& token, std::string packageId)
        : http_(http), token_(token), packageId_(std::move(packageId)) {}
    nlohmann::json heartbeat(std::uint64_t sequence) override {
        return http_.call(kHeartbeatPath, {{"sequence", sequence}, {"version", packageId_}}, token_);
    }
    void event(const std::string& kind, const std::string& detail) override {
        nlohmann::json record{{"kind", kind}, {"token", std::string(token_)}, {"detail", detail}};
        const WipeOnExit wipeRecord(record);
        http_.call(kEventPath, record);
    }

private:
    Http& http_;
    const SecretString& token_;
    std::string packageId_;
};

// What a started session holds until it ends; released in the order of the session's end: the
// relay, the stop call (owed once the start call succeeded) and the token, the multi-client slot,
// the file locks.
struct LaunchHold {
    explicit LaunchHold(Http& client) : http(client) {}
    LaunchHold(const LaunchHold&) = delete;
    LaunchHold& operator=(const LaunchHold&) = delete;

    Http& http;
    std::vector<win::UniqueHandle> fileLocks;
    SecretString token;
    bool stopOwed = false;
    win::UniqueOwnedMutex slot;
    std::unique_ptr<GameTunnel> tunnel;

    ~LaunchHold() {
        tunnel.reset();
        if (stopOwed) {
            try {
                http.call(kStopPath, nlohmann::json::object(), token);
            } catch (...) {
                // The backend ends sessions it stops hearing from.
            }
        }
        wipe(token);
        slot.reset();
        fileLocks.clear();
    }
};

}  // namespace

void WindowsGameSession::runGameSession(BackendClient& client, const std::filesystem::path& launcherFolder,
                                        std::unique_ptr<PreparedGame> preparedGame, std::atomic<bool>& stop,
                                        const ProgressFn& progress, const GameRunningFn& gameRunning) {
    auto* http = dynamic_cast<Http*>(&client);
    auto* packages = dynamic_cast<PreparedPackages*>(preparedGame.get());
    if (http == nullptr || packages == nullptr) {
        throw std::logic_error("the game session needs the backend client and preparation of this build");
    }
    const Prepared& prepared = packages->prepared();
    const std::filesystem::path& engine = prepared.engineFolder;
    LaunchHold hold(*http);
    const auto stageDone = [this](std::string_view stage) {
        if (stage_) stage_(stage);
    };

    // 1-2: the package set must still be the one prepared.
    if (progress) progress(texts::kConfirmingVersion, 99);
    const nlohmann::json policy = http->call(kPolicyPath, nlohmann::json::object());
    if (textMember(policy, "package_id") != prepared.packageId ||
        textMember(policy, "index_sha256") != prepared.indexSha256) {
        throw std::runtime_error(texts::kNewUpdateOnServer);
    }
    stageDone("policy");

    // 3-6: the protected files held and checked, the machine identified, the launcher's own checks.
    const nlohmann::json& files = protectedFiles(prepared.policy);
    hold.fileLocks = lockProtectedFiles(launcherFolder, engine, files);
    const nlohmann::json fileDigests = checkProtectedFiles(launcherFolder, prepared);
    const HardwareId identity = hardware_.identity();
    protection_.checkBeforeStart();
    stageDone("file checks");

    // 7-8: the start call; from here the backend is told when the session stops.
    nlohmann::json start = http->call(kStartPath, startRequest(prepared.packageId, fileDigests, identity.hwid,
                                                               identity.hwidInfo));
    const WipeOnExit wipeStart(start);
    hold.stopOwed = true;  // the start succeeded, whatever its answer holds
    hold.token = takeSessionToken(start);
    if (!confirmsGameTransport(start)) throw std::runtime_error(texts::kNoSecureRoute);
    stageDone("start call");

    nlohmann::json login = takeGameLogin(start);
    const WipeOnExit wipeLogin(login);

    // 9: the relay, its port map handed to the game.
    {
        std::string headers = http->tunnelHeaders(hold.token);
        hold.tunnel = openGameTunnel(std::move(headers));
        wipe(headers);
    }
    login["network"] = hold.tunnel->portMap();
    stageDone("tunnel");

    // 10: one game per slot of this machine.
    hold.slot = claimMultiClientSlot(identity.hwid, multiClientLimit(start));

    // 11-13: the in-game news ticket; the optional VIP and voice tokens.
    {
        nlohmann::json request{{"package_id", prepared.packageId}, {"token", std::string(hold.token)}};
        const WipeOnExit wipeRequest(request);
        nlohmann::json ticket = http->call(kNewsTicketPath, request);
        const WipeOnExit wipeTicket(ticket);
        login["news_url"] = newsPageAddress(newsOrigin(), newsTicket(ticket));
    }
    try {
        nlohmann::json vip = http->call(kVipTokenPath, nlohmann::json::object());
        login["vip_token"] = vipTokenForGame(vip);
        wipe(vip);
    } catch (const std::exception&) {
        // The game runs without its VIP services.
    }
    try {
        nlohmann::json voice = http->call(kVoiceTokenPath, nlohmann::json::object());
        if (auto token = voiceTokenForGame(voice)) login["voice_token"] = std::move(*token);
        wipe(voice);
    } catch (const std::exception&) {
        // The game runs without voice.
    }

    // 14: the login serialised for the guard; nothing of it stays in text.
    const std::string username = textMember(login, "username");
    std::string itemMall = itemMallText(start);
    SecretBytes sessionBytes = sessionBytesOf(login);

    // 15: the package key material.
    SecretBytes keyMaterial;
    {
        nlohmann::json answer = http->call(kPackageKeyPath, {{"package_id", prepared.packageId},
                                                             {"index_sha256", prepared.indexSha256},
                                                             {"launcher_sha256", fileDigests.at("Launcher.exe")}});
        const WipeOnExit wipeAnswer(answer);
        std::array<std::uint8_t, 32> key = takePackageKey(answer);
        keyMaterial = packageKeyMaterial(key, prepared.indexSha256);
        wipeMemory(key.data(), key.size());
    }

    // 16: the translation bundle of the game's language.
    const std::string language(currentLanguage());
    std::vector<std::uint8_t> bundle =
        obtainTranslationBundle(*http, engine, expectedTranslationTag(start, language), username, language);

    // 17: the private channel to the game's protection.
    GuardChannel channel(std::move(keyMaterial), std::move(bundle), std::move(sessionBytes), std::move(itemMall), stop);

    stageDone("channel");

    SessionCalls calls(*http, hold.token, prepared.packageId);
    GuardChannelSupervision channelView(channel);
    SessionSupervision supervision{clock_,
                                   stop,
                                   channelView,
                                   calls,
                                   protection_,
                                   [&hold] { return hold.tunnel->failed(); },
                                   gameRunning,
                                   [&launcherFolder](const nlohmann::json& record) {
                                       recordDiagnostic(launcherFolder, DiagnosticKind::Launch, record);
                                   },
                                   [&launcherFolder] { forgetReceipts(launcherFolder); },
                                   [] { return describeSystem(readSystemFacts()); },
                                   prepared.packageId};

    // 18-26: the game started and supervised until it ends.
    superviseGameSession(supervision, [&](std::unique_ptr<GameProcessControl>& game) {
        EnvironmentBlock environment = gameEnvironmentBlock(ownEnvironmentEntries(), channel.pipeName(), channel.secret());
        adjustRefreshRate(engine / std::u16string(u"client.ini"));
        game = startGameProcess(engine, environment);  // the supervision ends it if anything below fails
        wipeMemory(environment.data(), environment.size() * sizeof(char16_t));
        channel.start(game->processId());
        hold.tunnel->setGameProcessId(game->processId());
        stageDone("process");
    });
}

}  // namespace nyra
