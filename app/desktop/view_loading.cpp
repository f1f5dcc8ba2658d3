// The view's loads: start-up and the first loop, opening, reloading, saving and a new project.
// A loop file is read and checked whole before the playing loop is touched; the scene is then
// held (no ticks) while it is replaced.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

#include "app/desktop/zentrope_view.h"
#include "engine/asset_paths.h"
#include "engine/new_project.h"
#include "engine/random.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "render/view_frame.h"
#include "ui/export_presets.h"
#include "ui/settings_dlg.h"

namespace vl::desktop {

namespace fs = std::filesystem;

namespace {

// The folders the Open and Save dialogs last went to.
constexpr const char* kOpenFolderKey = "Folders/Open";
constexpr const char* kSaveFolderKey = "Folders/Save";

// How much the drawing thread gives way to the GUI thread (a nice value).
constexpr int kDrawingNice = 4;

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

void CZentropeView::StartUp() {
  // The drawing thread (with the renderer's own threads, started with the context) gives way to
  // the GUI thread when the processor is short: keys and clicks come first, a frame may come late.
  std::string error;
  const QSize size = DeviceSize();
  if (!session_.Start(size.width(), size.height(), kDrawingNice, &error)) Report("The view cannot draw: " + error);
  engine::SceneState& scene = session_.SceneNow();
  if (!options_.settings_note.empty()) Tell(options_.settings_note);
  std::string preset_note;
  ui::ReadSettings(settings_, scene, &preset_note);
  if (!preset_note.empty()) Tell(preset_note);
  first_run_ = options_.first_run;
  if (first_run_) {
    // The next start is no longer the first.
    ui::WriteSettings(settings_, scene);
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
  ui::ApplyStartupWindowSize(scene, window(), &note);
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
  if (session_.snapshot().random_sequence_on_startup != 0 && desktop_.sequence_count > 0) {
    ProgramRandom().Seed(static_cast<uint32_t>(std::time(nullptr)));
    const int index = ui::PickStartupSequence(desktop_, ProgramRandom());
    LoadLoop(std::string(ui::kSequencesFolder) + "/" + desktop_.sequence_names[static_cast<size_t>(index)]);
    desktop_.startup_sequence_index = index;
  }
}

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
    if (!session_.busy()) FlushReports("Vantaloop");
    return false;
  }
  // No playback ticks while the scene is being replaced (the splash's waits run the event loop).
  AwaitScene();
  {
    session::SceneSession::Hold hold(session_);
    loading_ = true;
    load_notes_.clear();
    Say({}, StatusKind::kLoadStarted);
    hold.scene().sequence_file_name = file->filename().string();
    engine::ApplySequence(hold.scene(), *seq, hold.assets());
    loading_ = false;
  }
  const engine::SceneState& scene = session_.SceneNow();
  Wake();
  // What plays (the library's default loop when the name was not found), for export and reload.
  desktop_.loaded_sequence_path = file->string();
  watch_.Watch(desktop_.loaded_sequence_path);
  window()->setWindowTitle(QString::fromStdString(EscapeControl(scene.sequence_file_name)) + "[*] - Vantaloop");
  if (loaded_) loaded_(desktop_.loaded_sequence_path);
  if (control_panel_) control_panel_->HighlightPlayingLoop();
  // After Stop the new loop waits on its first frame until Play.
  const bool stopped = scene.stop_requested >= 2.0f || scene.playing == 0;
  // What the load could not find stays in view beside the loop's name.
  std::string text = (stopped ? "Stopped: " : "Playing ") + scene.sequence_file_name;
  if (!load_notes_.empty()) {
    text += ". " + load_notes_.front();
    if (load_notes_.size() > 1) text += " (and " + std::to_string(load_notes_.size() - 1) + " more: View > Messages)";
  }
  Say(QString::fromStdString(text), load_notes_.empty() ? StatusKind::kLoaded : StatusKind::kLoadedWithProblems);
  if (!session_.busy()) FlushReports("Vantaloop");
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
    Say(QString::fromStdString(shown.ToString() + " (not reloaded; the loop plays on as it was)"),
        StatusKind::kProblem);
    std::fprintf(stderr, "vantaloop: not reloaded: %s\n", seq.error().ToString().c_str());
    return false;
  }
  if (!HasFramesToPlay(*seq)) {
    const std::string text =
        EscapeControl(name) + ": " + engine::kNothingToPlay + " (not reloaded; the loop plays on as it was)";
    Say(QString::fromStdString(text), StatusKind::kProblem);
    std::fprintf(stderr, "vantaloop: not reloaded: %s\n", text.c_str());
    return false;
  }
  AwaitScene();
  session::SceneSession::Hold hold(session_);
  engine::SceneState& s = hold.scene();
  const int frame = s.current_frame;
  const int32_t playing = s.playing;
  loading_ = true;
  load_notes_.clear();
  Say({}, StatusKind::kLoadStarted);
  engine::ApplySequence(s, *seq, hold.assets());
  s.sequence_file_name = name;
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
  {
    AwaitScene();
    session::SceneSession::Hold hold(session_);
    engine::NewProject(hold.scene(), hold.assets());
    render::ClearToBlack();
  }
  Wake();
  desktop_.loaded_sequence_path.clear();
  watch_.Stop();
  window()->setWindowTitle("Vantaloop[*]");
  if (loaded_) loaded_({});
  if (control_panel_) control_panel_->SequenceLoaded();
  HideControlPanel();
  FlushReports("New Project");
}

}  // namespace vl::desktop
