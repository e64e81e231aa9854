#pragma once
// Placement of the launcher window: the 1280 x 820 design scaled to the primary monitor.

namespace nyra {

inline constexpr int kDesignWidth = 1280;
inline constexpr int kDesignHeight = 820;

struct WorkArea {
    int left = 0, top = 0, right = 0, bottom = 0;
};

struct WindowPlacement {
    double scale = 1.0;
    int x = 0, y = 0, width = 0, height = 0;
};

// scale = min(0.96 * work height / 820, 0.96 * work width / 1280, dpi / 96); the window is
// trunc(1280 * scale) x trunc(820 * scale), centred with integer division.
WindowPlacement placeWindow(const WorkArea& work, unsigned systemDpi);

}  // namespace nyra
