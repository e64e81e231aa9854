#include "core/layout.h"

#include <algorithm>

namespace nyra {

WindowPlacement placeWindow(const WorkArea& work, unsigned systemDpi) {
    const int workWidth = work.right - work.left;
    const int workHeight = work.bottom - work.top;
    WindowPlacement placement;
    placement.scale = std::min({workHeight * 0.96 / kDesignHeight, workWidth * 0.96 / kDesignWidth,
                                systemDpi / 96.0});
    placement.width = static_cast<int>(kDesignWidth * placement.scale);
    placement.height = static_cast<int>(kDesignHeight * placement.scale);
    placement.x = (work.right - placement.width) / 2;
    placement.y = (work.bottom - placement.height) / 2;
    return placement;
}

}  // namespace nyra
