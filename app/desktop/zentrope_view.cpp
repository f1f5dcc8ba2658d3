#include "app/desktop/zentrope_view.h"

#include <GL/gl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <span>

#include <QBuffer>
#include <QFile>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressDialog>
#include <QScreen>
#include <QSettings>
#include <QThread>

#include "app/desktop/video_export.h"
#include "engine/asset_paths.h"
#include "engine/keyframes.h"
#include "engine/new_project.h"
#include "engine/random.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "render/view_setup.h"
#include "ui/export_presets.h"
#include "ui/settings_dlg.h"
#include "ui/thumbs_list_ctrl.h"
#include "ui/window_placement.h"

namespace vl::desktop {

namespace fs = std::filesystem;

// Where the user last had the control panel (its frame's top-left corner on the screen).
constexpr const char* kPanelPlaceKey = "Control Panel/Position";
// The folders the Open and Export dialogs last went to.
constexpr const char* kOpenFolderKey = "Folders/Open";
constexpr const char* kExportFolderKey = "Folders/Export";
constexpr const char* kSaveFolderKey = "Folders/Save";

namespace {
// The window manager's frame around a top-level window (none without one, or while full screen).
QMargins FrameMargins(const QWidget* w) {
  const QRect f = w->frameGeometry(), g = w->geometry();
  return QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
}
}  // namespace

// How much the drawing thread gives way to the GUI thread (a nice value).
constexpr int kDrawingNice = 4;

namespace {

// The file a load asks for. A name that names a file exactly is that file, taken as the system's
// bytes (library names may hold backslashes or bytes that are not UTF-8); otherwise a loop's
// name rules apply (backslashes as separators, any letter case), then the library's default loop.
std::optional<fs::path> LoopFileFor(const std::string& path) {
  fs::path exact(path);
  if (exact.is_relative()) exact = ProgramFolder() / exact;
  std::error_code ec;
  if (fs::is_regular_file(exact, ec)) return exact;
  if (auto found = ResolveAssetPath(path)) return found;
  return ResolveAssetPath(std::string(ui::kSequencesFolder) + "/default.lqf");
}

// Whether a parsed loop has frames to play, counted the way playback will count them: applied to
// a scene of its own, with no assets.
bool HasFramesToPlay(const engine::ParsedSequence& seq) {
  auto probe = std::make_unique<engine::SceneState>();
  engine::SequenceAssets none;
  engine::ApplySequence(*probe, seq, none);
  return engine::HasFramesToPlay(*probe);
}

}  // namespace

void DesktopAssets::SequenceLoaded(engine::SceneState&) {
  if (view_.control_panel_) view_.control_panel_->SequenceLoaded();
}

CZentropeView::CZentropeView(QSettings& settings, ViewOptions options, QWidget* parent)
    : QWidget(parent),
      settings_(settings),
      options_(std::move(options)),
      scene_(std::make_unique<engine::SceneState>()),
      assets_(*this),
      layers_(assets_, ProgramRandom()),
      renderer_(*scene_, layers_, clock_),
      playback_(*scene_, clock_, sleeper_),
      splash_(options_.splash_pause_ms) {
  // Every pixel is the frame's (or black before the first).
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(16, 16);
  // A click on the picture takes the keyboard from the editor's fields, so Space, Left and Right
  // act on playback again.
  setFocusPolicy(Qt::ClickFocus);

  // Picture, particle texture and model problems of a loop go to the status bar and standard
  // error; only the model loader's own "Warning" and "Error" boxes interrupt a show.
  assets_.set_reporter([this](const std::string& line) { Tell(line); });
  splash_.set_message_boxes(!options.quiet);
  assets_.set_model_progress(&splash_);
  playback_.set_loop_window_opener([this] {
    // On the drawing thread: the GUI thread opens the window once the tick is over.
    tick_result_.open_loop_window = true;
  });

  // The next tick goes to the drawing thread as soon as the last one is back and the GUI thread
  // has nothing queued before it.
  pump_.setSingleShot(true);
  connect(&pump_, &QTimer::timeout, this, &CZentropeView::Pump);
  drawing_ = std::make_unique<DrawingThread>([this] {
    QMetaObject::invokeMethod(this, &CZentropeView::TickFinished, Qt::QueuedConnection);
  });
  // A loop being edited plays its last saved state.
  connect(&watch_, &LoopFileWatch::Changed, this, [this] { ReloadLoop(); });
  connect(&watch_, &LoopFileWatch::Missing, this, [this](const QString& what) {
    const std::string name = EscapeControl(watch_.path().filename().string());
    Tell(what == "gone" ? name + " is gone (deleted or renamed); the loop plays on as it was"
                        : name + " is now " + what.toStdString() + ", not a regular file; the loop plays on as it was");
  });
  connect(&watch_, &LoopFileWatch::Back, this, [this] { Tell(EscapeControl(watch_.path().filename().string()) + " is back"); });
  // The splash tells of a load; it never covers a picture shown full screen.
  splash_.set_screen([this] { return SplashScreen(); });
  panel_check_.setSingleShot(true);
  connect(&panel_check_, &QTimer::timeout, this, &CZentropeView::KeepPanelClear);
}

CZentropeView::~CZentropeView() {
  pump_.stop();
  drawing_.reset();  // the tick in hand finishes first
  playback_.set_panel(nullptr);
  delete control_panel_;
  delete loop_window_;
  if (gl_ && gl_->MakeCurrent()) {
    engine::ClearKeyframes(*scene_);
    gl_->Release();
  }
}

bool CZentropeView::BeginGl() {
  if (in_gl_) return false;
  AwaitScene();
  if (!gl_ || !gl_->MakeCurrent()) return false;
  in_gl_ = true;
  return true;
}

void CZentropeView::EndGl(bool began) {
  if (!began) return;
  gl_->Release();
  in_gl_ = false;
}

QSize CZentropeView::DeviceSize() const {
  // The renderer works in device pixels, which on a scaled screen are more than the widget's
  // logical size.
  const qreal ratio = devicePixelRatioF();
  return QSize(std::max(1, qRound(width() * ratio)), std::max(1, qRound(height() * ratio)));
}

// ---- The drawing thread ---------------------------------------------------------------------

void CZentropeView::AwaitScene() {
  if (!drawing_ || !drawing_->in_hand()) return;
  drawing_->Wait();
  TakeTick();
}

void CZentropeView::ChangeScene(std::function<void(engine::SceneState&)> change) {
  Wake();
  // During a load (the splash's holds answer the user) the change waits for the new loop.
  if (loading_ || (drawing_ && drawing_->in_hand())) {
    changes_.push_back(std::move(change));
    return;
  }
  change(*scene_);
}

void CZentropeView::ApplyChanges() {
  // A change may ask for another: it is made at once, the scene being ours.
  std::vector<std::function<void(engine::SceneState&)>> changes;
  changes.swap(changes_);
  for (auto& change : changes) change(*scene_);
}

const SceneGlance& CZentropeView::Glance() {
  if (!drawing_ || !drawing_->in_hand()) {
    glance_.export_preset = scene_->export_preset;
    glance_.current_frame = scene_->current_frame;
    glance_.keyframe_count = scene_->keyframe_count;
    glance_.settings = ui::SettingsOf(*scene_);
  }
  return glance_;
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
  if (!started_ || loading_ || in_gl_ || !gl_ || !drawing_ || drawing_->in_hand()) return;
  ApplyChanges();
  Glance();
  tick_size_ = DeviceSize();
  tick_has_panel_ = control_panel_ != nullptr;
  tick_slider_ = control_panel_ ? control_panel_->SliderPosition() : 0;
  tick_result_ = TickResult{};
  drawing_->Start([this] { DrawTick(); });
}

void CZentropeView::TickFinished() {
  if (drawing_ && drawing_->Collect()) TakeTick();
}

void CZentropeView::TakeTick() {
  TickResult r = std::move(tick_result_);
  tick_result_ = TickResult{};
  if (r.drawn) {
    ++ticks_drawn_;
    // A stopped loop whose frames come out the same is still (a trail or particles would move
    // it): it need not be drawn again until something changes.
    const bool stopped = scene_->playing == 0;
    still_frames_ = stopped && r.frame == shown_ ? still_frames_ + 1 : 0;
    shown_ = std::move(r.frame);
    shown_.setDevicePixelRatio(devicePixelRatioF());
    update();
  } else {
    ++ticks_skipped_;
  }
  if (control_panel_ && tick_has_panel_) {
    if (r.slider_set) control_panel_->SetSliderPosition(r.slider);
    if (r.frame_number_set) control_panel_->SetFrameNumber(r.frame_number);
    if (r.fps_set) control_panel_->SetFpsLabel(r.fps_label);
  }
  if (r.open_loop_window) QTimer::singleShot(0, this, &CZentropeView::OpenLoopWindow);
  if (!r.mode_status.empty()) Say(QString::fromStdString(r.mode_status), StatusKind::kBackground);
  for (const std::string& line : r.problems) Tell(line);
  ApplyChanges();
  Glance();
  // A tick the frame-rate lock skipped comes back at once: give the lock a moment before the
  // next, rather than spinning. A still picture is looked at again now and then only (a change
  // the view is not told of, such as the settings, still shows).
  // A context that cannot be made current is tried again less and less often (up to once a
  // second), not every 2 ms.
  context_failures_ = r.no_context ? std::min(context_failures_ + 1, 9) : 0;
  if (context_failures_ > 0) return SchedulePump(std::min(1000, 2 << context_failures_));
  SchedulePump(!r.drawn ? 2 : still_frames_ >= 2 ? 1000 : 0);
}

void CZentropeView::DrawTick() {
  TickResult& r = tick_result_;
  if (!gl_->MakeCurrent()) {
    if (gl_errors_told_ < 5) ++gl_errors_told_, r.problems.push_back("the view's GL context could not be made current");
    r.no_context = true;
    return;
  }
  if (tick_size_ != applied_size_ && gl_->Resize(tick_size_.width(), tick_size_.height())) {
    render::ApplyViewSize(*scene_, tick_size_.width(), tick_size_.height());
    applied_size_ = tick_size_;
  }
  // Every frame starts on the whole framebuffer, as a window's paint does.
  glViewport(0, 0, gl_->width(), gl_->height());
  recorded_panel_.Begin(&r, tick_slider_);
  playback_.set_panel(tick_has_panel_ ? &recorded_panel_ : nullptr);
  QElapsedTimer timer;
  timer.start();
  if (live_hooks_.before_tick) live_hooks_.before_tick(clock_.NowMs() / 1000.0);
  if (playback_.Tick(renderer_)) {
    r.drawn = true;
    if (live_hooks_.after_tick) live_hooks_.after_tick(renderer_.last_frame().drawn_frame);
    GovernDrawing(timer, r);
    // The finished frame, top row first, as the screen's 32-bit pixels.
    QImage frame(gl_->width(), gl_->height(), QImage::Format_RGB32);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    glReadPixels(0, 0, frame.width(), frame.height(), GL_BGRA, GL_UNSIGNED_BYTE, frame.bits());
    for (int y = 0; y < frame.height(); ++y) {
      auto* row = reinterpret_cast<uint32_t*>(frame.scanLine(y));
      for (int x = 0; x < frame.width(); ++x) row[x] |= 0xFF000000u;  // the frame is opaque
    }
    r.frame = std::move(frame).mirrored(false, true);
    stream_tap_.Offer(r.frame);
  }
  playback_.set_panel(nullptr);
  // A frame that leaves a GL error is a fault of ours: say so (a few times, not every frame).
  if (const GLenum error = glGetError(); error != GL_NO_ERROR && gl_errors_told_ < 5) {
    ++gl_errors_told_;
    char text[64];
    std::snprintf(text, sizeof text, "GL error 0x%04x after a frame", static_cast<unsigned>(error));
    r.problems.push_back(text);
  }
  gl_->Release();
}

void CZentropeView::GovernDrawing(const QElapsedTimer& tick_timer, TickResult& result) {
  // The reference path is for comparisons: it stays as it is.
  if (renderer_.render_mode() == render::RenderMode::kReference) return;
  // The frame's cost as the user waits for it: finished pixels, without the tick's fixed pause.
  glFinish();
  const double cost_ms = static_cast<double>(tick_timer.nsecsElapsed()) / 1e6 - render::kFrameStepPauseMs;
  if (governor_.FrameDrawn(cost_ms, scene_->locked_fps)) {
    renderer_.set_render_mode(governor_.mode());
    result.mode_status = governor_.status();
  }
}

// ---- Start-up and painting ------------------------------------------------------------------

void CZentropeView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (start_asked_) return;
  start_asked_ = true;
  // The panel follows the main window as the window manager places it or the user moves it.
  window()->installEventFilter(this);
  StartUp();
  FlushReports("Vantaloop");
}

