// game.bin of the stand-in game: a real Windows GUI program that plays the game's part of a
// session. It records how it was started (command line, folder, the guard's environment), loads
// NyraGuard.dll from its own folder and lets it speak to the launcher, talks to the game servers
// through the ports the launcher's relay gave it, draws what is happening, and ends the way the
// scenario says (tools/game/README.md). Everything it learns goes to the result record.
#include "platform/win/handles.h"

#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/game/guard_protocol.h"
#include "tools/game/scenario.h"
#include "tools/game/win/guard_api.h"
#include "tools/game/win/pipe_client.h"
#include "tools/game/win/result_record.h"
#include "tools/game/win/traffic.h"

namespace nyra::standin {
namespace {

using nlohmann::json;

constexpr wchar_t kWindowClass[] = L"NyraStandInGame";
constexpr wchar_t kWindowTitle[] = L"Nyra Saga Brasil (stand-in game)";
constexpr UINT_PTR kTimer = 1;
constexpr UINT kTimerMs = 200;
constexpr DWORD kHangSliceMs = 100;
constexpr int kWindowAttempts = 10;
constexpr DWORD kWindowRetryMs = 200;
// Exit codes of the game's own refusals to run.
constexpr DWORD kBadScenario = ERROR_INVALID_PARAMETER;
constexpr DWORD kGuardMissing = 0xC0000135;  // as Windows reports a missing DLL
constexpr DWORD kGuardFailed = 0xC0000142;   // as Windows reports a DLL whose start failed

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                          nullptr);
    return narrow;
}

std::optional<std::wstring> environmentValue(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
    if (length >= size) return std::nullopt;
    value.resize(length);
    return value;
}

std::string hex(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (text.size() < 8) text.insert(text.begin(), '0');
    return "0x" + text;
}

// How the launcher started the game: the command line, the image, the working folder.
json startReport() {
    json report;
    report["command_line"] = utf8(::GetCommandLineW());
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    json list = json::array();
    for (int i = 0; arguments != nullptr && i < count; ++i) list.push_back(utf8(arguments[i]));
    ::LocalFree(arguments);
    report["arguments"] = list;
    report["arguments_ok"] = list.size() == 2 && list[1] == "Tollwin";

    std::wstring image(32768, L'\0');
    image.resize(::GetModuleFileNameW(nullptr, image.data(), static_cast<DWORD>(image.size())));
    std::wstring folder(32768, L'\0');
    folder.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    const std::filesystem::path imageFolder = std::filesystem::path(image).parent_path();
    report["image"] = utf8(image);
    report["working_folder"] = utf8(folder);
    report["working_folder_is_image_folder"] =
        ::CompareStringOrdinal(imageFolder.c_str(), -1, std::filesystem::path(folder).lexically_normal().c_str(), -1,
                               TRUE) == CSTR_EQUAL ||
        ::CompareStringOrdinal((imageFolder.wstring() + L"\\").c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL;
    return report;
}

// The environment as far as the guard and the tests care: never the secret's value. (Whether the
// block was sorted cannot be told from here: Wine adds entries of its own to every new process.)
json environmentReport() {
    json report;
    json nyraNames = json::array();
    json guardNames = json::array();
    const LPWCH block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        // A name may begin with '=' (the per-drive folders); the name ends at the next '='.
        const std::wstring name(text.substr(0, text.find(L'=', 1)));
        if (name.starts_with(L"NYRA_")) nyraNames.push_back(utf8(name));
        if (name.starts_with(L"NYRA_GUARD_")) guardNames.push_back(utf8(name));
    }
    if (block != nullptr) ::FreeEnvironmentStringsW(block);
    report["nyra_entries"] = nyraNames;  // in the block's order
    report["guard_entries"] = guardNames;

    if (const auto pipe = environmentValue(L"NYRA_GUARD_PIPE")) {
        report["pipe_name"] = utf8(*pipe);
        report["pipe_name_ok"] = isChannelPipeName(utf8(*pipe));
    }
    if (auto secret = environmentValue(L"NYRA_GUARD_SECRET")) {
        std::string narrow = utf8(*secret);
        report["secret_length"] = secret->size();
        report["secret_ok"] = isChannelSecret(narrow);
        std::fill(narrow.begin(), narrow.end(), '\0');
        std::fill(secret->begin(), secret->end(), L'\0');
    }
    for (const auto& [variable, member] : {std::pair{L"NYRA_GUARD_QUIET", "quiet"}, std::pair{L"NYRA_LANGUAGE", "language"},
                                           std::pair{L"NYRA_GRAPHICS", "graphics"}}) {
        if (const auto value = environmentValue(variable)) report[member] = utf8(*value);
    }
    return report;
}

