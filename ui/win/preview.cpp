#include "ui/win/preview.h"

#include "ui/win/renderer.h"

#include <memory>
#include <vector>

namespace nyra::ui {
namespace {

// Pictures must come out the same on every run: time stands still at a fixed moment.
class FrozenClock final : public Clock {
public:
    std::uint64_t tickMs() override { return 3'600'000; }
    void sleepMs(std::uint32_t) override {}
};

class NoWindow final : public WindowPoster {
public:
    void post(unsigned, std::uintptr_t) override {}
};

struct PreviewScreen {
    double scale = 1.0;
    bool splash = false;
    int forceEnglish = -1;  // -1 the player's saved language, 0 Portuguese, 1 English
};

PreviewScreen screenFor(LaunchMode mode) {
    switch (mode) {
    case LaunchMode::PreviewFlagsEnglish: return {1.0, false, 1};
    case LaunchMode::PreviewFlagsPortuguese: return {1.0, false, 0};
    case LaunchMode::PreviewSplash: return {1.0, true, -1};
    case LaunchMode::PreviewHidpi: return {2.0, false, -1};
    case LaunchMode::PreviewSplashHidpi: return {2.0, true, -1};
    default: return {1.0, false, -1};
    }
}

// A believable state for each screen: what a player sees at that moment.
void fillState(LaunchMode mode, UiState& s) {
    s.serverOnline = true;
    s.gameVersion = "1.0.412";
    s.statusText = "Seu portal para o mundo de Nyra Saga esta pronto.";
    s.progress = 100;
    switch (mode) {
    case LaunchMode::PreviewSplash:
    case LaunchMode::PreviewSplashHidpi:
        s.statusText = "Conectando ao Nyra Saga Brasil...";
        s.progress = 0;
        break;
    case LaunchMode::PreviewSettings:
        s.settingsOpen = true;
        s.resolutionWidth = 1920;
        s.resolutionHeight = 1080;
        s.fullScreen = true;
        s.graphicsMode = 1;
        break;
    case LaunchMode::PreviewAccount:
        s.signedIn = true;
        s.username = "Aventureira";
        s.statusText = "Bem-vindo de volta! Clique em Jogar para entrar no mundo de Nyra Saga.";
        s.notifications = nlohmann::json::array({{{"read", false}}, {{"read", false}}, {{"read", true}}});
        s.news = {
            {"festival-das-lanternas", "evento", "Festival das Lanternas ilumina a capital neste fim de semana",
             "Missoes especiais, recompensas em dobro e a parada das lanternas na praca central.", "farol",
             "06 de dez. de 2026", true},
            {"atualizacao-5-5", "atualizacao", "Atualizacao 5.5: novas masmorras nos Jardins Suspensos", "", "jardins",
             "02 de dez. de 2026", false},
            {"manutencao-programada", "manutencao", "Manutencao programada na quinta-feira", "", "cristais", "", false},
        };
        break;
    case LaunchMode::PreviewUpdate:
        s.signedIn = true;
        s.username = "Aventureira";
        s.busy = true;
        s.busyKind = kBusyDownloading;
        s.progress = 42;
        s.statusText = "Baixando nyra-003.pck: 202 MB de 480 MB";
        break;
    case LaunchMode::PreviewInstall:
        s.busy = true;
        s.progress = 0;
        s.statusText = "Escolha onde instalar o jogo.";
        s.installPanelOpen = true;
        s.installEntries = {
            {"C:\\Jogos\\NyraBrasil", "C:\\Jogos\\NyraBrasil   ·   212 GB", "", 212ull << 30, true},
            {"D:\\NyraBrasil", "D:\\NyraBrasil   ·   48 GB", "", 48ull << 30, true},
            {"E:\\NyraBrasil", "E:\\NyraBrasil   ·   3 GB", "Espaco livre insuficiente (minimo 12 GB).", 3ull << 30, false},
        };
        s.selectedEntry = 0;
        break;
    default:
        s.username = "";
        break;
    }
}

bool pngEncoder(CLSID& clsid) {
    UINT count = 0, size = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return false;
    std::vector<std::byte> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (std::wstring_view(codecs[i].MimeType) == L"image/png") {
            clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

}  // namespace

bool writePng(Gdiplus::Bitmap& bitmap, const std::filesystem::path& target) {
    CLSID png{};
    if (!pngEncoder(png)) return false;
    std::filesystem::path temporary = target;
    temporary += L".nyra-tmp";
    if (bitmap.Save(temporary.c_str(), &png, nullptr) != Gdiplus::Ok) {
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

int runPreview(LaunchMode mode, const std::filesystem::path& target, LauncherAssets& assets, bool savedEnglish) {
    if (target.empty()) return kPreviewNotWritten;
    FrozenClock clock;
    NoWindow poster;
    UiStore store(clock, poster);
    const PreviewScreen screen = screenFor(mode);
    store.splash().store(screen.splash);
    const bool english = screen.forceEnglish == -1 ? savedEnglish : screen.forceEnglish == 1;
    store.uiEnglish().store(english);
    store.withLock([&](UiState& s) {
        fillState(mode, s);
        s.languageEnglish = english;
    });

    Renderer renderer(assets, store, clock, 20261210);
    renderer.setLauncherVersion(launcherVersionText());
    std::unique_ptr<Gdiplus::Bitmap> frame = renderer.RenderFrame(screen.scale, !screen.splash);
    if (!frame) return kPreviewNotWritten;
    if (!writePng(*frame, target)) return kPreviewNotWritten;
    return renderer.lastStatus() == Gdiplus::Ok ? kPreviewWritten : kPreviewDrawFailed;
}

}  // namespace nyra::ui