void CZentropeView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  if (shown_.isNull()) {
    p.fillRect(rect(), Qt::black);
    return;
  }
  const QSize device = DeviceSize();
  if (shown_.size() == device)
    p.drawImage(QPointF(0, 0), shown_);  // pixel for pixel
  else
    p.drawImage(QRectF(rect()), shown_);  // the last frame, until one of the new size is done
}

void CZentropeView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Wake();
}

void CZentropeView::StartUp() {
  // The context is made on the drawing thread, which (with the renderer's own threads, started
  // with the context) gives way to the GUI thread when the processor is short: keys and clicks
  // come first, a frame may come late.
  std::string error;
  const QSize size = DeviceSize();
  drawing_->Start([this, size, &error] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kDrawingNice);
    gl_ = headless::HeadlessContext::Create(size.width(), size.height(), &error);
    if (gl_) gl_->Release();
  });
  drawing_->Wait();
  if (!gl_) {
    Report("The view cannot draw: " + error);
  } else {
    const bool began = BeginGl();
    render::StartView(*scene_, renderer_, layers_, assets_, ProgramRandom());
    EndGl(began);
  }
  if (!options_.settings_note.empty()) Tell(options_.settings_note);
  std::string preset_note;
  ui::ReadSettings(settings_, *scene_, &preset_note);
  if (!preset_note.empty()) Tell(preset_note);
  first_run_ = options_.first_run;
  if (first_run_) {
    // The next start is no longer the first.
    ui::WriteSettings(settings_, *scene_);
    if (options_.publish_settings) options_.publish_settings();
  }
  ui::ScanSequenceFolder(desktop_, ProgramFolder() / ui::kSequencesFolder);
  {
    // An empty library says why when the folder itself is the reason.
    const fs::path library = ProgramFolder() / ui::kSequencesFolder;
    std::error_code ec;
    fs::directory_iterator listing(library, ec);
    if (ec)
      Tell("The loop library " + EscapeControl(library.string()) + " cannot be read: " +
           (ec == std::errc::no_such_file_or_directory ? std::string("no such folder") : ec.message()));
  }
  std::string note;
  ui::ApplyStartupWindowSize(*scene_, window(), &note);
  if (!note.empty()) Say(QString::fromStdString(note));
  started_ = true;
  // The first loop loads once the window is up and painted (a model load shows its splash and
  // keeps the windows painted meanwhile); then the panel, a window of its own, opens.
  desktop_.control_panel_open = 2;
  QTimer::singleShot(0, this, [this] {
    ChooseFirstSequence();
    if (!control_panel_) CreateControlPanel();
  });
  SchedulePump();
}

