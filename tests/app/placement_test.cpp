// Where the main window goes at start-up, for screens that a test machine does not have: panels
// that take part of the screen, a second screen, a screen that is gone.
#include "app/placement.h"

#include <gtest/gtest.h>

namespace {

using kvx::app::placeMainWindow;
using kvx::app::StoredPlacement;

const QSize kDesigned(673, 480);

TEST(Placement, FirstRunCentresOnThePrimaryScreensFreeArea) {
    // A 1024 x 768 screen with a 30-pixel panel along its top.
    const QRect free(0, 30, 1024, 738);
    EXPECT_EQ(placeMainWindow({}, kDesigned, free, {free}), QRect(175, 159, 673, 480));
    // The primary screen is the right one of two.
    const QRect right(1920, 0, 1280, 1024);
    EXPECT_EQ(placeMainWindow({}, kDesigned, right, {QRect(0, 0, 1920, 1080), right}).topLeft(),
              QPoint(1920 + 303, 272));
    // A missing left alone is centred; the saved top is kept.
    StoredPlacement topOnly;
    topOnly.top = 40;
    EXPECT_EQ(placeMainWindow(topOnly, kDesigned, free, {free}).topLeft(), QPoint(175, 40));
}

TEST(Placement, SavedPlacementIsKeptOnAnyPresentScreenAndBroughtBackFromAGoneOne) {
    const QRect primary(0, 0, 1024, 768);
    const QRect second(1024, 0, 1280, 1024);
    StoredPlacement onSecond{800, 600, 100, 1500};
    EXPECT_EQ(placeMainWindow(onSecond, kDesigned, primary, {primary, second}),
              QRect(1500, 100, 800, 600));
    // The second screen is unplugged: back onto the primary one, whole where it fits.
    EXPECT_EQ(placeMainWindow(onSecond, kDesigned, primary, {primary}), QRect(224, 100, 800, 600));
    // Partly off the edge but with its title bar in reach: left where the user put it.
    StoredPlacement overTheEdge{800, 600, 5, -700};
    EXPECT_EQ(placeMainWindow(overTheEdge, kDesigned, primary, {primary}).topLeft(),
              QPoint(-700, 5));
    // Title bar above the screen: brought down.
    StoredPlacement above{800, 600, -300, 10};
    EXPECT_EQ(placeMainWindow(above, kDesigned, primary, {primary}).topLeft(), QPoint(10, 0));
    // A size from a damaged file stays drawable.
    StoredPlacement huge{2000000000, -5, -1, -1};
    const QRect placed = placeMainWindow(huge, kDesigned, primary, {primary});
    EXPECT_LE(placed.width(), 4096);
    EXPECT_GE(placed.height(), 1);
}

} // namespace
