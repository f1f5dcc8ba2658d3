#include "app/desktop/zentrope_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressDialog>
#include <QSettings>
#include <QThread>

#include "app/desktop/video_export.h"
#include "engine/random.h"
#include "render/playback.h"
#include "render/view_frame.h"
#include "ui/export_dialog.h"
#include "ui/export_presets.h"
#include "ui/settings_dlg.h"

namespace vl::desktop {

namespace fs = std::filesystem;

// The folder the Export dialog last went to.
constexpr const char* kExportFolderKey = "Folders/Export";

void DesktopAssets::SequenceLoaded(engine::SceneState&) {
  if (view_.control_panel_) view_.control_panel_->SequenceLoaded();
}

CZentropeView::CZentropeView(QSettings& settings, ViewOptions options, QWidget* parent)
    : QWidget(parent),
      settings_(settings),
      options_(std::move(options)),
      assets_(*this),
      splash_(options_.splash_pause_ms),
      trace_ticks_(std::getenv("VANTALOOP_TRACE_TICKS") != nullptr),
      session_(assets_, ProgramRandom(),
               [this] { QMetaObject::invokeMethod(this, &CZentropeView::TickFinished, Qt::QueuedConnection); }) {
  // Every pixel is the frame's (or black before the first).
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(16, 16);
  // A click on the picture takes the keyboard from the editor's fields, so Space, Left and Right
  // act on playback again.
  setFocusPolicy(Qt::ClickFocus);

  // Picture, particle texture and model problems of a loop go to the status bar and standard
  // error; only the model loader's own "Warning" and "Error" boxes interrupt a show.
  assets_.set_reporter([this](const std::string& line) { Tell(line); });
  splash_.set_message_boxes(!options_.quiet);
  assets_.set_model_progress(&splash_);
  // A change posted from another thread asks for a tick as the view's own do.
  session_.set_posted([this] { QMetaObject::invokeMethod(this, &CZentropeView::Wake, Qt::QueuedConnection); });
  set_live_hooks({});

  // The next tick goes to the drawing thread as soon as the last one is back and the GUI thread
  // has nothing queued before it.
  pump_.setSingleShot(true);
  connect(&pump_, &QTimer::timeout, this, &CZentropeView::Pump);
  // A loop being edited plays its last saved state.
  connect(&watch_, &LoopFileWatch::Changed, this, [this] { ReloadLoop(); });
  connect(&watch_, &LoopFileWatch::Missing, this, [this](const QString& what) {
    const std::string name = EscapeControl(watch_.path().filename().string());
    Tell(what == "gone" ? name + " is gone (deleted or renamed); the loop plays on as it was"
                        : name + " is now " + what.toStdString() + ", not a regular file; the loop plays on as it was");
  });
  connect(&watch_, &LoopFileWatch::Back, this,
          [this] { Tell(EscapeControl(watch_.path().filename().string()) + " is back"); });
  // The splash tells of a load; it never covers a picture shown full screen.
  splash_.set_screen([this] { return SplashScreen(); });
  panel_check_.setSingleShot(true);
  connect(&panel_check_, &QTimer::timeout, this, &CZentropeView::KeepPanelClear);
}

CZentropeView::~CZentropeView() {
  pump_.stop();
  session_.AwaitResult();  // the tick in hand finishes first
  delete control_panel_;
  delete loop_window_;
}

QSize CZentropeView::DeviceSize() const {
  // The renderer works in device pixels, which on a scaled screen are more than the widget's
  // logical size.
  const qreal ratio = devicePixelRatioF();
  return QSize(std::max(1, qRound(width() * ratio)), std::max(1, qRound(height() * ratio)));
}

// ---- Painting ------------------------------------------------------------------------------

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
  if (trace_ticks_)
    std::fprintf(
        stderr, "vantaloop: painted at %.1f ms\n",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count());
  QPainter p(this);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  if (shown_.isNull()) {
    p.fillRect(rect(), Qt::black);
    return;
  }
  const QSize device = DeviceSize();
  if (shown_.size() == device) p.drawImage(QPointF(0, 0), shown_);  // pixel for pixel
  else p.drawImage(QRectF(rect()), shown_);                         // the last frame, until one of the new size is done
}

void CZentropeView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Wake();
}

// ---- Commands ------------------------------------------------------------------------------

