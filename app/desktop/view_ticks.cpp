// The view's side of the drawing: changes handed to the session, ticks started as soon as the
// last one is back, and each finished frame shown.
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "app/desktop/zentrope_view.h"

namespace vl::desktop {

namespace {

// The frame's pixels as a screen image, sharing them (no copy).
QImage ImageOf(const session::Frame& f) {
  if (!f.pixels) return {};
  using Pixels = std::shared_ptr<std::vector<uint32_t>>;
  auto* keep = new Pixels(f.pixels);
  return QImage(
      reinterpret_cast<uchar*>(f.pixels->data()), f.width, f.height, f.width * 4, QImage::Format_RGB32,
      [](void* p) { delete static_cast<Pixels*>(p); }, keep);
}

double MsBetween(session::SteadyTime from, session::SteadyTime to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

void CZentropeView::ChangeScene(std::function<void(engine::SceneState&)> change) {
  Wake();
  // During a load (the splash's holds answer the user) the change waits for the new loop.
  session_.Post([change = std::move(change)](engine::SceneState& s, engine::SequenceAssets&) { change(s); });
}

void CZentropeView::ChangeSceneAndAssets(std::function<void(engine::SceneState&, engine::SequenceAssets&)> change) {
  Wake();
  session_.Post(std::move(change));
}

const SceneGlance& CZentropeView::Glance() {
  const session::Snapshot s = session_.snapshot();
  glance_.export_preset = s.export_preset;
  glance_.current_frame = s.current_frame;
  glance_.keyframe_count = s.keyframe_count;
  glance_.settings = {s.lock_frame_rate, s.random_sequence_on_startup, s.export_preset, s.resize_to_preset};
  return glance_;
}

void CZentropeView::set_live_hooks(LiveHooks hooks) {
  session_.set_tick_hooks({std::move(hooks.before_tick), std::move(hooks.after_fetch), std::move(hooks.after_tick),
                           [this](const session::Frame& f) { stream_tap_.Offer(ImageOf(f)); }});
}

void CZentropeView::SchedulePump(int ms) {
  if (!pump_.isActive() || ms == 0) pump_.start(ms);
}

void CZentropeView::Wake() {
  still_frames_ = 0;
  SchedulePump();
}

void CZentropeView::Pump() {
  // During a load the scene is half replaced: no ticks, the last frame stays on screen.
  if (!started_ || loading_) return;
  const QSize size = DeviceSize();
  session_.StartTick(
      {size.width(), size.height(), control_panel_ != nullptr, control_panel_ ? control_panel_->SliderPosition() : 0});
}

void CZentropeView::AwaitScene() {
  if (auto r = session_.AwaitResult()) {
    TakeTick(std::move(*r));
    SchedulePump(NextTickDelay());
  }
}

void CZentropeView::TickFinished() {
  auto r = session_.TakeResult();
  if (!r) return;
  const bool drawn = r->drawn;
  TakeTick(std::move(*r));
  // The next tick starts now rather than after this frame is painted: an edit made meanwhile is
  // in the very next frame, and drawing goes on while the GUI thread paints.
  const int delay = NextTickDelay();
  if (delay == 0 && drawn) {
    pump_.stop();
    Pump();
  } else {
    SchedulePump(delay);
  }
}

void CZentropeView::TakeTick(session::TickResult r) {
  if (trace_ticks_) TraceTick(r);
  context_failures_ = r.no_context ? std::min(context_failures_ + 1, 9) : 0;
  last_drawn_ = r.drawn;
  if (r.drawn) {
    ShowFrame(r);
  } else {
    ++ticks_skipped_;
  }
  if (control_panel_ && r.panel) {
    if (r.slider_set) control_panel_->SetSliderPosition(r.slider);
    if (r.frame_number_set) control_panel_->SetFrameNumber(r.frame_number);
    if (r.fps_set) control_panel_->SetFpsLabel(r.fps_label);
  }
  if (r.open_loop_window) QTimer::singleShot(0, this, &CZentropeView::OpenLoopWindow);
  if (!r.mode_status.empty()) Say(QString::fromStdString(r.mode_status), StatusKind::kBackground);
  for (const std::string& line : r.problems) Tell(line);
}

int CZentropeView::NextTickDelay() const {
  // A context that cannot be made current is tried again less and less often (up to once a
  // second), not every 2 ms.
  if (context_failures_ > 0) return std::min(1000, 2 << context_failures_);
  // A tick the frame-rate lock skipped comes back at once: give the lock a moment before the
  // next, rather than spinning. A still picture is looked at again now and then only (a change
  // the view is not told of, such as the settings, still shows).
  return !last_drawn_ ? 2 : still_frames_ >= 2 ? 1000 : 0;
}

void CZentropeView::ShowFrame(session::TickResult& r) {
  ++ticks_drawn_;
  QImage frame = ImageOf(r.frame);
  // A stopped loop whose frames come out the same is still (a trail or particles would move
  // it): it need not be drawn again until something changes.
  const bool stopped = session_.snapshot().playing == 0;
  still_frames_ = stopped && frame == shown_ ? still_frames_ + 1 : 0;
  shown_ = std::move(frame);
  shown_.setDevicePixelRatio(devicePixelRatioF());
  update();
}

void CZentropeView::TraceTick(const session::TickResult& r) {
  if (!r.drawn) return;
  const auto now = std::chrono::steady_clock::now();
  std::fprintf(stderr, "vantaloop: tick at %.1f ms: drawn in %.1f ms, taken %.1f ms later", MsBetween({}, r.started),
               MsBetween(r.started, r.finished), MsBetween(r.finished, now));
  if (r.changes > 0)
    std::fprintf(stderr, "; %d changes, the oldest posted %.1f ms before the tick", r.changes,
                 MsBetween(r.oldest_change, r.started));
  std::fprintf(stderr, "\n");
}

}  // namespace vl::desktop
