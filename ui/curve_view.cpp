#include "ui/curve_view.h"

#include <algorithm>
#include <cmath>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

namespace vl::ui {

namespace {
constexpr int kMarkRadius = 4;
constexpr int kPickRadius = 7;
constexpr double kLeftMargin = 48, kBottomMargin = 18, kMargin = 6;
// Distinct hues for up to eight tracks at once, then round again.
const QColor kTrackColours[] = {QColor(230, 90, 70),   QColor(80, 170, 240),  QColor(110, 200, 90),
                                QColor(240, 190, 60),  QColor(200, 110, 230), QColor(60, 210, 200),
                                QColor(240, 130, 180), QColor(180, 180, 180)};

// A round step for grid lines about `target` apart.
double NiceStep(double span, int lines) {
  const double raw = span / std::max(1, lines);
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * p) return m * p;
  return 10.0 * p;
}
}  // namespace

CurveData CopyCurves(const engine::SceneState& scene, const std::vector<engine::Track>& tracks) {
  CurveData d;
  const int keys = std::clamp(scene.keyframe_count, 0, engine::kKeyListSize - 1);
  for (int k = 0; k <= keys; ++k) d.key_frames.push_back((*scene.keyframe_frame)[static_cast<size_t>(k)]);
  d.end = std::clamp(engine::PlayedFrameCount(scene), 0, engine::kFrameSlots);
  for (engine::Track t : tracks) {
    const engine::ParameterTrack& p = scene.track(t);
    CurveTrack c{t, p.initial_value, {}, std::vector<float>(p.frame_values, p.frame_values + d.end)};
    for (int f : d.key_frames) c.key_values.push_back(f >= 0 && f < engine::kFrameSlots ? p.key_values[f] : 0.0f);
    d.tracks.push_back(std::move(c));
  }
  return d;
}

CurveView::CurveView(QWidget* parent) : QWidget(parent) {
  setMinimumSize(240, 160);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(false);
  setAccessibleName("Curves");
}

void CurveView::SetData(CurveData data, bool fit) {
  const bool first = data_.tracks.empty() && data_.key_frames.empty();
  const bool tracks_changed = data.tracks.size() != data_.tracks.size() ||
                              !std::equal(data.tracks.begin(), data.tracks.end(), data_.tracks.begin(),
                                          [](const CurveTrack& a, const CurveTrack& b) { return a.track == b.track; });
  data_ = std::move(data);
  // Marks of tracks no longer shown, or of keys that went, leave the selection.
  std::erase_if(selection_, [&](const KeyMark& m) {
    return m.key >= static_cast<int>(data_.key_frames.size()) ||
           std::none_of(data_.tracks.begin(), data_.tracks.end(),
                        [&](const CurveTrack& t) { return t.track == m.track; });
  });
  if (fit || first || f1_ > std::max(100, data_.end) * 4.0) Fit();
  else if (tracks_changed) FitValues();
  update();
}

void CurveView::SetPlayhead(int frame) {
  if (frame == playhead_) return;
  playhead_ = frame;
  update();
}

void CurveView::SetSelection(std::set<KeyMark> marks) {
  selection_ = std::move(marks);
  update();
  emit SelectionChanged();
}

void CurveView::Fit() {
  const int last = data_.key_frames.empty() ? 100 : std::max(data_.end, data_.key_frames.back());
  f0_ = -0.02 * std::max(10, last);
  f1_ = std::max(10, last) * 1.02;
  FitValues();
}

void CurveView::FitValues() {
  double lo = HUGE_VAL, hi = -HUGE_VAL;
  for (const CurveTrack& t : data_.tracks) {
    for (float v : t.frame_values)
      if (std::isfinite(v)) lo = std::min(lo, double(v)), hi = std::max(hi, double(v));
    if (std::isfinite(t.initial)) lo = std::min(lo, double(t.initial)), hi = std::max(hi, double(t.initial));
  }
  if (!std::isfinite(lo)) lo = 0, hi = 1;
  if (hi - lo < 1e-6) lo -= 1, hi += 1;
  const double pad = (hi - lo) * 0.08;
  v0_ = lo - pad, v1_ = hi + pad;
  update();
}