// Priority and processors as the launcher left them once the game runs.
json processReport() {
    const DWORD priority = ::GetPriorityClass(::GetCurrentProcess());
    const char* name = "other";
    switch (priority) {
    case IDLE_PRIORITY_CLASS: name = "idle"; break;
    case BELOW_NORMAL_PRIORITY_CLASS: name = "below_normal"; break;
    case NORMAL_PRIORITY_CLASS: name = "normal"; break;
    case ABOVE_NORMAL_PRIORITY_CLASS: name = "above_normal"; break;
    case HIGH_PRIORITY_CLASS: name = "high"; break;
    case REALTIME_PRIORITY_CLASS: name = "realtime"; break;
    default: break;
    }
    json report{{"priority", name}};
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask)) {
        report["affinity_mask"] = hex(processMask);
        report["system_mask"] = hex(systemMask);
    }
    return report;
}

class Game {
public:
    Game(Scenario scenario, ResultRecord& record)
        : scenario_(scenario), record_(record), started_(::GetTickCount64()) {}

    int run(HINSTANCE instance, int show);

    // The guard's calls (any thread).
    void guardReport(const char* patch) noexcept {
        const json parsed = json::parse(patch, nullptr, false);
        if (!parsed.is_discarded()) record_.merge({{"guard", parsed}});
    }
    void guardReady(const std::uint16_t ports[3]) noexcept {
        readyAt_ = ::GetTickCount64();
        record_.merge({{"ready_ms", readyAt_ - started_}, {"process", processReport()}});
        if (traffic_) {
            try {
                traffic_->start({ports[0], ports[1], ports[2]});
            } catch (const std::exception& error) {
                record_.merge({{"traffic", {{"error", error.what()}}}});
            }
        }
    }
    [[noreturn]] void endGame(std::uint32_t code) noexcept {
        record_.merge({{"ended", "ended-by-guard"}, {"exit_code", code}});
        ::TerminateProcess(::GetCurrentProcess(), code);
        ::ExitProcess(code);
    }
    void crashed(DWORD code) noexcept {
        record_.merge({{"ended", "crashed"}, {"exit_code", code}, {"exception", hex(code)}});
    }

private:
    enum class Pending { None, Crash, Hang };

    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void onTimer();
    void paint(HWND window);
    std::vector<std::wstring> statusLines() const;
    bool startGuard();
    void hang();
    [[noreturn]] void crash();
    // When the window closes itself; nullopt while that is not known yet.
    std::optional<ULONGLONG> closeAt() const;

    Scenario scenario_;
    ResultRecord& record_;
    const ULONGLONG started_;
    std::atomic<ULONGLONG> readyAt_{0};
    HWND window_ = nullptr;
    bool closeRequested_ = false;
    bool actionDone_ = false;
    Pending pending_ = Pending::None;
    std::unique_ptr<GameTraffic> traffic_;
    HMODULE guardModule_ = nullptr;  // stays loaded until the process ends
    NyraGuardStopFunction stopGuard_ = nullptr;
    NyraGuardHost host_{};
};

Game* runningGame = nullptr;  // for the exception filter

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (runningGame != nullptr) runningGame->crashed(code);
    // The process ends at once with the exception's code, as a game with its own crash handler
    // does: no system crash dialog, and no library shutdown code (the guard's) run in a broken
    // process, which could keep it alive after its pipe has closed.
    ::TerminateProcess(::GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

std::optional<ULONGLONG> Game::closeAt() const {
    if (!scenario_.closeAfterMs) return std::nullopt;
    const ULONGLONG ready = readyAt_;
    if (ready != 0) return ready + *scenario_.closeAfterMs;
    if (!scenario_.becomesReady()) return started_ + *scenario_.closeAfterMs;
    return std::nullopt;
}

bool Game::startGuard() {
    wchar_t image[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, image, static_cast<DWORD>(std::size(image)));
    const std::filesystem::path dll = std::filesystem::path(image).parent_path() / L"NyraGuard.dll";
    guardModule_ = ::LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (guardModule_ == nullptr) {
        record_.merge({{"guard", {{"state", "missing"}, {"error", systemFailure("loading " + utf8(dll.wstring()), ::GetLastError())}}},
                       {"ended", "guard-missing"},
                       {"exit_code", kGuardMissing}});
        return false;
    }
    const auto start = reinterpret_cast<NyraGuardStartFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(guardModule_, kGuardStartExport)));
    stopGuard_ = reinterpret_cast<NyraGuardStopFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(guardModule_, kGuardStopExport)));
    host_.size = sizeof host_;
    host_.context = this;
    host_.report = [](void* context, const char* patch) { static_cast<Game*>(context)->guardReport(patch); };
    host_.ready = [](void* context, const std::uint16_t ports[3]) { static_cast<Game*>(context)->guardReady(ports); };
    host_.endGame = [](void* context, std::uint32_t code) { static_cast<Game*>(context)->endGame(code); };
    const int started = start == nullptr || stopGuard_ == nullptr ? -1 : start(&host_, scenario_.describe().c_str());
    if (started != 0) {
        record_.merge({{"guard", {{"state", "failed-to-start"}, {"error", "NyraGuardStart: " + std::to_string(started)}}},
                       {"ended", "guard-failed"},
                       {"exit_code", kGuardFailed}});
        return false;
    }
    return true;
}

