// Where the main window goes at start-up: the saved placement (outer size and position, frame
// included) or the designed size centred, kept on the screens that are present. Widget-free.
#pragma once

#include <QList>
#include <QMargins>
#include <QRect>
#include <QSize>

namespace kvx::app {

// The "Size" keys as read from the profile; -1 stands for a missing value.
struct StoredPlacement {
    int width = -1;
    int height = -1;
    int top = -1;
    int left = -1;
};

// The outer rectangle of the window. A missing width or height keeps `designedOuter`'s; a size
// from a damaged file is kept within twice the largest screen. A missing top or left centres
// the window on `primaryAvailable` (the primary screen without its panels), truncated toward
// zero. A saved position whose title bar would lie on none of `availableAreas` is brought back
// onto the primary screen, so the window can be reached and dragged.
QRect placeMainWindow(const StoredPlacement& stored, QSize designedOuter,
                      const QRect& primaryAvailable, const QList<QRect>& availableAreas);

// The inside rectangle for an outer one, given the window manager's frame.
QRect insideOf(const QRect& outer, const QMargins& frame);

} // namespace kvx::app