void CZentropeView::SeekToFrame(int frame) {
  if (loading_) return;
  // Made between ticks, never waiting on the one being drawn.
  ChangeSceneAndAssets([this, frame](engine::SceneState& s, engine::SequenceAssets&) {
    if (loading_) return;
    s.current_frame = std::clamp(frame, 0, engine::kFrameSlots - 1);
    for (int i = 0; i < engine::kTrackCount; ++i) {
      const auto t = static_cast<engine::Track>(i);
      s.work[t] = s.track(t).frame_values[s.current_frame];
    }
    render::ClearToBackground(s);
  });
}

void CZentropeView::AdoptFile(const std::string& path) {
  desktop_.loaded_sequence_path = path;
  watch_.Watch(path);
  window()->setWindowTitle(QString::fromStdString(EscapeControl(fs::path(path).filename().string())) +
                           "[*] - Vantaloop");
}

void CZentropeView::RefreshLibrary() {
  if (control_panel_ && control_panel_->isVisible()) CreateControlPanel();
}

void CZentropeView::ShowSettings() {
  if (AfterLoad([this] { ShowSettings(); })) return;
  std::string note;
  // The dialog opens at once, with the settings as they were after the last frame (only the
  // dialog changes them).
  const bool applied = ui::RunSettingsCommand(
      Glance().settings, [this]() -> engine::SceneState& { return scene(); }, desktop_, settings_, window(), window(),
      {}, &note);
  if (!note.empty()) Say(QString::fromStdString(note));
  if (applied && options_.publish_settings) {
    const std::string problem = options_.publish_settings();
    if (!problem.empty()) Tell(problem);
  }
  if (applied && settings_applied_) settings_applied_();
}

std::string CZentropeView::ApplyLiveEdit(const engine::LoopEdit& edit) {
  session::SceneSession::Hold hold(session_);
  auto done = engine::ApplyEdit(hold.scene(), edit, &hold.assets());
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
  // The loop's own name, in the folder of the last export (the home folder at first).
  const QString folder = settings_.value(kExportFolderKey, QDir::homePath()).toString();
  const QString name = QFileInfo(QString::fromStdString(desktop_.loaded_sequence_path)).completeBaseName();
  const auto chosen =
      ui::AskExportVideo(window(), Glance().export_preset, QDir(folder).filePath(name + preset->extension));
  if (!chosen) return;
  settings_.setValue(kExportFolderKey, QFileInfo(chosen->path).absolutePath());
  std::string error;
  if (!StartExport(chosen->path.toStdString(), chosen->format, &error, chosen->audio_path.toStdString()))
    QMessageBox::warning(window(), "Export Video", QString::fromStdString(error));
}

bool CZentropeView::StartExport(const std::string& path, exporting::ExportFormat format, std::string* error,
                                const std::string& audio_path) {
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
  request.audio_path = audio_path;
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

void CZentropeView::SaveBitmap() {
  // The panel is out of the way while the user picks a file, and comes back afterwards.
  HideControlPanel();
  const QImage image = shown_;
  const QString path =
      QFileDialog::getSaveFileName(window(), "Save Bitmap", "frame.bmp", "Bitmap Files (*.bmp);;PNG Files (*.png)");
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
      failed = WriteFileBytes(
          fs::path(QFile::encodeName(path).toStdString()),
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
  const bool play = scene().playing == 0;
  ChangeScene([play](engine::SceneState& s) {
    s.stop_requested = play ? 0.0f : 2.0f;
    s.playing = play && s.keyframe_count != 0 ? 1 : 0;
  });
  Say(play ? QString("Playing") : QString("Stopped at frame %1: Left and Right step").arg(scene().current_frame));
}

void CZentropeView::StepFrame(int delta) {
  if (AfterLoad([this, delta] { StepFrame(delta); })) return;
  const engine::SceneState& s = scene();
  if (s.playing != 0 || s.keyframe_count == 0) return;
  const int last = std::max(0, engine::PlayedFrameCount(s) - 1);
  const int frame = std::clamp(s.current_frame + delta, 0, last);
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
    session_.NoteProblem(line);
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
// The buttons keep the drag fields and zero the spin steps, as the player always has; nothing
// reads the drag fields yet. They stay as the hooks a drag-to-rotate would use.

void CZentropeView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) desktop_.right_drag_active = true;
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

}  // namespace vl::desktop
