#pragma once
// Composes whole frames of the launcher window from a copy of UiState: the two cached background
// layers, the animated sky and the screens (splash, home with its panels, settings, language
// menu, install panel), and pushes them to the layered window.
#include "ui/win/art.h"
#include "ui/win/paint.h"

#include "core/clock.h"
#include "core/ui_state.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nyra::ui {

class Renderer {
public:
    // seed: the shooting stars' generator (a random device's value in the running launcher, a
    // fixed one for pictures that must come out the same every time).
    Renderer(LauncherAssets& assets, UiStore& store, Clock& clock, std::uint32_t seed);
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;
    ~Renderer();

    // A new 32-bit premultiplied bitmap of round(1280 s) x round(820 s) with the whole frame.
    // preview: draw the home screen whatever the splash flag says.
    std::unique_ptr<Gdiplus::Bitmap> RenderFrame(double scale, bool preview);

    // Renders at the window's scale and pushes the bitmap with UpdateLayeredWindow.
    void PresentFrame(HWND window, double scale);

    // Values beside UiState that only the window's thread touches.
    void setMouse(float x, float y) {
        mouseX_ = x;
        mouseY_ = y;
    }
    float mouseX() const { return mouseX_; }
    float mouseY() const { return mouseY_; }
    void setCaretOn(bool on) { caretOn_ = on; }
    // "LAUNCHER " + this text at the foot of the account panel (major.minor.build).
    void setLauncherVersion(std::string version) { launcherVersion_ = std::move(version); }

    // Called with every text drawn through the UI language, before it is translated (a test lists
    // what the screens show with it).
    void setTranslationObserver(std::function<void(const std::string&)> observer) {
        translationObserver_ = std::move(observer);
    }

    // The first GDI+ failure of the last frame (Ok when everything drew).
    Gdiplus::Status lastStatus() const { return lastStatus_; }
    // How often the background layers were built (they are rebuilt only on a change of scale or splash).
    int layerBuilds() const { return layerBuilds_; }
    // How often the cached home-screen group was drawn anew.
    int homeGroupBuilds() const { return home_.builds; }

private:
    // A transparent bitmap at device resolution holding a group of screen elements, reused while
    // the state they show, the hover answers they asked for and the scale stay the same.
    struct CachedGroup {
        std::unique_ptr<Gdiplus::Bitmap> bitmap;
        std::string key;
        std::vector<Canvas::HoverQuery> queries;
        bool animated = false;
        double scale = 0;
        int builds = 0;
    };
    template <typename Draw>
    void drawCached(Canvas& frame, CachedGroup& group, const std::string& key, const PaintInputs& inputs, double scale,
                    Draw draw);
    void blit(Canvas& frame, Gdiplus::Bitmap& layer, double scale);

    void rebuildLayers(double scale, bool splash, PaintInputs& inputs);
    void drawHome(Canvas& c, const UiState& state);
    void drawLoginFields(Canvas& c, const UiSnapshot& state);
    void drawAccountPanel(Canvas& c, const UiState& state);
    void drawStatusPanel(Canvas& c, const UiState& state);
    void drawStatusContent(Canvas& c, const UiState& state);
    void drawNewsPanel(Canvas& c, const UiState& state);
    void drawSettingsPanel(Canvas& c, const UiState& state);
    void drawLanguageSwitch(Canvas& c, const UiState& state);
    void drawInstallPanel(Canvas& c, const UiState& state);
    Gdiplus::Bitmap* newsCover(const std::string& cover) const;

    LauncherAssets& assets_;
    UiStore& store_;
    Clock& clock_;
    FontSet fonts_;
    ShootingStars shooting_;

    std::unique_ptr<Gdiplus::Bitmap> baseLayer_;
    std::unique_ptr<Gdiplus::Bitmap> decorationLayer_;
    double layerScale_ = 0;
    bool layerSplash_ = false;
    bool layerEnglish_ = false;
    int layerBuilds_ = 0;
    int layerBuildsSeen_ = 0;
    Gdiplus::Bitmap* target_ = nullptr;  // the frame being drawn, for direct layer composition
    CachedGroup home_;      // home screen, news and status panels (without fields and bar)
    CachedGroup overlays_;  // settings panel, language switch and menu, install panel

    float mouseX_ = -1, mouseY_ = -1;
    bool caretOn_ = false;
    std::string launcherVersion_;
    std::function<void(const std::string&)> translationObserver_;
    Gdiplus::Status lastStatus_ = Gdiplus::Ok;
};

// major.minor.build of this program's file version resource ("5.5.27"); empty when unreadable.
std::string launcherVersionText();

}  // namespace nyra::ui