void CZentropeView::ChooseFirstSequence() {
  AwaitScene();  // the program's generator is the drawing's too
  if (desktop_.command_line_file_given) {
    LoadLoop(desktop_.command_line_file);
    desktop_.command_line_file_given = false;
    return;
  }
  if (first_run_) {
    // A newcomer meets the loop made to show the program, not a random and maybe dark one.
    LoadLoop(std::string(ui::kSequencesFolder) + "/default.lqf");
    const auto& names = desktop_.sequence_names;
    const auto it = std::find(names.begin() + 1, names.end(), "default.lqf");  // [0]: no loop
    if (it != names.end()) desktop_.startup_sequence_index = static_cast<int>(it - names.begin());
    return;
  }
  if (scene_->random_sequence_on_startup != 0 && desktop_.sequence_count > 0) {
    ProgramRandom().Seed(static_cast<uint32_t>(std::time(nullptr)));
    const int index = ui::PickStartupSequence(desktop_, ProgramRandom());
    LoadLoop(std::string(ui::kSequencesFolder) + "/" + desktop_.sequence_names[static_cast<size_t>(index)]);
    desktop_.startup_sequence_index = index;
  }
}

// ---- Loads and commands ---------------------------------------------------------------------

bool CZentropeView::AfterLoad(std::function<void()> command) {
  if (!loading_) return false;
  QTimer::singleShot(100, this, std::move(command));
  return true;
}