int Game::run(HINSTANCE instance, int show) {
    runningGame = this;
    ::SetUnhandledExceptionFilter(onUnhandledException);
    if (scenario_.trafficBytes > 0) {
        traffic_ = std::make_unique<GameTraffic>(record_, scenario_.trafficBytes, scenario_.keepAliveMs);
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&windowClass) == 0) return static_cast<int>(::GetLastError());
    // Under Wine a window created while the previous program's desktop is winding down is now and
    // then refused (error 1400); a few more tries keep the tests from failing for that.
    for (int attempt = 1; window_ == nullptr; ++attempt) {
        window_ = ::CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                    720, 400, nullptr, nullptr, instance, this);
        if (window_ != nullptr) break;
        const DWORD error = ::GetLastError();
        record_.merge({{"window", {{"failed_attempts", attempt}, {"error", systemFailure("CreateWindowExW", error)}}}});
        if (attempt == kWindowAttempts) {
            record_.merge({{"ended", "no-window"}, {"exit_code", error}});
            return static_cast<int>(error);
        }
        ::Sleep(kWindowRetryMs);
    }
    ::ShowWindow(window_, show);
    ::UpdateWindow(window_);
    record_.merge({{"window", {{"shown", true}, {"title", utf8(kWindowTitle)}}}});

    if (!startGuard()) {
        ::DestroyWindow(window_);
        return static_cast<int>(record_.snapshot().value("exit_code", kGuardFailed));
    }
    ::SetTimer(window_, kTimer, kTimerMs, nullptr);

    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
        // Outside every window procedure, as a game's own loop would fail.
        if (pending_ == Pending::Crash) crash();
        if (pending_ == Pending::Hang) hang();
    }
    // The pipe closes last: the launcher takes a closed channel followed by the game's end
    // within 2 s as an orderly end.
    if (traffic_) traffic_->stop();
    stopGuard_();
    record_.merge({{"ended", "closed"}, {"exit_code", 0}});
    return 0;
}

void Game::crash() {
    record_.merge({{"crashing_at_ms", ::GetTickCount64() - started_}});
    // A real access violation; the volatile pointer keeps the compiler from seeing the null.
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    ::ExitProcess(EXCEPTION_ACCESS_VIOLATION);  // not reached
}

void Game::hang() {
    pending_ = Pending::None;
    record_.merge({{"window", {{"hung", true}, {"hung_at_ms", ::GetTickCount64() - started_}}}});
    // No message is taken from the queue meanwhile: the system reports the window hung. The
    // guard's keep-alives and the traffic run on their own threads.
    const std::optional<ULONGLONG> until = closeAt();
    while (!until || ::GetTickCount64() < *until) ::Sleep(kHangSliceMs);
    record_.merge({{"window", {{"hung", false}, {"recovered_at_ms", ::GetTickCount64() - started_}}}});
    closeRequested_ = true;
    ::PostMessageW(window_, WM_CLOSE, 0, 0);
}