void CurveView::ZoomTime(double factor, double around) {
  f0_ = around + (f0_ - around) * factor;
  f1_ = around + (f1_ - around) * factor;
  if (f1_ - f0_ < 4) f1_ = f0_ + 4;
  update();
}

void CurveView::ZoomValue(double factor, double around) {
  v0_ = around + (v0_ - around) * factor;
  v1_ = around + (v1_ - around) * factor;
  if (v1_ - v0_ < 1e-4) v1_ = v0_ + 1e-4;
  update();
}

void CurveView::PanBy(double frames, double values) {
  f0_ += frames, f1_ += frames, v0_ += values, v1_ += values;
  update();
}

QRectF CurveView::Plot() const {
  return QRectF(kLeftMargin, kMargin, std::max(1.0, width() - kLeftMargin - kMargin),
                std::max(1.0, height() - kMargin - kBottomMargin));
}

QPointF CurveView::ToPixels(double frame, double value) const {
  const QRectF p = Plot();
  return QPointF(p.left() + (frame - f0_) / (f1_ - f0_) * p.width(),
                 p.bottom() - (value - v0_) / (v1_ - v0_) * p.height());
}

double CurveView::FrameAt(double x) const {
  const QRectF p = Plot();
  return f0_ + (x - p.left()) / p.width() * (f1_ - f0_);
}

double CurveView::ValueAt(double y) const {
  const QRectF p = Plot();
  return v0_ + (p.bottom() - y) / p.height() * (v1_ - v0_);
}

float CurveView::MarkValue(const KeyMark& m) const {
  for (const CurveTrack& t : data_.tracks)
    if (t.track == m.track) return m.key == 0 ? t.initial : t.key_values[static_cast<size_t>(m.key)];
  return 0.0f;
}

QPointF CurveView::MarkPosition(const KeyMark& m) const {
  const int frame = data_.key_frames[static_cast<size_t>(m.key)];
  return ToPixels(m.key == 0 ? frame : frame - 1, MarkValue(m));
}

std::optional<KeyMark> CurveView::MarkAt(QPointF p) const {
  std::optional<KeyMark> best;
  double best_d = kPickRadius * kPickRadius;
  for (const CurveTrack& t : data_.tracks)
    for (int k = 0; k < static_cast<int>(data_.key_frames.size()); ++k) {
      const QPointF d = MarkPosition({t.track, k}) - p;
      const double dd = d.x() * d.x() + d.y() * d.y();
      if (dd <= best_d) best_d = dd, best = KeyMark{t.track, k};
    }
  return best;
}

// Frames along, values up, with their numbers in the margins.
void CurveView::DrawGrid(QPainter& p, const QRectF& plot) const {
  p.setPen(QColor(55, 55, 62));
  const double fstep = std::max(1.0, NiceStep(f1_ - f0_, std::max(2, static_cast<int>(plot.width() / 70))));
  for (double f = std::ceil(f0_ / fstep) * fstep; f <= f1_; f += fstep) {
    const double x = ToPixels(f, 0).x();
    p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    p.setPen(QColor(150, 150, 160));
    p.drawText(QRectF(x - 30, plot.bottom() + 2, 60, kBottomMargin - 2), Qt::AlignHCenter | Qt::AlignTop,
               QString::number(f, 'f', 0));
    p.setPen(QColor(55, 55, 62));
  }
  const double vstep = NiceStep(v1_ - v0_, std::max(2, static_cast<int>(plot.height() / 40)));
  for (double v = std::ceil(v0_ / vstep) * vstep; v <= v1_; v += vstep) {
    const double y = ToPixels(0, v).y();
    p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    p.setPen(QColor(150, 150, 160));
    p.drawText(QRectF(0, y - 8, kLeftMargin - 4, 16), Qt::AlignRight | Qt::AlignVCenter, QString::number(v, 'g', 4));
    p.setPen(QColor(55, 55, 62));
  }
}

