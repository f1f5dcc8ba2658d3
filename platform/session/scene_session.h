// SceneSession: a playing loop without a window. Owns the scene, the renderer, playback, the GL
// context and the drawing thread; whoever made it (the owner thread: the desktop's GUI thread)
// reaches the scene only through it:
//   - Post a change (any thread): made on the owner thread with the context current, now when
//     nothing draws, else as soon as the scene is back from the drawing thread (the result taken
//     or waited for) or a hold ends and the next tick starts, in the order posted.
//   - Read a snapshot (any thread): the few values a window shows, as of the last change or tick.
//   - Start a tick (owner thread): the changes waiting are made, then the drawing thread runs one
//     playback tick and reads the frame back.
//   - Take its result (owner thread): the frame and what playback told the panel.
//   - Hold the scene (owner thread) for what needs it at once (a load): the tick in hand finishes
//     first, and no tick starts while a hold lasts.
// One thread at a time owns the scene: the drawing thread from StartTick until the result is
// taken (or waited for), the owner thread otherwise. No Qt here.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/random.h"
#include "engine/scene_state.h"
#include "engine/sequence_loader.h"
#include "platform/session/drawing_thread.h"
#include "render/clock.h"
#include "render/frame_renderer.h"
#include "render/mode_governor.h"
#include "render/playback.h"
#include "render/player_layers.h"
#include "render/render_assets.h"

namespace vl::headless {
class HeadlessContext;
}

namespace vl::session {

using SteadyTime = std::chrono::steady_clock::time_point;

// A frame read back: 0xAARRGGBB words, opaque, top row first (a 32-bit screen image's layout).
struct Frame {
  int width = 0, height = 0;
  std::shared_ptr<std::vector<uint32_t>> pixels;
};

// What the owner hands a tick: the view's size in device pixels and the panel as it stands.
struct TickRequest {
  int width = 1, height = 1;
  bool panel = false;  // a control panel is open: playback's news for it is kept
  int slider = 0;      // where its slider stands
};

// What a tick hands back with the scene.
struct TickResult {
  bool drawn = false;  // false: the frame-rate lock skipped the tick, or there was no context
  bool panel = false;  // the request had a panel: what playback told it is below
  Frame frame;         // when drawn
  bool slider_set = false, frame_number_set = false, fps_set = false;
  int slider = 0, frame_number = 0;
  std::string fps_label;
  bool open_loop_window = false;
  bool no_context = false;            // the context could not be made current: nothing was drawn
  std::string mode_status;            // the drawing mode changed
  std::vector<std::string> problems;  // met during the tick, for the status line
  // When the tick was handed over and its frame was read back, and when the oldest of the
  // changes made just before it was posted (none: epoch), to follow an edit to the picture.
  SteadyTime started, finished, oldest_change;
  int changes = 0;  // changes made just before this tick
};

// What any thread may read of the scene.
struct Snapshot {
  int export_preset = -1;
  int current_frame = 0;
  int keyframe_count = 0;
  int playing = 0;
  int locked_fps = 0;
  int lock_frame_rate = 0;
  int random_sequence_on_startup = 0;
  int resize_to_preset = 0;
  uint64_t changes_made = 0;  // every change made so far
};

class SceneSession {
 public:
  // A change of the scene; `assets` loads what it names, the context being current.
  using Change = std::function<void(engine::SceneState& scene, engine::SequenceAssets& assets)>;
  // What a tick runs on the drawing thread around playback (live control).
  struct TickHooks {
    std::function<void(double now_seconds)> before_tick;
    std::function<void(engine::SceneState&)> after_fetch;
    std::function<void(int drawn)> after_tick;
    std::function<void(const Frame&)> frame_read;  // each frame read back (a stream output)
  };

  // `assets` outlives the session; `tick_done` runs on the drawing thread after each tick (it
  // tells the owner thread, which then takes the result).
  SceneSession(render::RenderAssets& assets, vl::Random& random, std::function<void()> tick_done);
  // Waits for the tick in hand; the scene's GL objects go with the context.
  ~SceneSession();
  SceneSession(const SceneSession&) = delete;
  SceneSession& operator=(const SceneSession&) = delete;

