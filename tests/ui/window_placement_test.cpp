// Where the control panel and the big loop window go, as rectangles: beside the main window and
// inside the screen's free area, the main window making room where neither fits.
#include <gtest/gtest.h>

#include "ui/window_placement.h"

namespace vl::ui {
namespace {

const QRect kRoom(0, 0, 1280, 1024);
const QSize kPanel(861, 308);

TEST(WindowPlacement, PanelGoesBelowThenRightThenAboveThenLeft) {
  // Room below.
  EXPECT_EQ(PlaceBeside(QRect(100, 50, 400, 300), kPanel, kRoom), QPoint(100, 358));
  // Slid left to stay on the screen.
  EXPECT_EQ(PlaceBeside(QRect(900, 50, 300, 300), kPanel, kRoom), QPoint(1280 - 861, 358));
  // Too tall below: to the right, from the window's top.
  EXPECT_EQ(PlaceBeside(QRect(0, 400, 400, 600), kPanel, kRoom), QPoint(408, 400));
  // Only above has room.
  const QRect low(300, 500, 900, 500);
  const QPoint above = PlaceBeside(low, kPanel, kRoom);
  EXPECT_EQ(above.y(), 500 - 8 - 308);
  EXPECT_FALSE(QRect(above, kPanel).intersects(low));
  // A room that does not start at 0, 0 (a second monitor, a top panel).
  const QRect room(1280, 30, 1280, 994);
  const QPoint p = PlaceBeside(QRect(1300, 30, 400, 300), kPanel, room);
  EXPECT_TRUE(room.contains(QRect(p, kPanel)));
}

TEST(WindowPlacement, MainWindowMakesRoomOnlyWhenNoSideHasIt) {
  // 720 x 576 with its frame, centred on 1280 x 1024: no side has room for the panel.
  const QRect centred(279, 183, 722, 658);
  QPoint main_at = centred.topLeft();
  const QPoint at = ArrangeBeside(centred, kPanel, kRoom, &main_at);
  EXPECT_NE(main_at, centred.topLeft());
  const QRect moved(main_at, centred.size());
  EXPECT_TRUE(kRoom.contains(moved));
  EXPECT_TRUE(kRoom.contains(QRect(at, kPanel)));
  EXPECT_FALSE(QRect(at, kPanel).intersects(moved));

  // Room already: the main window stays.
  const QRect top(279, 0, 722, 658);
  main_at = top.topLeft();
  ArrangeBeside(top, kPanel, kRoom, &main_at);
  EXPECT_EQ(main_at, top.topLeft());

  // Neither fits beside the other anywhere: the panel stays on the screen, covering the least.
  const QRect huge(0, 0, 1280, 900);
  main_at = huge.topLeft();
  const QPoint last = ArrangeBeside(huge, kPanel, kRoom, &main_at);
  EXPECT_EQ(main_at, huge.topLeft());
  EXPECT_TRUE(kRoom.contains(QRect(last, kPanel)));
  EXPECT_EQ(last.y(), 1024 - 308);
}

TEST(WindowPlacement, BigWindowBelowTheMenuAndInsideTheScreen) {
  const QMargins frame(1, 20, 1, 5);
  // Below the menu bar (ending at y 399), shrunk to what is left.
  const QRect r = PlaceLarge(QSize(900, 740), frame, QRect(463, 359, 354, 306), 399, kRoom, 400);
  EXPECT_GE(r.top() - frame.top(), 400);
  EXPECT_TRUE(kRoom.contains(r.marginsAdded(frame)));
  EXPECT_EQ(r.width(), 900);
  EXPECT_NEAR(r.center().x(), 463 + 354 / 2.0, 2);  // centred across the main window
  // Too little room below the menu: from the top of the screen, the title bar on it.
  const QRect high = PlaceLarge(QSize(900, 740), frame, QRect(100, 700, 354, 306), 720, kRoom, 400);
  EXPECT_EQ(high.top(), frame.top());
  EXPECT_TRUE(kRoom.contains(high.marginsAdded(frame)));
}

}  // namespace
}  // namespace vl::ui