bool CZentropeView::LoadLoop(const std::string& path) {
  // A load already runs (its splash keeps the event loop going): this one comes after it.
  if (AfterLoad([this, path] { LoadLoop(path); })) return false;
  if (may_replace_ && !may_replace_(Replace::kLoad)) return false;
  // Read and checked whole before the playing loop is touched.
  const std::optional<fs::path> file = LoopFileFor(path);
  Expected<engine::ParsedSequence> seq =
      file ? engine::ReadLoopFile(*file)
           : Expected<engine::ParsedSequence>(
                 LoadError{path, "cannot open the file, nor the fallback Sequences/default.lqf", {}, {}});
  const bool playable = seq && HasFramesToPlay(*seq);
  if (!seq) {
    Report("Could not load the loop: " + seq.error().ToString());
  } else if (!playable) {
    Report("Could not load the loop: " + EscapeControl(file->filename().string()) + ": " + engine::kNothingToPlay +
           " (the loop on screen plays on)");
  }
  if (!playable) {
    if (!in_gl_) FlushReports("Vantaloop");
    return false;
  }
  // No playback ticks while the scene is being replaced (the splash's waits run the event loop).
  const bool began = BeginGl();
  loading_ = true;
  load_notes_.clear();
  Say({}, StatusKind::kLoadStarted);
  scene_->sequence_file_name = file->filename().string();
  engine::ApplySequence(*scene_, *seq, assets_);
  EndGl(began);
  loading_ = false;
  Wake();
  // What plays (the library's default loop when the name was not found), for export and reload.
  desktop_.loaded_sequence_path = file->string();
  watch_.Watch(desktop_.loaded_sequence_path);
  window()->setWindowTitle(QString::fromStdString(EscapeControl(scene_->sequence_file_name)) + "[*] - Vantaloop");
  if (loaded_) loaded_(desktop_.loaded_sequence_path);
  if (control_panel_) control_panel_->HighlightPlayingLoop();
  // After Stop the new loop waits on its first frame until Play.
  const bool stopped = scene_->stop_requested >= 2.0f || scene_->playing == 0;
  // What the load could not find stays in view beside the loop's name.
  std::string text = (stopped ? "Stopped: " : "Playing ") + scene_->sequence_file_name;
  if (!load_notes_.empty()) {
    text += ". " + load_notes_.front();
    if (load_notes_.size() > 1) text += " (and " + std::to_string(load_notes_.size() - 1) + " more: View > Messages)";
  }
  Say(QString::fromStdString(text), load_notes_.empty() ? StatusKind::kLoaded : StatusKind::kLoadedWithProblems);
  if (!in_gl_) FlushReports("Vantaloop");
  return true;
}

bool CZentropeView::ReloadLoop() {
  const std::string path = desktop_.loaded_sequence_path;
  if (path.empty()) return false;
  if (loading_) {  // a load is under way: look again once it is done
    QTimer::singleShot(100, this, [this] { ReloadLoop(); });
    return false;
  }
  const std::string name = fs::path(path).filename().string();
  if (may_replace_ && !may_replace_(Replace::kReload)) {
    Say(QString::fromStdString(EscapeControl(name) + " changed on disk; not reloaded, so the unsaved edits stay"),
        StatusKind::kProblem);
    return false;
  }
  // Read and checked whole before the playing loop is touched.
  auto seq = engine::ReadLoopFile(path);
  if (!seq) {
    // Where and why first: the status bar may cut the end off.
    LoadError shown = seq.error();
    if (shown.file == path) shown.file = name;
    Say(QString::fromStdString(shown.ToString() + " (not reloaded; the loop plays on as it was)"), StatusKind::kProblem);
    std::fprintf(stderr, "vantaloop: not reloaded: %s\n", seq.error().ToString().c_str());
    return false;
  }
  if (!HasFramesToPlay(*seq)) {
    const std::string text = EscapeControl(name) + ": " + engine::kNothingToPlay + " (not reloaded; the loop plays on as it was)";
    Say(QString::fromStdString(text), StatusKind::kProblem);
    std::fprintf(stderr, "vantaloop: not reloaded: %s\n", text.c_str());
    return false;
  }
  const bool began = BeginGl();
  engine::SceneState& s = *scene_;
  const int frame = s.current_frame;
  const int32_t playing = s.playing;
  loading_ = true;
  load_notes_.clear();
  Say({}, StatusKind::kLoadStarted);
  engine::ApplySequence(s, *seq, assets_);
  s.sequence_file_name = name;
  EndGl(began);
  loading_ = false;
  // The same place in the edited loop, as far as it reaches, and playing or stopped as before.
  const int end = engine::PlayedFrameCount(s);
  s.current_frame = std::clamp(frame, 0, std::max(0, end - 1));
  s.playing = playing;
  s.particle_prewarm = 0.0f;  // the particles carry on as they are
  Wake();
  if (loaded_) loaded_(path);
  std::string text = "Reloaded " + name + " at frame " + std::to_string(s.current_frame);
  if (!load_notes_.empty()) text += ". " + load_notes_.front();
  Say(QString::fromStdString(text), load_notes_.empty() ? StatusKind::kLoaded : StatusKind::kLoadedWithProblems);
  return true;
}

