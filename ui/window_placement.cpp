#include "ui/window_placement.h"

#include <algorithm>

namespace vl::ui {
namespace {

constexpr int kGap = 8;

int Clamp(int v, int lo, int hi) { return hi < lo ? lo : std::clamp(v, lo, hi); }

int64_t Covered(const QRect& a, const QRect& b) {
  const QRect i = a.intersected(b);
  return i.isEmpty() ? 0 : int64_t{i.width()} * i.height();
}

}  // namespace

QPoint ArrangeBeside(const QRect& main, const QSize& size, const QRect& room, QPoint* main_at) {
  const QPoint at = PlaceBeside(main, size, room);
  if (!QRect(at, size).intersects(main)) return at;
  // Stacked: the pair centred down the room, the main window keeping its column when it can.
  if (main.height() + kGap + size.height() <= room.height() && main.width() <= room.width() &&
      size.width() <= room.width()) {
    const int top = room.top() + (room.height() - (main.height() + kGap + size.height())) / 2;
    *main_at = QPoint(Clamp(main.left(), room.left(), room.right() + 1 - main.width()), top);
    return PlaceBeside(QRect(*main_at, main.size()), size, room);
  }
  if (main.width() + kGap + size.width() <= room.width() && main.height() <= room.height() &&
      size.height() <= room.height()) {
    const int left = room.left() + (room.width() - (main.width() + kGap + size.width())) / 2;
    *main_at = QPoint(left, Clamp(main.top(), room.top(), room.bottom() + 1 - main.height()));
    return PlaceBeside(QRect(*main_at, main.size()), size, room);
  }
  return at;
}

QPoint PlaceBeside(const QRect& main, const QSize& size, const QRect& room) {
  const int right_most = room.right() + 1 - size.width();
  const int bottom_most = room.bottom() + 1 - size.height();
  const QPoint candidates[] = {
      {Clamp(main.left(), room.left(), right_most), main.bottom() + 1 + kGap},           // below
      {main.right() + 1 + kGap, Clamp(main.top(), room.top(), bottom_most)},             // right
      {Clamp(main.left(), room.left(), right_most), main.top() - kGap - size.height()},  // above
      {main.left() - kGap - size.width(), Clamp(main.top(), room.top(), bottom_most)},   // left
  };
  for (const QPoint& p : candidates)
    if (Inside(QRect(p, size), room)) return p;
  // Nowhere free: the corner of the room that covers the least of the main window.
  QPoint best(Clamp(main.left(), room.left(), right_most),
              Clamp(room.bottom() + 1 - size.height(), room.top(), bottom_most));
  int64_t least = Covered(QRect(best, size), main);
  for (const QPoint& p : {QPoint(room.left(), room.top()), QPoint(right_most, room.top()),
                          QPoint(room.left(), bottom_most), QPoint(right_most, bottom_most)}) {
    const QPoint q(Clamp(p.x(), room.left(), right_most), Clamp(p.y(), room.top(), bottom_most));
    const int64_t c = Covered(QRect(q, size), main);
    if (c < least) least = c, best = q;
  }
  return best;
}

QRect PlaceLarge(const QSize& wanted, const QMargins& margins, const QRect& main, int below, const QRect& room,
                 int min_height) {
  QRect area = room;
  if (below > room.top() && room.bottom() - below >= min_height + margins.top() + margins.bottom())
    area.setTop(below + 1);
  const QRect inner = area.marginsRemoved(margins);
  const QSize size = wanted.boundedTo(inner.size()).expandedTo(QSize(1, 1));
  const int x = Clamp(main.center().x() - size.width() / 2, inner.left(), inner.right() + 1 - size.width());
  return QRect(QPoint(x, inner.top()), size);
}

}  // namespace vl::ui
