#include "app/placement.h"

#include <algorithm>
#include <cstdint>

namespace kvx::app {

namespace {

// How much of the top of the window must show on a screen to grab it by its title bar.
constexpr int kGrabHeight = 24;
constexpr int kGrabWidth = 48;

bool reachable(const QRect& outer, const QList<QRect>& areas) {
    const QRect titleBar(outer.left(), outer.top(), outer.width(),
                         std::min(kGrabHeight, outer.height()));
    return std::any_of(areas.begin(), areas.end(), [&titleBar](const QRect& area) {
        const QRect shown = area.intersected(titleBar);
        return shown.width() >= std::min(kGrabWidth, titleBar.width()) && shown.height() > 0;
    });
}

int keptWithin(std::int64_t stored, int designed, int screenExtent) {
    if (stored == -1)
        return designed;
    const std::int64_t most = std::max<std::int64_t>(2 * std::int64_t{screenExtent}, 4096);
    return static_cast<int>(std::clamp<std::int64_t>(stored, 1, most));
}

} // namespace

QRect placeMainWindow(const StoredPlacement& stored, QSize designedOuter,
                      const QRect& primaryAvailable, const QList<QRect>& availableAreas) {
    QRect bounds = primaryAvailable;
    for (const QRect& area : availableAreas)
        bounds = bounds.united(area);
    const int width = keptWithin(stored.width, designedOuter.width(), bounds.width());
    const int height = keptWithin(stored.height, designedOuter.height(), bounds.height());

    // A position from a damaged file stays within reach of the window system's coordinates.
    constexpr int kFarthest = 1 << 20;
    const int left = stored.left != -1
                         ? std::clamp(stored.left, -kFarthest, kFarthest)
                         : primaryAvailable.left() + (primaryAvailable.width() - width) / 2;
    const int top = stored.top != -1
                        ? std::clamp(stored.top, -kFarthest, kFarthest)
                        : primaryAvailable.top() + (primaryAvailable.height() - height) / 2;
    QRect outer(left, top, width, height);
    if ((stored.left != -1 || stored.top != -1) && !availableAreas.isEmpty() &&
        !reachable(outer, availableAreas)) {
        // Back onto the primary screen, as near to the saved place as the screen allows.
        const int x =
            std::clamp(left, primaryAvailable.left(),
                       std::max(primaryAvailable.left(),
                                primaryAvailable.left() + primaryAvailable.width() - width));
        const int y =
            std::clamp(top, primaryAvailable.top(),
                       std::max(primaryAvailable.top(),
                                primaryAvailable.top() + primaryAvailable.height() - height));
        outer.moveTo(x, y);
    }
    return outer;
}

QRect insideOf(const QRect& outer, const QMargins& frame) {
    return outer.marginsRemoved(frame);
}

} // namespace kvx::app
