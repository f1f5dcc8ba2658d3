// CZentropeView: the view. Shows the frames of a SceneSession (which owns the scene, the
// renderer, playback, the GL context and the drawing thread) and carries the commands that load,
// reset, seek and export. The control panel and the loop window reach it through ViewHost.
//
// Frames are drawn on the session's drawing thread and each finished frame is shown by this
// widget; the GUI thread never waits for a frame to draw. Changes asked while a tick draws are
// made just before the next one starts; loads and other commands that need the scene at once
// wait for the tick in hand. A tick that is still drawing leaves the last finished frame on
// screen. The loads live in view_loading.cpp, the panel and window placement in view_panels.cpp.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "app/desktop/loop_watch.h"
#include "app/desktop/stream_output.h"
#include "app/desktop/video_export.h"
#include "engine/loop_edit.h"
#include "platform/session/scene_session.h"
#include "render/render_assets.h"
#include "ui/control_panel.h"
#include "ui/desktop_state.h"
#include "ui/loop_library.h"
#include "ui/settings_dlg.h"
#include "ui/splash_screen.h"

class QSettings;

namespace vl::desktop {

class CZentropeView;

// The renderer's asset loads, with the loaded-loop refresh of the control panel.
class DesktopAssets : public render::RenderAssets {
 public:
  explicit DesktopAssets(CZentropeView& view) : view_(view) {}
  void SequenceLoaded(engine::SceneState& scene) override;

 private:
  CZentropeView& view_;
};

// What the GUI thread may read of the scene at any time: the session's snapshot.
struct SceneGlance {
  int export_preset = -1;
  int current_frame = 0;
  int keyframe_count = 0;
  ui::SettingsShown settings;
};

// What a status message is. A problem of the playing loop stays in the status bar until the
// next load (and goes to the message log); a notice answers something the user did and shows at
// once; background news (the drawing mode) shows only while no problem does. A load announces
// itself first (no text), and ends with its summary, which stays when it names a problem.
enum class StatusKind { kNotice, kProblem, kBackground, kLoadStarted, kLoaded, kLoadedWithProblems };

struct ViewOptions {
  // Problems go to the status line and the message list only, never to a message box (tests).
  bool quiet = false;
  int splash_pause_ms = 1000;  // each of the loading splash's three messages stays this long
  // Why the settings file was not read, told at start-up; empty when it was.
  std::string settings_note;
  // Writes the settings out after Apply; gives why not, or nothing. Unset: the store's own sync.
  std::function<std::string()> publish_settings;
  // No settings file yet: the very first start, which plays the library's default loop.
  bool first_run = false;
};

class CZentropeView : public QWidget, public ui::ViewHost {
  Q_OBJECT
 public:
  CZentropeView(QSettings& settings, ViewOptions options, QWidget* parent = nullptr);
  ~CZentropeView() override;

  // ViewHost. scene() first waits for a tick that is drawing.
  engine::SceneState& scene() override {
    AwaitScene();
    return session_.SceneNow();
  }
  void ChangeScene(std::function<void(engine::SceneState&)> change) override;
  const SceneGlance& Glance();
  ui::DesktopState& desktop() override { return desktop_; }
  bool LoadLoop(const std::string& path) override;
  void SeekToFrame(int frame) override;
  void ShowSettings() override;
  void ExportVideo() override;
  void ShowControlPanel() override;
  void HideControlPanel() override;
  // The main window went to or left full screen on `output`: the panel and the loop window make
  // way for the picture on that screen, and come back after; the loading splash keeps off it.
  void FullScreenChanged(bool on, QScreen* output);
  // Keeps where the control panel is, for the next start, and writes the settings file.
  void RememberPanelPlace();

  // Commands of the main window.
  void OpenSequence();  // file dialog, then load
  void SaveSequence();  // file dialog, then write the loop file
  // Where Save's dialog starts: the last folder saved to, else <user data>/Sequences (made
  // when missing), else the home folder.
  QString SaveFolder();
  void NewProject(bool ask = true);  // ask = false skips the confirmation (tests)
  void OpenControls();
  void SaveBitmap();
  void CopyToClipboard();
  // Space: play, or stop where it is. Left and Right: one frame back or on, when stopped.
  void TogglePlay();
  void StepFrame(int delta);

  // Starts exporting the playing loop with the chosen preset, in the background; false with a
  // reason when it cannot start (no loop, no preset, an export already running).
  bool StartExport(const std::string& path, exporting::ExportFormat format, std::string* error,
                   const std::string& audio_path = {});
  // The running or last export, or null.
  VideoExport* video_export() const { return export_.get(); }

  // Where one-line messages for the user go (the main window's status bar).
  using StatusSink = std::function<void(const QString&, StatusKind)>;
  void set_status_sink(StatusSink sink) { status_sink_ = std::move(sink); }
  void Say(const QString& text, StatusKind kind = StatusKind::kNotice) {
    if (status_sink_) status_sink_(text, kind);
  }
  // What a double-click on the picture does (the main window's full screen).
  void set_double_click(std::function<void()> action) { double_click_ = std::move(action); }
  // Every problem reported so far, newest last.
  const std::vector<std::string>& reported() const { return reported_; }

  ui::CControlPanelDlg* control_panel() const { return control_panel_; }
  ui::CLoopWindowDlg* loop_window() const { return loop_window_; }
  bool started() const { return started_; }
  // The picture on screen: the last finished frame in device pixels (null before the first).
  const QImage& shown_frame() const { return shown_; }
  bool loading() const { return loading_; }
  // Reads the playing loop's file again, keeping the current frame; a file that does not read
  // leaves the loop playing and says why (line and column for a source) in the status bar. Runs
  // by itself when the file changes on disk.
  bool ReloadLoop();
  // Where the drawing thread hands each frame drawn to the stream output, if one runs.
  StreamTap& stream_tap() { return stream_tap_; }
  int ticks_drawn() const { return ticks_drawn_; }
  int ticks_skipped() const { return ticks_skipped_; }

