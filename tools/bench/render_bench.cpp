// Rendering benchmark (not a test): the median RenderFrame time of the home screen and the splash
// at scale 1 and 2, and the time from starting Launcher.exe to its first visible window. Run it
// under Wine from the win64 tree's bin folder (see BENCHMARKS.md).
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "app/tests/win/launcher_harness.h"
#include "core/ui_state.h"
#include "ui/win/art.h"
#include "ui/win/renderer.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

class TickClock final : public nyra::Clock {
public:
    std::uint64_t tickMs() override { return ::GetTickCount64(); }
    void sleepMs(std::uint32_t ms) override { ::Sleep(ms); }
};

class NoWindow final : public nyra::WindowPoster {
public:
    void post(unsigned, std::uintptr_t) override {}
};

double nowMs() {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double medianFrame(nyra::ui::Renderer& renderer, double scale, int frames) {
    for (int i = 0; i < 5; ++i) renderer.RenderFrame(scale, false);  // layers built, caches warm
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
        const double start = nowMs();
        auto frame = renderer.RenderFrame(scale, false);
        times.push_back(nowMs() - start);
    }
    return median(times);
}

std::filesystem::path ownFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

}  // namespace

int main() {
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
    HMODULE launcher = ::LoadLibraryExW((ownFolder() / L"Launcher.exe").c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (launcher == nullptr) return 1;
    {
        nyra::ui::LauncherAssets assets(launcher);
        TickClock clock;
        NoWindow poster;
        nyra::UiStore store(clock, poster);
        store.withLock([](nyra::UiState& s) {
            s.serverOnline = true;
            s.busy = true;
            s.busyKind = nyra::kBusyDownloading;
            s.progress = 42;
            s.statusText = "Baixando nyra-003.pck: 202 MB de 480 MB";
        });
        nyra::ui::Renderer renderer(assets, store, clock, 1);
        store.splash().store(false);
        std::printf("RenderFrame home, scale 1: median %.2f ms\n", medianFrame(renderer, 1.0, 60));
        std::printf("RenderFrame home, scale 2: median %.2f ms\n", medianFrame(renderer, 2.0, 30));
        store.splash().store(true);
        std::printf("RenderFrame splash, scale 1: median %.2f ms\n", medianFrame(renderer, 1.0, 60));
    }
    ::FreeLibrary(launcher);
    Gdiplus::GdiplusShutdown(token);

    std::vector<double> starts;
    for (int run = 0; run < 5; ++run) {
        nyra::test::LauncherFolder folder;
        const double start = nowMs();
        nyra::test::LauncherProcess process(folder, L"");
        HWND window = process.waitForWindow(L"NyraBrasilNative");
        const double shown = nowMs() - start;
        if (window == nullptr) return 1;
        starts.push_back(shown);
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        process.waitForExit();
    }
    std::printf("Process start to first window: median %.0f ms (5 runs)\n", median(starts));
    return 0;
}
