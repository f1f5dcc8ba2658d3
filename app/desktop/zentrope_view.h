// CZentropeView: the GL view. Owns the scene, the renderer and playback for the program's life,
// runs the start-up once its context exists, turns every paint into one playback tick, and
// carries the commands that load, reset, seek and export. The control panel and the loop window
// reach it through ViewHost.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QOpenGLWidget>
#include <QPointer>
#include <QTimer>

#include "app/desktop/loop_watch.h"
#include "app/desktop/video_export.h"
#include "render/clock.h"
#include "render/frame_renderer.h"
#include "render/mode_governor.h"
#include "render/playback.h"
#include "render/player_layers.h"
#include "render/render_assets.h"
#include "ui/control_panel.h"
#include "ui/desktop_state.h"
#include "ui/loop_library.h"
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

struct ViewOptions {
  // Problems go to the status line and the message list only, never to a message box (tests).
  bool quiet = false;
  int splash_pause_ms = 1000;  // each of the loading splash's three messages stays this long
};

class CZentropeView : public QOpenGLWidget, public ui::ViewHost {
  Q_OBJECT
 public:
  CZentropeView(QSettings& settings, ViewOptions options, QWidget* parent = nullptr);
  ~CZentropeView() override;

  // ViewHost.
  engine::SceneState& scene() override { return *scene_; }
  ui::DesktopState& desktop() override { return desktop_; }
  bool LoadLoop(const std::string& path) override;
  void SeekToFrame(int frame) override;
  void ShowSettings() override;
  void ExportVideo() override;
  void ShowControlPanel() override;
  void HideControlPanel() override;

  // Commands of the main window.
  void OpenSequence();               // file dialog, then load
  void SaveSequence();               // file dialog, then write the loop file
  void NewProject(bool ask = true);  // ask = false skips the confirmation (tests)
  void OpenControls();
  void SaveBitmap();
  void CopyToClipboard();

  // Starts exporting the playing loop with the chosen preset, in the background; false with a
  // reason when it cannot start (no loop, no preset, an export already running).
  bool StartExport(const std::string& path, exporting::ExportFormat format, std::string* error);
  // The running or last export, or null.
  VideoExport* video_export() const { return export_.get(); }

  // Where one-line messages for the user go (the main window's status bar).
  void set_status_sink(std::function<void(const QString&)> sink) { status_sink_ = std::move(sink); }
  const std::function<void(const QString&)>& status_sink() const { return status_sink_; }
  // What a double-click on the picture does (the main window's full screen).
  void set_double_click(std::function<void()> action) { double_click_ = std::move(action); }
  // Every problem reported so far, newest last.
  const std::vector<std::string>& reported() const { return reported_; }

  ui::CControlPanelDlg* control_panel() const { return control_panel_; }
  ui::CLoopWindowDlg* loop_window() const { return loop_window_; }
  render::FrameRenderer& renderer() { return renderer_; }
  bool started() const { return started_; }
  bool loading() const { return loading_; }
  // Reads the playing loop's file again, keeping the current frame; a file that does not read
  // leaves the loop playing and says why (line and column for a source) in the status bar. Runs
  // by itself when the file changes on disk.
  bool ReloadLoop();
  int ticks_drawn() const { return ticks_drawn_; }
  int ticks_skipped() const { return ticks_skipped_; }

 protected:
  void initializeGL() override;
  void resizeGL(int w, int h) override;
  void paintGL() override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  friend class DesktopAssets;
  void StartUp();
  void ChooseFirstSequence();
  void OpenLoopWindow();
  void CreateControlPanel();
  void PlacePanel(QWidget* panel);
  // A problem for the status bar and standard error.
  void Tell(const std::string& line);
  // The same, also shown in a message box once control is back (a loop that failed to load).
  void Report(const std::string& line);
  void FlushReports(const QString& title);
  // Makes the context current unless a GL callback already did.
  bool BeginGl();
  void GovernDrawing(const QElapsedTimer& tick_timer);
  void EndGl(bool began);

  QSettings& settings_;
  ViewOptions options_;
  std::unique_ptr<engine::SceneState> scene_;
  ui::DesktopState desktop_;
  DesktopAssets assets_;
  render::PlayerLayers layers_;
  render::SteadyClock clock_;
  render::ThreadSleeper sleeper_;
  render::FrameRenderer renderer_;
  render::Playback playback_;
  // Exact drawing, or fast while frames miss the locked rate.
  render::ModeGovernor governor_;
  ui::LoadingSplash splash_;
  QPointer<ui::CControlPanelDlg> control_panel_;
  QPointer<ui::CLoopWindowDlg> loop_window_;
  QTimer idle_timer_;
  std::unique_ptr<VideoExport> export_;
  std::function<void(const QString&)> status_sink_;
  std::function<void()> double_click_;
  std::vector<std::string> reported_;
  std::vector<std::string> pending_;
  std::vector<std::string> load_notes_;  // told during the load under way
  bool in_gl_ = false;
  bool loading_ = false;
  LoopFileWatch watch_;  // the playing loop's file
  bool started_ = false;
  int ticks_drawn_ = 0;
  int ticks_skipped_ = 0;
  int gl_errors_told_ = 0;
  int view_timer_id_ = 0;  // the spin timer; nothing starts it
};

}  // namespace vl::desktop
