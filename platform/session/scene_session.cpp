#include "platform/session/scene_session.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "engine/keyframes.h"
#include "platform/headless/headless_context.h"
#include "render/view_frame.h"
#include "render/view_setup.h"

namespace vl::session {

namespace {

// The control panel as a tick on the drawing thread sees it: what playback writes is kept for
// the owner to show once the tick is over.
class RecordedPanel : public render::PlaybackPanel {
 public:
  RecordedPanel(TickResult& result, int slider) : result_(result), slider_(slider) {}
  void SetSliderPosition(int frame) override { slider_ = result_.slider = frame, result_.slider_set = true; }
  int SliderPosition() const override { return slider_; }
  void SetFrameNumber(int frame) override { result_.frame_number = frame, result_.frame_number_set = true; }
  void SetFpsLabel(const std::string& text) override { result_.fps_label = text, result_.fps_set = true; }

 private:
  TickResult& result_;
  int slider_;
};

// GL errors are told a few times, not every frame.
constexpr int kGlErrorsTold = 5;

}  // namespace

SceneSession::SceneSession(render::RenderAssets& assets, vl::Random& random, std::function<void()> tick_done)
    : assets_(assets),
      random_(random),
      scene_(std::make_unique<engine::SceneState>()),
      layers_(assets, random),
      renderer_(*scene_, layers_, clock_),
      playback_(*scene_, clock_, sleeper_),
      owner_(std::this_thread::get_id()),
      drawing_(std::move(tick_done)) {
  // On the drawing thread: the owner opens the window once the tick is over.
  playback_.set_loop_window_opener([this] { result_.open_loop_window = true; });
  RefreshSnapshot();
}

SceneSession::~SceneSession() {
  drawing_.Wait();
  if (gl_ && gl_->MakeCurrent()) {
    engine::ClearKeyframes(*scene_);
    gl_->Release();
  }
}

bool SceneSession::Start(int width, int height, int nice, std::string* error) {
  Settle();
  // The context is made on the drawing thread, which (with the renderer's own threads, started
  // with the context) gives way to the owner when the processor is short.
  std::string why;
  drawing_.Start([this, width, height, nice, &why] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), nice);
    gl_ = headless::HeadlessContext::Create(width, height, &why);
    if (gl_) gl_->Release();
  });
  drawing_.Wait();
  result_ = TickResult{};
  if (!gl_) {
    if (error) *error = why;
    return false;
  }
  Hold hold(*this);
  render::StartView(*scene_, renderer_, layers_, assets_, random_);
  return true;
}

// ---- Changes and the snapshot -----------------------------------------------------------------

void SceneSession::Post(Change change) {
  const bool owner = std::this_thread::get_id() == owner_;
  // A change may ask for another: it is made at once, the scene being ours.
  if (owner && applying_) return Apply(change);
  {
    std::lock_guard<std::mutex> lock(mu_);
    waiting_.push_back({std::move(change), std::chrono::steady_clock::now()});
  }
  if (owner && holds_ == 0 && !drawing_.in_hand()) {
    MakeWaiting();
    return;
  }
  if (posted_) posted_();
}

void SceneSession::Apply(Change& change) {
  change(*scene_, assets_);
  ++changes_made_;
}

void SceneSession::MakeWaiting() {
  std::vector<Posted> changes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    changes.swap(waiting_);
  }
  if (changes.empty()) return;
  // With the context current for what the changes load.
  Hold hold(*this);
  applying_ = true;
  for (Posted& p : changes) {
    if (result_.changes++ == 0) result_.oldest_change = p.at;
    Apply(p.change);
  }
  applying_ = false;
}

void SceneSession::RefreshSnapshot() {
  const engine::SceneState& s = *scene_;
  std::lock_guard<std::mutex> lock(mu_);
  snapshot_.export_preset = s.export_preset;
  snapshot_.current_frame = s.current_frame;
  snapshot_.keyframe_count = s.keyframe_count;
  snapshot_.playing = s.playing;
  snapshot_.locked_fps = s.locked_fps;
  snapshot_.lock_frame_rate = s.lock_frame_rate;
  snapshot_.random_sequence_on_startup = s.random_sequence_on_startup;
  snapshot_.resize_to_preset = s.resize_to_preset;
  snapshot_.changes_made = changes_made_;
}

Snapshot SceneSession::snapshot() {
  if (std::this_thread::get_id() == owner_ && !drawing_.in_hand()) RefreshSnapshot();
  std::lock_guard<std::mutex> lock(mu_);
  return snapshot_;
}

// ---- Owning the scene -------------------------------------------------------------------------

void SceneSession::Settle() {
  if (!drawing_.in_hand()) return;
  drawing_.Wait();
  waited_ = Handback();
}