  // The loop editor's hooks. A change that may load assets: made between frames, with the GL
  // context current.
  void ChangeSceneAndAssets(std::function<void(engine::SceneState&, engine::SequenceAssets&)> change);
  // Asked before the loop on screen is replaced (kReload: its file changed on disk); false keeps it.
  enum class Replace { kLoad, kNewProject, kReload };
  void set_may_replace(std::function<bool(Replace)> ask) { may_replace_ = std::move(ask); }
  // Told after a loop was loaded or reloaded (its file), or a new project began (empty).
  void set_loaded(std::function<void(const std::string&)> told) { loaded_ = std::move(told); }
  // The loop on screen was saved as `path`: that file is watched and named in the title now.
  void AdoptFile(const std::string& path);
  // The library lists read their folders again (a loop was saved into one).
  void RefreshLibrary();
  // ---- Live control (OSC, tap tempo) ----------------------------------------------------------
  // What the playback tick runs on the drawing thread: before it (the beat places the frame),
  // once the working values are fetched (held tracks), after a frame was drawn.
  struct LiveHooks {
    std::function<void(double now_seconds)> before_tick;
    std::function<void(engine::SceneState&)> after_fetch;
    std::function<void(int drawn)> after_tick;
  };
  void set_live_hooks(LiveHooks hooks);
  // The playback clock, in seconds.
  double NowSeconds() const { return session_.NowMs() / 1000.0; }
  // A setting's edit from outside, made on the scene now (from within a scene change), with the
  // context current for what it loads; the problem, or nothing.
  std::string ApplyLiveEdit(const engine::LoopEdit& edit);
  // Runs after the Settings dialog was applied.
  void set_settings_applied(std::function<void()> applied) { settings_applied_ = std::move(applied); }

 protected:
  void showEvent(QShowEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class DesktopAssets;
  void StartUp();
  // During a load: runs `command` once it is over, and true. A command that changes the scene
  // waits so; the load's splash holds answer everything else at once.
  bool AfterLoad(std::function<void()> command);
  void ChooseFirstSequence();
  void OpenLoopWindow();
  void CreateControlPanel();
  void PlacePanel(QWidget* panel);
  // Moves the panel beside the main window when it covers it (after the window manager placed
  // either, or the main window moved).
  void KeepPanelClear();
  QScreen* SplashScreen() const;
  // Whether the window lies on the screen showing the picture full screen.
  bool OnOutput(const QWidget* w) const;
  // A problem for the status bar and standard error.
  void Tell(const std::string& line);
  // The same, also shown in a message box once control is back (a loop that failed to load).
  void Report(const std::string& line);
  void FlushReports(const QString& title);
  // Waits for the tick being drawn, if any, and takes its result.
  void AwaitScene();
  // Hands the next tick to the drawing thread when nothing holds the scene.
  void Pump();
  void SchedulePump(int ms = 0);
  // Something may change the picture: draw again now, even a still stopped loop.
  void Wake();
  // The drawing thread said a tick is done.
  void TickFinished();
  void TakeTick(session::TickResult r);
  // How long the next tick waits after the last one taken.
  int NextTickDelay() const;
  void ShowFrame(session::TickResult& r);
  // With VANTALOOP_TRACE_TICKS set: each frame drawn goes to standard error, with when it was
  // started, drawn and read back, and taken, and how long the oldest edit it shows waited for it;
  // each paint too.
  void TraceTick(const session::TickResult& r);
  QSize DeviceSize() const;

  QSettings& settings_;
  ViewOptions options_;
  ui::DesktopState desktop_;
  DesktopAssets assets_;
  ui::LoadingSplash splash_;
  QPointer<ui::CControlPanelDlg> control_panel_;
  QPointer<ui::CLoopWindowDlg> loop_window_;
  QTimer pump_;
  SceneGlance glance_;
  QImage shown_;
  std::unique_ptr<VideoExport> export_;
  StatusSink status_sink_;
  std::function<void()> double_click_;
  std::function<bool(Replace)> may_replace_;
  std::function<void(const std::string&)> loaded_;
  std::vector<std::string> reported_;
  std::vector<std::string> pending_;
  std::vector<std::string> load_notes_;  // told during the load under way
  bool loading_ = false;
  LoopFileWatch watch_;  // the playing loop's file
  StreamTap stream_tap_;
  bool started_ = false;
  bool first_run_ = false;  // no settings file yet: the first loop is the library's default one
  int still_frames_ = 0;    // stopped frames drawn the same as the one before
  int ticks_drawn_ = 0;
  int ticks_skipped_ = 0;
  bool last_drawn_ = true;    // the last tick taken drew a frame
  int context_failures_ = 0;  // ticks in a row whose context could not be made current
  bool start_asked_ = false;
  bool full_screen_ = false;
  QScreen* full_screen_output_ = nullptr;
  bool panel_before_full_screen_ = false;
  QTimer panel_check_;
  QElapsedTimer panel_shown_;  // the window manager's own placement comes soon after showing
  std::function<void()> settings_applied_;
  bool trace_ticks_ = false;
  // Last: its tick ends before anything the tick uses (the assets, the stream tap) goes.
  session::SceneSession session_;
};

}  // namespace vl::desktop