void CZentropeView::SeekToFrame(int frame) {
  if (loading_) return;
  // Made between ticks, never waiting on the one being drawn.
  ChangeScene([this, frame](engine::SceneState& s) {
    if (loading_) return;
    s.current_frame = std::clamp(frame, 0, engine::kFrameSlots - 1);
    for (int i = 0; i < engine::kTrackCount; ++i) {
      const auto t = static_cast<engine::Track>(i);
      s.work[t] = s.track(t).frame_values[s.current_frame];
    }
    const bool began = BeginGl();
    glClearColor(s.work.background_r / 255.0f, s.work.background_g / 255.0f, s.work.background_b / 255.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    EndGl(began);
  });
}

void CZentropeView::ChangeSceneAndAssets(std::function<void(engine::SceneState&, engine::SequenceAssets&)> change) {
  ChangeScene([this, change = std::move(change)](engine::SceneState& s) {
    const bool began = BeginGl();
    change(s, assets_);
    EndGl(began);
  });
}

void CZentropeView::AdoptFile(const std::string& path) {
  desktop_.loaded_sequence_path = path;
  watch_.Watch(path);
  window()->setWindowTitle(QString::fromStdString(EscapeControl(fs::path(path).filename().string())) + "[*] - Vantaloop");
}

void CZentropeView::RefreshLibrary() {
  if (control_panel_ && control_panel_->isVisible()) CreateControlPanel();
}

void CZentropeView::ShowSettings() {
  if (AfterLoad([this] { ShowSettings(); })) return;
  std::string note;
  // The dialog opens at once, with the settings as they were after the last frame (only the
  // dialog changes them).
  const bool applied = ui::RunSettingsCommand(Glance().settings, [this]() -> engine::SceneState& { return scene(); },
                                             desktop_, settings_, window(), window(), {}, &note);
  if (!note.empty()) Say(QString::fromStdString(note));
  if (applied && options_.publish_settings) {
    const std::string problem = options_.publish_settings();
    if (!problem.empty()) Tell(problem);
  }
  if (applied && settings_applied_) settings_applied_();
}

void CZentropeView::set_live_hooks(LiveHooks hooks) {
  AwaitScene();  // the drawing thread reads them during a tick
  live_hooks_ = std::move(hooks);
  renderer_.set_after_fetch(live_hooks_.after_fetch);
}

std::string CZentropeView::ApplyLiveEdit(const engine::LoopEdit& edit) {
  const bool began = BeginGl();
  auto done = engine::ApplyEdit(*scene_, edit, &assets_);
  EndGl(began);
  return done ? std::string() : done.error().message;
}

void CZentropeView::ExportVideo() {
  if (AfterLoad([this] { ExportVideo(); })) return;
  if (export_ && export_->running()) {
    if (QProgressDialog* dialog = export_->dialog()) {
      dialog->show();
      dialog->raise();
      dialog->activateWindow();
    }
    return;
  }
  if (desktop_.loaded_sequence_path.empty() || Glance().keyframe_count == 0) {
    QMessageBox::information(window(), "Export Video", "There is no loop to export: open or choose a loop first.");
    return;
  }
  const exporting::PresetFormat* preset = exporting::PresetFormatOf(Glance().export_preset);
  if (!preset) {
    QMessageBox::information(window(), "Export Video", "Choose an export format under Options > Settings first.");
    return;
  }
  // The preset's own format first, then what any preset can be written as.
  struct Choice {
    QString filter;
    exporting::ExportFormat format;
    QString extension;
  };
  std::vector<Choice> choices = {{QString("%1 (*%2)").arg(preset->name, preset->extension),
                                  exporting::ExportFormat::kPresetOwn, preset->extension}};
  if (std::string_view(preset->extension) != ".mp4")
    choices.push_back({"H.264 MP4 (*.mp4)", exporting::ExportFormat::kMp4, ".mp4"});
  choices.push_back({"Lossless FFV1 Matroska (*.mkv)", exporting::ExportFormat::kMkv, ".mkv"});
  choices.push_back({"Animated WebP (*.webp)", exporting::ExportFormat::kWebp, ".webp"});
  choices.push_back({"Animated GIF (*.gif)", exporting::ExportFormat::kGif, ".gif"});
  choices.push_back({"PNG sequence, a folder of frames (*)", exporting::ExportFormat::kPng, ""});
  QStringList filters;
  for (const Choice& c : choices) filters << c.filter;
  QString selected = filters.front();
  // The loop's own name, in the folder of the last export (the home folder at first).
  const QString folder = settings_.value(kExportFolderKey, QDir::homePath()).toString();
  const QString name = QFileInfo(QString::fromStdString(desktop_.loaded_sequence_path)).completeBaseName();
  QString path = QFileDialog::getSaveFileName(window(), "Export Video",
                                              QDir(folder).filePath(name + choices.front().extension),
                                              filters.join(";;"), &selected);
  if (path.isEmpty()) return;
  settings_.setValue(kExportFolderKey, QFileInfo(path).absolutePath());

  // The extension picks the format; a name without one takes the chosen filter's.
  exporting::ExportFormat format = exporting::ExportFormat::kPresetOwn;
  const QString suffix = "." + QFileInfo(path).suffix().toLower();
  const Choice* picked = nullptr;
  for (const Choice& c : choices)
    if (c.filter == selected) picked = &c;
  if (picked && picked->format == exporting::ExportFormat::kPng) {
    format = exporting::ExportFormat::kPng;
  } else if (QFileInfo(path).suffix().isEmpty()) {
    if (picked) path += picked->extension, format = picked->format;
  } else {
    for (const Choice& c : choices)
      if (!c.extension.isEmpty() && c.extension == suffix) format = c.format;
  }
  std::string error;
  if (!StartExport(path.toStdString(), format, &error))
    QMessageBox::warning(window(), "Export Video", QString::fromStdString(error));
}

bool CZentropeView::StartExport(const std::string& path, exporting::ExportFormat format, std::string* error) {
  if (export_ && export_->running()) {
    *error = "An export is already running.";
    return false;
  }
  if (desktop_.loaded_sequence_path.empty()) {
    *error = "There is no loop to export.";
    return false;
  }
  exporting::ExportRequest request;
  request.loop_path = desktop_.loaded_sequence_path;
  request.out_path = path;
  request.preset = Glance().export_preset;
  request.format = format;
  // Checked here so a wrong name is refused before anything starts; the engine checks again.
  const auto resolved = exporting::ResolveFormat(request.preset, format, error);
  if (!resolved || !exporting::CheckOutputName(path, request.preset, *resolved, error)) return false;

  export_ = std::make_unique<VideoExport>(request, options_.quiet ? nullptr : window());
  connect(export_.get(), &VideoExport::Finished, this, [this] {
    for (const std::string& w : export_->warnings()) Report(w);
    const exporting::ExportResult& r = export_->result();
    const QString file = QString::fromStdString(export_->request().out_path);
    if (r.ok) {
      Say(QString("Exported %1 (%2 frames)").arg(file).arg(r.frames_written));
    } else if (r.cancelled) {
      Say("Export cancelled; nothing was written");
    } else {
      Report("The export failed: " + r.error);
    }
    FlushReports("Export Video");
  });
  export_->Start();
  Say("Exporting " + QString::fromStdString(path));
  return true;
}

void CZentropeView::ShowControlPanel() {
  if (!control_panel_) {
    CreateControlPanel();
    return;
  }
  desktop_.control_panel_open = 2;
  if (full_screen_ && OnOutput(control_panel_)) {
    panel_before_full_screen_ = true;
    return;
  }
  control_panel_->show();
  control_panel_->raise();
  panel_shown_.start();
}

void CZentropeView::HideControlPanel() {
  desktop_.control_panel_open = 0;
  panel_before_full_screen_ = false;
  if (control_panel_) control_panel_->hide();
}

void CZentropeView::OpenControls() {
  if (AfterLoad([this] { OpenControls(); })) return;
  if (desktop_.control_panel_open > 1) return;
  CreateControlPanel();
}

void CZentropeView::CreateControlPanel() {
  // A fresh panel each time, so its thumbnails are read from the folder again.
  if (control_panel_) control_panel_->deleteLater();
  desktop_.control_panel_open = 2;
  control_panel_ = new ui::CControlPanelDlg(*this, window());
  control_panel_->installEventFilter(this);
  playback_.set_panel(control_panel_);
  control_panel_->adjustSize();
  // Where the user left it, when that is still on a screen and clear of the picture.
  bool placed = false;
  if (settings_.contains(kPanelPlaceKey)) {
    const QPoint at = settings_.value(kPanelPlaceKey).toPoint();
    const QRect frame(at, control_panel_->size().grownBy(FrameMargins(window())));
    for (const QScreen* s : QGuiApplication::screens())
      placed |= ui::Inside(frame, s->availableGeometry()) && !frame.intersects(window()->frameGeometry());
    if (placed) control_panel_->move(at);
  }
  if (!placed) PlacePanel(control_panel_);
  if (full_screen_ && OnOutput(control_panel_)) {
    panel_before_full_screen_ = true;  // shown when the picture leaves full screen
    return;
  }
  control_panel_->show();
  panel_shown_.start();
}

void CZentropeView::PlacePanel(QWidget* panel) {
  // Below the main window when it fits on the screen, else beside it, so the panel never covers
  // the picture.
  QWidget* main = window();
  const QScreen* screen = main->screen();
  if (!screen) return;
  const QSize size = panel->isVisible() ? panel->frameGeometry().size() : panel->size().grownBy(FrameMargins(main));
  // Where neither fits beside the other, the main window makes room, as a user would move it;
  // only while the pair is being put up: a main window the user moved later stays put.
  const QRect main_frame = main->frameGeometry(), room = screen->availableGeometry();
  const bool opening = !panel->isVisible() || (panel_shown_.isValid() && panel_shown_.elapsed() < 2000);
  QPoint main_at = main_frame.topLeft();
  const QPoint at = opening && !main->isFullScreen() && !main->isMaximized()
                        ? ui::ArrangeBeside(main_frame, size, room, &main_at)
                        : ui::PlaceBeside(main_frame, size, room);
  if (main_at != main_frame.topLeft()) main->move(main_at);
  panel->move(at);
}

void CZentropeView::KeepPanelClear() {
  if (!control_panel_ || !control_panel_->isVisible() || full_screen_) return;
  if (control_panel_->frameGeometry().intersects(window()->frameGeometry())) PlacePanel(control_panel_);
}

void CZentropeView::RememberPanelPlace() {
  if (control_panel_ && control_panel_->isVisible())
    settings_.setValue(kPanelPlaceKey, control_panel_->frameGeometry().topLeft());
  // With the folders last used, kept in the settings file for the next start.
  if (options_.publish_settings) {
    const std::string problem = options_.publish_settings();
    if (!problem.empty()) std::fprintf(stderr, "vantaloop: %s\n", problem.c_str());
  }
}

bool CZentropeView::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == control_panel_ && type == QEvent::Hide) {
    settings_.setValue(kPanelPlaceKey, control_panel_->frameGeometry().topLeft());
  } else if (type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show) {
    // The main window moving or growing, or the window manager placing the panel just after it
    // was shown; a panel the user drags later stays where it is put.
    if (watched == window() || (watched == control_panel_ && panel_shown_.isValid() && panel_shown_.elapsed() < 2000))
      panel_check_.start(100);
  }
  return QWidget::eventFilter(watched, event);
}

