// Where the program's own windows go on a screen: the control panel beside the main window
// rather than over the picture, the big loop window inside the screen's free area below the main
// window's menu. Rectangles are frames (title bar and borders included) in screen coordinates.
#pragma once
#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace vl::ui {

// The top-left corner for a window of frame size `size` beside `main` within `room` (the screen's
// area without docks and panels): below it, else to its right, else above, else to its left,
// each slid along the main window's edge to stay inside `room`. When no side has room, the place
// inside `room` that covers the least of `main`.
QPoint PlaceBeside(const QRect& main, const QSize& size, const QRect& room);

// The same, but when no side of `main` has room where it is, `main_at` receives a new top-left
// corner for the main window (inside `room`) that leaves room below or to its right; it is left
// alone otherwise. Only when even that cannot be done does the window cover part of `main`.
QPoint ArrangeBeside(const QRect& main, const QSize& size, const QRect& room, QPoint* main_at);

// Whether a window of frame `rect` lies wholly inside `room`.
inline bool Inside(const QRect& rect, const QRect& room) { return room.contains(rect); }

// The big loop window: `wanted` (a client size) shrunk to fit `room` with its frame `margins`,
// centred across `main` and starting below `below` (the main window's menu bar) when that leaves
// it at least `min_height`; otherwise at the top of `room`. The client rectangle.
QRect PlaceLarge(const QSize& wanted, const QMargins& margins, const QRect& main, int below, const QRect& room,
                 int min_height);

}  // namespace vl::ui