// A track's curve over the frames in view and its key marks, the selected ones lit.
void CurveView::DrawTrack(QPainter& p, const QRectF& plot, const CurveTrack& t, const QColor& colour) const {
  // One point per frame in view, or per pixel column when frames are denser than pixels.
  QPainterPath path;
  const int first = std::clamp(static_cast<int>(std::floor(f0_)), 0, std::max(0, data_.end - 1));
  const int last = std::clamp(static_cast<int>(std::ceil(f1_)), 0, std::max(0, data_.end - 1));
  const int step = std::max(1, static_cast<int>((last - first) / std::max(1.0, plot.width())));
  bool started = false;
  for (int f = first; f <= last && f < data_.end; f += step) {
    const float v = t.frame_values[static_cast<size_t>(f)];
    if (!std::isfinite(v)) {
      started = false;
      continue;
    }
    const QPointF at = ToPixels(f, v);
    if (!started) path.moveTo(at), started = true;
    else path.lineTo(at);
  }
  p.setPen(QPen(colour, 1.6));
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
  for (int k = 0; k < static_cast<int>(data_.key_frames.size()); ++k) {
    const KeyMark m{t.track, k};
    const QPointF at = MarkPosition(m);
    const bool selected = selection_.count(m) != 0;
    p.setPen(QPen(selected ? Qt::white : colour.darker(150), selected ? 2 : 1));
    p.setBrush(k == 0 ? QBrush(Qt::NoBrush) : QBrush(selected ? colour.lighter(140) : colour));
    p.drawRect(QRectF(at.x() - kMarkRadius, at.y() - kMarkRadius, 2 * kMarkRadius, 2 * kMarkRadius));
  }
}

void CurveView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(28, 28, 32));
  const QRectF plot = Plot();
  p.setRenderHint(QPainter::Antialiasing, false);
  DrawGrid(p, plot);
  // The frames that play, and the key rows.
  p.setPen(QPen(QColor(90, 90, 100), 1, Qt::DashLine));
  for (int f : data_.key_frames) {
    const double x = ToPixels(f, 0).x();
    p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
  }
  p.setClipRect(plot);
  p.setRenderHint(QPainter::Antialiasing, true);
  for (size_t i = 0; i < data_.tracks.size(); ++i)
    DrawTrack(p, plot, data_.tracks[i], kTrackColours[i % std::size(kTrackColours)]);
  // The playhead.
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QPen(QColor(250, 250, 120), 1));
  const double x = ToPixels(playhead_, 0).x();
  p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
  if (drag_ == Drag::kBand) {
    p.setPen(QPen(QColor(200, 200, 255), 1, Qt::DotLine));
    p.setBrush(QColor(120, 120, 255, 40));
    p.drawRect(QRectF(press_, now_).normalized());
  }
  p.setClipping(false);
  p.setPen(QColor(80, 80, 90));
  p.setBrush(Qt::NoBrush);
  p.drawRect(plot);
  if (data_.tracks.empty()) {
    p.setPen(QColor(170, 170, 180));
    p.drawText(plot, Qt::AlignCenter, "Choose tracks to see their curves");
  }
}