void CZentropeView::FullScreenChanged(bool on, QScreen* output) {
  full_screen_ = on;
  full_screen_output_ = on ? output : nullptr;
  if (on) {
    // Only the picture on the output screen; a panel on another screen stays to control it.
    panel_before_full_screen_ = false;
    if (control_panel_ && control_panel_->isVisible() && OnOutput(control_panel_)) {
      panel_before_full_screen_ = true;
      control_panel_->hide();
    }
    if (loop_window_ && loop_window_->isVisible()) loop_window_->reject();
    splash_.MoveTo(SplashScreen());  // a load under way
    return;
  }
  splash_.MoveTo(SplashScreen());
  if (panel_before_full_screen_ && control_panel_) {
    control_panel_->show();
    panel_shown_.start();
    panel_check_.start(300);  // once the main window has its size back
  }
  panel_before_full_screen_ = false;
}

bool CZentropeView::OnOutput(const QWidget* w) const {
  // Screens of another X screen have their own coordinates: only the output's own count.
  const QScreen* output = full_screen_output_;
  return output && w->screen() && w->screen()->virtualSiblings().contains(const_cast<QScreen*>(output)) &&
         output->geometry().intersects(w->frameGeometry());
}

QScreen* CZentropeView::SplashScreen() const {
  if (!full_screen_) return window()->screen() ? window()->screen() : QGuiApplication::primaryScreen();
  for (QScreen* s : QGuiApplication::screens())
    if (!full_screen_output_ || !s->virtualSiblings().contains(full_screen_output_) ||
        !s->geometry().intersects(full_screen_output_->geometry()))
      return s;
  return nullptr;  // the one screen shows the picture
}

