#include "app/win/launcher.h"

#include "content/win/game_preparation.h"
#include "core/command_line.h"
#include "core/flow.h"
#include "core/layout.h"
#include "core/player_message.h"
#include "core/startup_services.h"
#include "core/text.h"
#include "core/ui_state.h"
#include "core/unavailable_services.h"
#include "core/win/instance_slot.h"
#include "core/win/process_environment.h"
#include "app/win/product_services.h"
#include "app/win/screen_actions.h"
#include "core/win/shell_adapters.h"
#include "home/install_panel.h"
#include "home/installed_game.h"
#include "home/win/folder_facts.h"
#include "home/win/folder_picker.h"
#include "home/win/healing.h"
#include "home/win/install.h"
#include "home/win/start_relocation.h"
#include "session/win/game_process.h"
#include "session/win/game_session.h"
#include "state/win/game_settings.h"
#include "state/win/preferences_file.h"
#include "update/win/self_update.h"
#include "platform/win/files.h"
#include "ui/news_loader.h"
#include "ui/win/art.h"
#include "ui/win/news_fetch.h"
#include "ui/win/preview.h"
#include "ui/win/renderer.h"
#include "ui/win/window.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

namespace nyra {
namespace {

class GdiplusSession {
public:
    GdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    ~GdiplusSession() {
        if (started_) Gdiplus::GdiplusShutdown(token_);
    }

private:
    ULONG_PTR token_ = 0;
    bool started_ = false;
};

class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (initialised_) ::CoUninitialize();
    }

private:
    bool initialised_;
};