void CurveView::mousePressEvent(QMouseEvent* event) {
  setFocus();
  press_ = now_ = event->position();
  dragged_frames_ = 0, dragged_value_ = 0;
  if (event->button() == Qt::MiddleButton ||
      (event->button() == Qt::LeftButton && event->modifiers() & Qt::AltModifier)) {
    drag_ = Drag::kPan;
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  const bool add = event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier);
  if (const auto mark = MarkAt(press_)) {
    if (add && selection_.count(*mark)) {
      selection_.erase(*mark);  // Ctrl+click takes a mark out again
      drag_ = Drag::kNone;
    } else {
      if (!add && !selection_.count(*mark)) selection_.clear();
      selection_.insert(*mark);
      drag_ = Drag::kMarks;
    }
    emit SelectionChanged();
    update();
    return;
  }
  if (press_.y() > Plot().bottom()) {  // the frame ruler: move the playhead there
    drag_ = Drag::kNone;
    emit SeekRequested(std::clamp(static_cast<int>(std::lround(FrameAt(press_.x()))), 0, std::max(0, data_.end - 1)));
    return;
  }
  if (!add && !selection_.empty()) {
    selection_.clear();
    emit SelectionChanged();
  }
  drag_ = Drag::kBand;
  update();
}

void CurveView::mouseMoveEvent(QMouseEvent* event) {
  const QPointF last = now_;
  now_ = event->position();
  switch (drag_) {
    case Drag::kPan: {
      const QRectF p = Plot();
      PanBy(-(now_.x() - last.x()) / p.width() * (f1_ - f0_), (now_.y() - last.y()) / p.height() * (v1_ - v0_));
      break;
    }
    case Drag::kMarks: {
      const int frames = static_cast<int>(std::lround(FrameAt(now_.x()) - FrameAt(press_.x())));
      double value = ValueAt(now_.y()) - ValueAt(press_.y());
      if (snap_values_) value = std::round(value);
      if (frames == dragged_frames_ && value == dragged_value_) break;
      dragged_frames_ = frames, dragged_value_ = value;
      emit DragMarks({selection_.begin(), selection_.end()}, frames, value, true);
      break;
    }
    case Drag::kBand: update(); break;
    case Drag::kNone: break;
  }
}

void CurveView::mouseReleaseEvent(QMouseEvent* event) {
  now_ = event->position();
  const Drag was = std::exchange(drag_, Drag::kNone);
  if (was == Drag::kMarks && (dragged_frames_ != 0 || dragged_value_ != 0))
    emit DragMarks({selection_.begin(), selection_.end()}, dragged_frames_, dragged_value_, false);
  if (was == Drag::kBand) {
    const QRectF band = QRectF(press_, now_).normalized();
    if (band.width() < 3 && band.height() < 3) {
      // A plain click on the graph moves the playhead to that frame.
      emit SeekRequested(std::clamp(static_cast<int>(std::lround(FrameAt(now_.x()))), 0, std::max(0, data_.end - 1)));
    } else {
      for (const CurveTrack& t : data_.tracks)
        for (int k = 0; k < static_cast<int>(data_.key_frames.size()); ++k)
          if (band.contains(MarkPosition({t.track, k}))) selection_.insert({t.track, k});
      emit SelectionChanged();
    }
  }
  update();
}

void CurveView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (!MarkAt(event->position())) Fit();
}

void CurveView::wheelEvent(QWheelEvent* event) {
  // Shift+wheel may come as a sideways wheel (some systems turn it so for scrolling).
  const QPoint delta = event->angleDelta();
  const double factor = std::pow(0.85, (delta.y() != 0 ? delta.y() : delta.x()) / 120.0);
  const QPointF at = event->position();
  if (event->modifiers() & Qt::ShiftModifier) ZoomValue(factor, ValueAt(at.y()));
  else ZoomTime(factor, FrameAt(at.x()));
  event->accept();
}

void CurveView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
      if (!selection_.empty()) emit DeleteRequested();
      return;
    case Qt::Key_Plus:
    case Qt::Key_Equal: ZoomTime(0.7, playhead_); return;
    case Qt::Key_Minus: ZoomTime(1 / 0.7, playhead_); return;
    case Qt::Key_Home: Fit(); return;
    default: QWidget::keyPressEvent(event);
  }
}

}  // namespace vl::ui