void CZentropeView::OpenLoopWindow() {
  if (loop_window_) loop_window_->deleteLater();
  loop_window_ = new ui::CLoopWindowDlg(*this, window());
  // Inside the screen's free area with its title bar, below the main window's menu, so both stay
  // in reach.
  QWidget* main = window();
  if (const QScreen* screen = main->screen()) {
    const QRect room = screen->availableGeometry();
    int below = room.top();
    if (auto* frame = qobject_cast<QMainWindow*>(main); frame && frame->menuWidget() && frame->menuWidget()->isVisible())
      below = frame->menuWidget()->mapToGlobal(QPoint(0, frame->menuWidget()->height())).y();
    loop_window_->setGeometry(
        ui::PlaceLarge(loop_window_->size(), FrameMargins(main), main->frameGeometry(), below, room, 400));
  }
  loop_window_->show();
  loop_window_->raise();
  loop_window_->activateWindow();
  loop_window_->thumbs()->setFocus();
}

void CZentropeView::OpenSequence() {
  // The folder of the last loop opened, or the library at first.
  const QString library = QString::fromStdString((ProgramFolder() / ui::kSequencesFolder).string());
  QString start = settings_.value(kOpenFolderKey, library).toString();
  if (!QFileInfo(start).isDir()) start = library;
  const QString path = QFileDialog::getOpenFileName(window(), "Open a Moxtrel Keyframe File", start,
                                                    "Moxtrel Keyframe Files(*.lqf);;Loop Sources (*.txt)");
  if (path.isEmpty()) return;
  settings_.setValue(kOpenFolderKey, QFileInfo(path).absolutePath());
  LoadLoop(path.toStdString());
}

QString CZentropeView::SaveFolder() {
  // The folder of the last save; at first the user's own library, which the library lists show.
  QString last = settings_.value(kSaveFolderKey).toString();
  if (!last.isEmpty() && QFileInfo(last).isDir()) return last;
  const std::filesystem::path user = ui::UserSequencesFolder();
  std::error_code ec;
  if (!user.empty() && (std::filesystem::create_directories(user, ec), std::filesystem::is_directory(user, ec)))
    return QString::fromStdString(user.string());
  return QDir::homePath();
}

void CZentropeView::SaveSequence() {
  if (AfterLoad([this] { SaveSequence(); })) return;
  QString path = QFileDialog::getSaveFileName(window(), "Save a Moxtrel Keyframe File", SaveFolder(),
                                              "Moxtrel Keyframe Files (*.lqf);;All Files (*)");
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".lqf";
  if (vl::Status status = engine::WriteSequenceFile(scene(), path.toStdString())) {
    Report("Could not save the loop: " + status->ToString());
    FlushReports("Save");
  } else {
    settings_.setValue(kSaveFolderKey, QFileInfo(path).absolutePath());
    Say("Saved " + path);
  }
}