TickResult SceneSession::Handback() {
  TickResult r = std::exchange(result_, TickResult{});
  // Changes made before a tick the frame-rate lock skipped are shown by the next one drawn.
  if (!r.drawn) result_.changes = r.changes, result_.oldest_change = r.oldest_change;
  // The scene is the owner's again: what was asked meanwhile is made now, before anything the
  // owner does next (a load after a Stop loads stopped).
  MakeWaiting();
  return r;
}

engine::SceneState& SceneSession::SceneNow() {
  Settle();
  return *scene_;
}

std::optional<TickResult> SceneSession::TakeWaited() { return std::exchange(waited_, std::nullopt); }

SceneSession::Hold::Hold(SceneSession& session) : session_(session) {
  session_.Settle();
  ++session_.holds_;
  if (!session_.gl_current_ && session_.gl_ && session_.gl_->MakeCurrent()) gl_ = session_.gl_current_ = true;
}

SceneSession::Hold::~Hold() {
  if (gl_) {
    session_.gl_->Release();
    session_.gl_current_ = false;
  }
  if (--session_.holds_ == 0) session_.RefreshSnapshot();
}

// ---- Ticks ------------------------------------------------------------------------------------

bool SceneSession::StartTick(const TickRequest& request) {
  if (holds_ > 0 || drawing_.in_hand()) return false;
  // Edits made the moment before the frame starts, so the frame shows them.
  MakeWaiting();
  if (!gl_) return false;
  request_ = request;
  result_.panel = request.panel;
  result_.started = std::chrono::steady_clock::now();
  drawing_.Start([this] { DrawTick(); });
  return true;
}

std::optional<TickResult> SceneSession::TakeResult() {
  if (waited_) return TakeWaited();
  if (!drawing_.Collect()) return std::nullopt;
  return Handback();
}

std::optional<TickResult> SceneSession::AwaitResult() {
  Settle();
  return TakeWaited();
}

void SceneSession::NoteProblem(const std::string& line) { result_.problems.push_back(line); }

void SceneSession::set_tick_hooks(TickHooks hooks) {
  Settle();  // the drawing thread reads them during a tick
  hooks_ = std::move(hooks);
  renderer_.set_after_fetch(hooks_.after_fetch);
}

// On the drawing thread: one playback tick, the frame read back.
void SceneSession::DrawTick() {
  TickResult& r = result_;
  if (!gl_->MakeCurrent()) {
    if (gl_errors_told_ < kGlErrorsTold)
      ++gl_errors_told_, r.problems.push_back("the view's GL context could not be made current");
    r.no_context = true;
    r.finished = std::chrono::steady_clock::now();
    return;
  }
  const int width = request_.width, height = request_.height;
  if ((width != applied_width_ || height != applied_height_) && gl_->Resize(width, height)) {
    render::ApplyViewSize(*scene_, width, height);
    applied_width_ = width, applied_height_ = height;
  }
  render::BeginViewFrame(gl_->width(), gl_->height());
  RecordedPanel panel(r, request_.slider);
  playback_.set_panel(request_.panel ? &panel : nullptr);
  const auto start = std::chrono::steady_clock::now();
  if (hooks_.before_tick) hooks_.before_tick(clock_.NowMs() / 1000.0);
  if (playback_.Tick(renderer_)) {
    r.drawn = true;
    if (hooks_.after_tick) hooks_.after_tick(renderer_.last_frame().drawn_frame);
    GovernDrawing(start, r);
    ReadFrame(r);
  }
  playback_.set_panel(nullptr);
  TellGlError(r);
  gl_->Release();
  RefreshSnapshot();
  r.finished = std::chrono::steady_clock::now();
}

void SceneSession::GovernDrawing(SteadyTime start, TickResult& r) {
  // The reference path is for comparisons: it stays as it is.
  if (renderer_.render_mode() == render::RenderMode::kReference) return;
  // The frame's cost as the user waits for it: finished pixels, without the tick's fixed pause.
  render::FinishFrame();
  const double cost_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() -
                         render::kFrameStepPauseMs;
  if (governor_.FrameDrawn(cost_ms, scene_->locked_fps)) {
    renderer_.set_render_mode(governor_.mode());
    r.mode_status = governor_.status();
  }
}

void SceneSession::ReadFrame(TickResult& r) {
  Frame& f = r.frame;
  f.width = gl_->width(), f.height = gl_->height();
  f.pixels = std::make_shared<std::vector<uint32_t>>(static_cast<size_t>(f.width) * static_cast<size_t>(f.height));
  render::ReadViewFrame(f.width, f.height, f.pixels->data());
  if (hooks_.frame_read) hooks_.frame_read(f);
}

void SceneSession::TellGlError(TickResult& r) {
  // A frame that leaves a GL error is a fault of ours: say so.
  const uint32_t error = render::TakeGlError();
  if (error == 0 || gl_errors_told_ >= kGlErrorsTold) return;
  ++gl_errors_told_;
  char text[64];
  std::snprintf(text, sizeof text, "GL error 0x%04x after a frame", static_cast<unsigned>(error));
  r.problems.push_back(text);
}

}  // namespace vl::session