  // Makes the context on the drawing thread (at `nice`, so the owner's events come first) and
  // sets the view up in it. False, with why, when there is no context: the scene can still be
  // changed and held, and ticks are refused.
  bool Start(int width, int height, int nice, std::string* error);
  bool has_context() const { return gl_ != nullptr; }

  // Any thread. `posted` runs (on the posting thread) when the change waits, so the owner can
  // start a tick for it.
  void Post(Change change);
  void set_posted(std::function<void()> posted) { posted_ = std::move(posted); }
  // Any thread: as of the last change or tick; on the owner thread between ticks, as the scene
  // is now (it may have been changed in place through SceneNow).
  Snapshot snapshot();
  // A hold lasts or changes are being made: what runs now runs inside one.
  bool busy() const { return holds_ > 0 || applying_; }

  // ---- Owner thread ------------------------------------------------------------------------
  // Makes the changes waiting and hands a tick to the drawing thread. False when a tick is in
  // hand or a hold lasts (the changes wait on), or when there is no context (they are made).
  bool StartTick(const TickRequest& request);
  bool tick_in_hand() const { return drawing_.in_hand(); }
  // The result of the tick in hand once it is done; nothing while it draws.
  std::optional<TickResult> TakeResult();
  // Waits for the tick in hand, if any, and gives its result.
  std::optional<TickResult> AwaitResult();
  // A problem met on the drawing thread during a tick: handed back with the result.
  void NoteProblem(const std::string& line);
  void set_tick_hooks(TickHooks hooks);
  int32_t NowMs() const { return clock_.NowMs(); }

  // The scene for the owner alone, with the context current while held (when there is one).
  // The tick in hand finishes first (its result kept for TakeResult); changes posted meanwhile
  // wait for the next tick (the owner starts one once the hold ends). Holds nest, sharing the
  // outer one's context.
  class Hold {
   public:
    explicit Hold(SceneSession& session);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    engine::SceneState& scene() { return *session_.scene_; }
    engine::SequenceAssets& assets() { return session_.assets_; }
    bool gl() const { return gl_; }

   private:
    SceneSession& session_;
    bool gl_ = false;
  };
  // The scene for a look or change made at once: waits for the tick in hand (its result kept for
  // TakeResult). Not to be kept across a tick.
  engine::SceneState& SceneNow();
  // The result a wait left, for the owner to take (SceneNow, Hold).
  std::optional<TickResult> TakeWaited();

 private:
  struct Posted {
    Change change;
    SteadyTime at;
  };
  void Settle();
  // The finished tick's result, taken back.
  TickResult Handback();
  void MakeWaiting();
  void Apply(Change& change);
  void RefreshSnapshot();
  void DrawTick();
  void ReadFrame(TickResult& r);
  void GovernDrawing(SteadyTime start, TickResult& r);
  void TellGlError(TickResult& r);

  render::RenderAssets& assets_;
  vl::Random& random_;
  std::unique_ptr<engine::SceneState> scene_;
  render::PlayerLayers layers_;
  render::SteadyClock clock_;
  render::ThreadSleeper sleeper_;
  render::FrameRenderer renderer_;
  render::Playback playback_;
  render::ModeGovernor governor_;  // exact drawing, or fast while frames miss the locked rate
  std::unique_ptr<headless::HeadlessContext> gl_;
  std::function<void()> posted_;
  std::thread::id owner_;

  mutable std::mutex mu_;  // guards waiting_, snapshot_
  std::vector<Posted> waiting_;
  Snapshot snapshot_;

  // Owner side.
  int holds_ = 0;
  bool applying_ = false;
  bool gl_current_ = false;  // the owner made the context current (a hold or changes)
  std::optional<TickResult> waited_;
  uint64_t changes_made_ = 0;

  // Handed to the drawing thread with each tick, read back after it.
  TickRequest request_;
  int applied_width_ = 0, applied_height_ = 0;  // the size the scene and framebuffer were given
  TickResult result_;
  TickHooks hooks_;
  int gl_errors_told_ = 0;
  // Last: ends (after its tick) before anything it uses goes.
  DrawingThread drawing_;
};

}  // namespace vl::session