void CZentropeView::NewProject(bool ask) {
  if (AfterLoad([this, ask] { NewProject(ask); })) return;
  if (may_replace_ && !may_replace_(Replace::kNewProject)) return;
  if (ask && QMessageBox::question(window(), "Vantaloop", "Are you sure you want to create a new project?",
                                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
    return;
  Say({}, StatusKind::kLoadStarted);
  const bool began = BeginGl();
  engine::NewProject(*scene_, assets_);
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
  EndGl(began);
  Wake();
  desktop_.loaded_sequence_path.clear();
  watch_.Stop();
  window()->setWindowTitle("Vantaloop[*]");
  if (loaded_) loaded_({});
  if (control_panel_) control_panel_->SequenceLoaded();
  HideControlPanel();
  FlushReports("New Project");
}

void CZentropeView::SaveBitmap() {
  // The panel is out of the way while the user picks a file, and comes back afterwards.
  HideControlPanel();
  const QImage image = shown_;
  const QString path = QFileDialog::getSaveFileName(window(), "Save Bitmap", "frame.bmp",
                                                    "Bitmap Files (*.bmp);;PNG Files (*.png)");
  if (!path.isEmpty()) {
    // Encoded in memory, then written beside the name and moved into place: a full disk or a
    // failed write leaves the file that was there.
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    const QByteArray format = QFileInfo(path).suffix().toLower() == "png" ? "PNG" : "BMP";
    Status failed;
    if (!image.save(&buffer, format.constData()))
      failed = LoadError{path.toStdString(), "the picture could not be encoded", {}, {}};
    else
      failed = WriteFileBytes(fs::path(QFile::encodeName(path).toStdString()),
                              std::span(reinterpret_cast<const uint8_t*>(encoded.constData()), static_cast<size_t>(encoded.size())));
    if (failed) {
      Report(failed->ToString());
      FlushReports("Save Bitmap");
    } else {
      Say("Saved the picture to " + path);
    }
  }
  ShowControlPanel();
}

void CZentropeView::CopyToClipboard() {
  HideControlPanel();
  QGuiApplication::clipboard()->setImage(shown_);
  ShowControlPanel();
  Say(QString("Copied the picture (%1 x %2) to the clipboard").arg(shown_.width()).arg(shown_.height()));
}

void CZentropeView::TogglePlay() {
  if (AfterLoad([this] { TogglePlay(); })) return;
  AwaitScene();
  const bool play = scene_->playing == 0;
  ChangeScene([play](engine::SceneState& s) {
    s.stop_requested = play ? 0.0f : 2.0f;
    s.playing = play && s.keyframe_count != 0 ? 1 : 0;
  });
  Say(play ? QString("Playing") : QString("Stopped at frame %1: Left and Right step").arg(scene_->current_frame));
}

void CZentropeView::StepFrame(int delta) {
  if (AfterLoad([this, delta] { StepFrame(delta); })) return;
  AwaitScene();
  if (scene_->playing != 0 || scene_->keyframe_count == 0) return;
  const int last = std::max(0, engine::PlayedFrameCount(*scene_) - 1);
  const int frame = std::clamp(scene_->current_frame + delta, 0, last);
  SeekToFrame(frame);
  if (control_panel_) {
    control_panel_->SetSliderPosition(frame);
    control_panel_->SetFrameNumber(frame);
  }
  Say(QString("Frame %1").arg(frame));
}

// ---- Problems -------------------------------------------------------------------------------

void CZentropeView::Tell(const std::string& line) {
  if (QThread::currentThread() != thread()) {  // during a tick: told once it is over
    tick_result_.problems.push_back(line);
    return;
  }
  reported_.push_back(line);
  if (loading_) load_notes_.push_back(line);
  std::fprintf(stderr, "vantaloop: %s\n", line.c_str());
  Say(QString::fromStdString(line), StatusKind::kProblem);
}

void CZentropeView::Report(const std::string& line) {
  Tell(line);
  pending_.push_back(line);
}

void CZentropeView::FlushReports(const QString& title) {
  if (pending_.empty()) return;
  QString text;
  for (const std::string& line : pending_) text += QString::fromStdString(line) + "\n";
  pending_.clear();
  if (options_.quiet) return;
  // Never a modal loop inside a GL callback or a load: show it once control is back.
  QTimer::singleShot(0, this, [this, title, text] { QMessageBox::warning(window(), title, text.trimmed()); });
}

// ---- Mouse ----------------------------------------------------------------------------------
// The buttons keep the drag fields and zero the spin steps, and the view timer folds the text
// angles and adds the steps, as the player always has; nothing starts that timer or reads the
// drag fields yet, so none of it shows. They stay as the hooks a drag-to-rotate would use.

void CZentropeView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) desktop_.right_drag_active = true;
  if (view_timer_id_) killTimer(view_timer_id_), view_timer_id_ = 0;
  ChangeScene([](engine::SceneState& s) { s.spin_step_x = s.spin_step_y = 0.0f; });
  desktop_.left_drag_active = true;
  desktop_.drag_start_x = event->position().toPoint().x();
  desktop_.drag_start_y = event->position().toPoint().y();
}

void CZentropeView::mouseReleaseEvent(QMouseEvent* event) {
  desktop_.left_drag_active = false;
  if (event->button() == Qt::RightButton) desktop_.right_drag_active = false;
}

void CZentropeView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && double_click_) {
    // Leave the drag fields as a release would.
    desktop_.left_drag_active = false;
    QTimer::singleShot(0, this, [this] { double_click_(); });
    return;
  }
  QWidget::mouseDoubleClickEvent(event);
}

void CZentropeView::timerEvent(QTimerEvent*) {
  ChangeScene([](engine::SceneState& s) {
    render::FoldTextAngles(s);
    s.work.text_rot_x += s.spin_step_x;
    s.work.text_rot_y += s.spin_step_y;
  });
}

}  // namespace vl::desktop
