#pragma once
// Frame composition and presentation of the layered window.
#include "ui/win/art.h"

#include <memory>
#include <string>

namespace nyra::ui {

// What one frame shows, copied from the UI state before drawing so no lock is held while painting.
struct FrameModel {
    bool splash = true;
    std::wstring status;
    int progress = 0;
    bool busy = false;
};

// Draws the whole 1280 x 820 design at the given scale into a new 32-bit premultiplied bitmap.
std::unique_ptr<Gdiplus::Bitmap> renderFrame(LauncherAssets& assets, const FrameModel& model, double scale);

// Pushes a rendered frame to a layered window with per-pixel alpha (UpdateLayeredWindow).
void presentFrame(HWND window, Gdiplus::Bitmap& frame);

}  // namespace nyra::ui