void Game::onTimer() {
    const ULONGLONG now = ::GetTickCount64();
    if (const auto at = closeAt(); at && !closeRequested_ && now >= *at) {
        closeRequested_ = true;
        record_.merge({{"close_requested_ms", now - started_}});
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    const ULONGLONG ready = readyAt_;
    if (!actionDone_ && ready != 0 && now >= ready + scenario_.afterMs) {
        if (scenario_.action == Action::Crash) pending_ = Pending::Crash;
        if (scenario_.action == Action::Hang) pending_ = Pending::Hang;
        actionDone_ = true;
    }
    ::InvalidateRect(window_, nullptr, TRUE);
}

std::vector<std::wstring> Game::statusLines() const {
    const json record = record_.snapshot();
    const json guard = record.value("guard", json::object());
    const auto text = [](const json& value) {
        const std::string narrow = value.is_string() ? value.get<std::string>() : value.dump();
        std::wstring wide(narrow.size(), L'\0');
        wide.resize(static_cast<std::size_t>(::MultiByteToWideChar(
            CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()), wide.data(), static_cast<int>(wide.size()))));
        return wide;
    };
    std::vector<std::wstring> lines;
    lines.push_back(std::wstring(kWindowTitle) + L" - pid " + std::to_wstring(::GetCurrentProcessId()));
    lines.push_back(L"Scenario: " + text(scenario_.describe()));
    lines.push_back(L"Guard: " + text(guard.value("state", "loading")) + L"   commands " + text(guard.value("commands", "")) +
                    L"   keep-alives " + text(guard.value("keepalives", 0)));
    lines.push_back(L"Key material " + text(guard.value("key_material_bytes", 0)) + L" bytes   bundle " +
                    text(guard.value("/bundle/bytes"_json_pointer, json(0))) + L" bytes, valid " +
                    text(guard.value("/bundle/valid"_json_pointer, json(false))) + L"   login of " +
                    text(guard.value("/login/username"_json_pointer, json("-"))));
    const json traffic = record.value("traffic", json::object());
    for (std::size_t channel = 0; channel < kChannelNames.size(); ++channel) {
        const json one = traffic.value(std::string(kChannelNames[channel]), json::object());
        lines.push_back(text(kChannelNames[channel]) + L" (" + text(kServerPorts[channel]) + L" -> " +
                        text(one.value("port", 0)) + L"): " + text(one.value("state", "idle")) + L", sent " +
                        text(one.value("sent", 0)) + L", received " + text(one.value("received", 0)) + L", rounds " +
                        text(one.value("echo_rounds", 0)));
    }
    if (guard.contains("item_mall")) {
        lines.push_back(L"Item mall: " + text(guard["item_mall"].value("requests", 0)) + L" requests, last " +
                        text(guard["item_mall"].value("last", json(nullptr))));
    }
    if (record.contains("/window/hung"_json_pointer) && record["window"]["hung"] == true) {
        lines.push_back(L"The window stopped answering (scenario hang)");
    }
    if (record_.writeFailed()) lines.push_back(L"The result file could not be written");
    lines.push_back(L"Running for " + std::to_wstring((::GetTickCount64() - started_) / 1000) + L" s");
    return lines;
}

void Game::paint(HWND window) {
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(window, &paint);
    const HGDIOBJ oldFont = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, RGB(230, 220, 180));
    int y = 16;
    for (const std::wstring& line : statusLines()) {
        ::TextOutW(dc, 16, y, line.c_str(), static_cast<int>(line.size()));
        y += 22;
    }
    ::SelectObject(dc, oldFont);
    ::EndPaint(window, &paint);
}

LRESULT CALLBACK Game::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* game = reinterpret_cast<Game*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    return game != nullptr ? game->handle(window, message, wParam, lParam)
                           : ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Game::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam == kTimer) onTimer();
        return 0;
    case WM_PAINT:
        paint(window);
        return 0;
    case WM_KEYDOWN:
        // Escape closes the game as its window's close box does (the demo closes it so).
        if (wParam == VK_ESCAPE) ::PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        record_.merge({{"window", {{"closed", true}}}});
        ::KillTimer(window, kTimer);
        ::DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace
}  // namespace nyra::standin

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    using namespace nyra::standin;
    // "{pid}" in the path becomes the process id, so that games started side by side (several
    // clients on one machine) keep one record each.
    std::wstring resultPath = environmentValue(L"NYRA_STANDIN_GAME_RESULT").value_or(L"");
    if (const std::size_t at = resultPath.find(L"{pid}"); at != std::wstring::npos) {
        resultPath.replace(at, 5, std::to_wstring(::GetCurrentProcessId()));
    }
    ResultRecord record{std::filesystem::path(resultPath)};
    const std::string scenarioText = utf8(environmentValue(L"NYRA_STANDIN_GAME_SCENARIO").value_or(L""));
    json start = startReport();
    start["pid"] = ::GetCurrentProcessId();
    start["scenario_text"] = scenarioText;
    start["environment"] = environmentReport();
    record.merge(start);

    Scenario scenario;
    try {
        scenario = parseScenario(scenarioText);
    } catch (const std::exception& error) {
        record.merge({{"scenario_error", error.what()}, {"ended", "bad-scenario"}, {"exit_code", kBadScenario}});
        return static_cast<int>(kBadScenario);
    }
    record.merge({{"scenario", scenario.describe()}});

    WSADATA sockets{};
    if (::WSAStartup(MAKEWORD(2, 2), &sockets) != 0) {
        record.merge({{"traffic", {{"error", "Windows Sockets 2.2 is unavailable"}}}});
        scenario.trafficBytes = 0;
    }
    Game game(scenario, record);
    const int exitCode = game.run(instance, show);
    ::WSACleanup();
    return exitCode;
}