void writeStandardOutput(const std::string& line) {
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// "--protect-diagnostics": converts legacy diagnostics, reads back the protected ones and reports
// one JSON line.
int runProtectDiagnostics(const std::filesystem::path& folder, StartupServices& services) {
    nlohmann::json report;
    int exitCode = 0;
    try {
        const unsigned migrated = services.migrateLegacyDiagnostics(folder);
        for (const wchar_t* name : {L"last-launch.dat", L"last-verification.dat"}) {
            // Only a file that is plainly absent is skipped; a link, even a dangling one, or a
            // lookup failure is handed to the reader, which refuses it with its message.
            const auto file = folder / name;
            if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES &&
                ::GetLastError() == ERROR_FILE_NOT_FOUND) {
                continue;
            }
            services.readDiagnostic(file);
        }
        report = {{"ok", true}, {"migrated", migrated}, {"protection", "windows-dpapi-current-user"}};
    } catch (const std::exception& failure) {
        report = {{"ok", false}, {"error", playerMessage(failure)}};
        exitCode = 1;
    }
    writeStandardOutput(report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return exitCode;
}

// Everything the interactive launcher owns. Members are declared in start-up order, so the
// destructor runs the shutdown in reverse: the flow (stop flag, join) first, GDI+ last.
class Launcher {
public:
    Launcher(HINSTANCE instance, StartupServices& startup) : instance_(instance), startup_(startup) {
        // The library search order and DPI awareness come before anything else loads.
        ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
        ::SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
        gdiplus_.emplace();
        com_.emplace();
    }
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    ~Launcher() { shutdown(); }

    int run(std::u16string_view commandLine);
    void shutdown();

private:
    int runInteractive(std::u16string_view commandLine, bool chainIsPlain, bool homeSettled);
    void openInstallPanel();
    // Starts the launcher at its new home; this one's slot is freed just before the new one runs.
    bool startSettled(const std::filesystem::path& launcher) {
        return home::startSettledLauncher(launcher, [this] { slot_.mutex.reset(); });
    }

    HINSTANCE instance_;
    StartupServices& startup_;
    std::optional<GdiplusSession> gdiplus_;
    std::optional<ComApartment> com_;
    std::filesystem::path folder_;
    UnavailableServices pending_;
    Win32ProcessEnvironment environment_;
    SystemClock backendClock_;
    WinHttpBackendFactory backend_{backendClock_};
    MachineIdentity hardware_;
    std::unique_ptr<SavedSessionFile> savedSession_;
    home::SystemFolderFacts folderFacts_;
    std::unique_ptr<home::RelocationAtStart> home_;
    update::LauncherSelfUpdate selfUpdate_{isGameRunning};
    std::unique_ptr<GamePreparation> preparation_;
    std::unique_ptr<ui::LauncherAssets> assets_;
    InstanceSlot slot_;
    SystemClock clock_;
    NoProtectionModules protection_;
    WindowsGameSession gameSession_{hardware_, protection_, clock_};
    WindowMessagePoster poster_;
    std::unique_ptr<UiStore> store_;
    std::unique_ptr<PreferencesFile> preferences_;
    std::unique_ptr<GameSettingsStore> settings_;
    std::unique_ptr<ui::NewsLoader> news_;
    std::unique_ptr<FlowServices> services_;
    std::unique_ptr<FlowController> flow_;
    std::unique_ptr<ui::Renderer> renderer_;
    std::unique_ptr<ProductScreenActions> screenActions_;
    std::unique_ptr<ui::WindowContext> windowContext_;
    HWND window_ = nullptr;
};

int Launcher::run(std::u16string_view commandLine) {
    folder_ = win::launcherFolderOfProcess();

    if (matchOption(commandLine, LaunchMode::ApplyLauncherUpdate)) {
        return startup_.applyLauncherUpdate(commandLine, folder_);
    }
    const bool homeSettled = matchOption(commandLine, LaunchMode::HomeSettled).has_value();
    if (matchOption(commandLine, LaunchMode::ProtectDiagnostics)) return runProtectDiagnostics(folder_, startup_);

    // Migration and clean-up touch files only where no ancestor redirects the folder.
    const bool chainIsPlain = win::isPlainFolderChain(folder_);
    if (chainIsPlain) {
        // Support files never keep the player from starting: a legacy file that cannot be
        // converted now stays where it is, and "--protect-diagnostics" reports why.
        try {
            startup_.migrateLegacyDiagnostics(folder_);
        } catch (const std::exception&) {
        }
    }

    assets_ = std::make_unique<ui::LauncherAssets>(instance_);

    if (auto preview = matchPreview(commandLine)) {
        const std::u16string value(preview->value);
        // The picture speaks the language the player chose, unless the option forces one.
        const auto saved = PreferencesFile(folder_).read();
        return ui::runPreview(preview->mode, std::filesystem::path(reinterpret_cast<const wchar_t*>(value.c_str())),
                              *assets_, saved && saved->english);
    }
    return runInteractive(commandLine, chainIsPlain, homeSettled);
}

int Launcher::runInteractive(std::u16string_view commandLine, bool chainIsPlain, bool homeSettled) {
    slot_ = claimInstanceSlot();
    if (chainIsPlain && !startup_.cleanNativeComponents(engineFolderFor(folder_, slot_.number))) {
        throw std::runtime_error("Feche o jogo anterior para limpar os componentes temporarios.");
    }
    if (matchOption(commandLine, LaunchMode::SecurityProbe)) {
        throw std::runtime_error("Autoteste de protecao indisponivel nesta versao.");
    }

    ui::registerWindowClass(instance_);

    RECT workArea{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const WindowPlacement placement =
        placeWindow({workArea.left, workArea.top, workArea.right, workArea.bottom}, ::GetDpiForSystem());

    store_ = std::make_unique<UiStore>(clock_, poster_);
    preferences_ = std::make_unique<PreferencesFile>(folder_);
    settings_ = std::make_unique<GameSettingsStore>(*store_, *preferences_, environment_,
                                                    engineFolderFor(folder_, slot_.number));
    settings_->loadPreferences();
    news_ = std::make_unique<ui::NewsLoader>(*store_, clock_, poster_,
                                             [](const std::atomic<bool>& stop) { return ui::fetchNews(&stop); });

    savedSession_ = std::make_unique<SavedSessionFile>(folder_);
    preparation_ = makeGamePreparation(folder_, engineFolderFor(folder_, slot_.number));
    const std::filesystem::path executable = win::launcherExecutableOfProcess();
    home_ = std::make_unique<home::RelocationAtStart>(
        folderFacts_, homeSettled, executable,
        home::RelocationHooks{
            [](const std::filesystem::path& folder, const std::filesystem::path& launcher, const ProgressFn& progress) {
                return home::repairInPlace(folder, launcher, progress);
            },
            [this] { slot_.mutex.reset(); }, home::showRelocationMessage,
            [this](const std::filesystem::path& launcher) { return startSettled(launcher); },
            [] { return home::desktopFolder(); }});
    services_ = std::make_unique<FlowServices>(FlowServices{
        backend_, *home_, selfUpdate_, *savedSession_, hardware_,
        *preparation_, *settings_, *preferences_, environment_, gameSession_});
    flow_ = std::make_unique<FlowController>(*store_, *services_, clock_, poster_, folder_);

    renderer_ = std::make_unique<ui::Renderer>(*assets_, *store_, clock_, std::random_device{}());
    renderer_->setLauncherVersion(ui::launcherVersionText());
    windowContext_ = std::make_unique<ui::WindowContext>(*store_, *renderer_, clock_);
    windowContext_->scale = placement.scale;
    windowContext_->flow = flow_.get();
    screenActions_ = std::make_unique<ProductScreenActions>(*settings_, *preferences_, environment_, clock_);
    screenActions_->setInstallHost(InstallHost{
        &folderFacts_, folder_, executable, [this] { return window_; }, home::pickInstallFolder,
        [] { return home::desktopFolder(); }, [this] { slot_.mutex.reset(); },
        [this](const std::filesystem::path& launcher) { return startSettled(launcher); },
        [this] {
            flow_->requestStop();
            poster_.post(kMsgClose, 0);
        }, [this] { flow_->startStartupJob(); }, &poster_});
    windowContext_->actions = screenActions_.get();
    windowContext_->startNews = [this] { news_->start(); };
    window_ = ui::createLauncherWindow(instance_, placement, *windowContext_);
    poster_.attach(window_);
    ui::presentCurrentFrame(window_, *windowContext_);
    news_->start();  // after the first frame: the feed never delays the window

    if (homeSettled || home::holdsInstalledGame(folder_)) {
        flow_->startStartupJob();
    } else {
        openInstallPanel();
    }

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    window_ = nullptr;
    return 0;
}

void Launcher::openInstallPanel() {
    std::vector<InstallEntry> entries;
    std::string failure;
    try {
        for (auto& candidate : startup_.installCandidates(folder_)) {
            InstallEntry entry;
            entry.path = utf16ToUtf8(candidate.folder.u16string());
            entry.label = std::move(candidate.label);
            entry.reason = std::move(candidate.reason);
            entry.freeBytes = candidate.freeBytes;
            entry.usable = candidate.usable;
            entries.push_back(std::move(entry));
        }
    } catch (const std::exception& error) {
        failure = playerMessage(error);
    }
    store_->splash().store(false);
    store_->withLock([&](UiState& state) {
        home::openInstallPanel(state, std::move(entries));
        if (!failure.empty()) state.installMessage = failure;
    });
    poster_.post(kMsgRefresh, 0);
}

void Launcher::shutdown() {
    // An install still copying finishes (or fails) before the flow and the instance slot go.
    if (screenActions_) screenActions_->joinInstallWorker();
    if (news_) news_->requestStop();
    if (flow_) {
        flow_->requestStop();
        flow_->joinAll();
    }
    poster_.detach();
    if (window_ != nullptr) {
        ::DestroyWindow(window_);
        window_ = nullptr;
    }
    flow_.reset();
    news_.reset();  // a running fetch ends at its next step
    windowContext_.reset();
    screenActions_.reset();
    renderer_.reset();
    services_.reset();
    settings_.reset();
    preferences_.reset();
    store_.reset();
    slot_ = InstanceSlot{};
    assets_.reset();
    com_.reset();
    gdiplus_.reset();
}

}  // namespace

void showStartupFailure(const char* message) {
    std::u16string text;
    try {
        text = utf8ToUtf16(message);
    } catch (const std::exception&) {
        text = u"Texto invalido.";
    }
    ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()), L"Nyra Saga Brasil",
                  MB_OK | MB_ICONINFORMATION);
}

int runLauncher(HINSTANCE instance, std::u16string_view commandLine, StartupServices& services) {
    Launcher launcher(instance, services);
    try {
        return launcher.run(commandLine);
    } catch (const std::exception& failure) {
        showStartupFailure(playerMessage(failure).c_str());
        launcher.shutdown();
        return 1;
    }
}

}  // namespace nyra
