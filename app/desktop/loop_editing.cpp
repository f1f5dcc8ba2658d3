#include "app/desktop/loop_editing.h"

#include <QAction>
#include <QBuffer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QTimer>
#include <QStyle>

#include "app/desktop/zentrope_view.h"
#include "engine/asset_paths.h"
#include "ui/loop_document.h"
#include "ui/loop_editor.h"
#include "ui/loop_library.h"
#include "ui/thumbs_list_ctrl.h"

namespace vl::desktop {

namespace fs = std::filesystem;

namespace {
// The main window's docks, and the editor's panel and the tracks it showed.
constexpr const char* kLayoutKey = "Loop Editor/Layout";
constexpr const char* kShownKey = "Loop Editor/Shown";
constexpr const char* kTabKey = "Loop Editor/Tab";
constexpr const char* kTracksKey = "Loop Editor/Tracks";
constexpr const char* kSaveFolderKey = "Folders/Save";
}  // namespace

LoopEditing::LoopEditing(QMainWindow& window, CZentropeView& view, QSettings& settings)
    : QObject(&window), window_(window), view_(view), settings_(settings) {
  doc_ = std::make_unique<ui::LoopDocument>(
      [&view](std::function<void(engine::SceneState&, engine::SequenceAssets&)> change) {
        view.ChangeSceneAndAssets(std::move(change));
      });
  dock_ = new ui::CLoopEditorDock(
      *doc_, [&view] { return view.Glance().current_frame; }, [&view](int frame) { view.SeekToFrame(frame); }, &window);
  dock_->set_say([&view](const QString& text) { view.Say(text); });
  window.addDockWidget(Qt::RightDockWidgetArea, dock_);
  dock_->hide();

  // The document follows what the view plays; unsaved edits are asked about first.
  view.set_loaded([this](const std::string& path) {
    if (path.empty()) {
      doc_->OpenNewProject();
      return;
    }
    if (Status failed = doc_->Open(path))
      view_.Say(QString::fromStdString("The editor cannot read the loop: " + EscapeControl(failed->ToString())));
  });
  view.set_may_replace([this](CZentropeView::Replace why) {
    switch (why) {
      case CZentropeView::Replace::kLoad: return MayDiscard("Open another loop");
      case CZentropeView::Replace::kNewProject: return MayDiscard("Start a new project");
      case CZentropeView::Replace::kReload: return !doc_->modified();  // the edits stay; the user saves or not
    }
    return true;
  });
  connect(doc_.get(), &ui::LoopDocument::ModifiedChanged, &window, &QWidget::setWindowModified);
}

LoopEditing::~LoopEditing() = default;

void LoopEditing::AddMenus(QMenu* file, QMenu* edit, QMenu* view) {
  if (file) {
    QAction* save = file->addAction("&Save");
    save->setShortcut(QKeySequence("Ctrl+S"));
    save->setStatusTip("Save the loop: over its own file once it has one of yours, else as a new file");
    connect(save, &QAction::triggered, this, [this] { Save(); });
    QAction* save_as = file->addAction("Save &As...");
    save_as->setShortcut(QKeySequence("Ctrl+Shift+S"));
    save_as->setStatusTip("Save the loop as a new file, in your library unless you choose another folder");
    connect(save_as, &QAction::triggered, this, [this] { SaveAs(); });
    // Also without the menu bar (full screen).
    window_.addAction(save);
    window_.addAction(save_as);
  }
  if (edit) dock_->FillEditMenu(edit);
  if (view) {
    QAction* toggle = view->addAction("Loop &Editor");
    toggle->setCheckable(true);
    toggle->setShortcut(QKeySequence("Ctrl+E"));
    toggle->setStatusTip("Show or hide the loop editor beside the picture");
    connect(toggle, &QAction::triggered, this, [this](bool shown) {
      ShowDock(shown);
      if (shown) dock_->FocusFirstField();
    });
    connect(dock_, &QDockWidget::visibilityChanged, toggle, [this, toggle] { toggle->setChecked(dock_->isVisible()); });
    window_.addAction(toggle);
  }
}

void LoopEditing::ShowDock(bool shown) {
  if (dock_->isVisible() == shown) return;
  // The picture keeps its size (the preset's frame size): the window grows or shrinks by the
  // editor's width instead, unless it fills the screen.
  const bool keep = window_.isMaximized() || window_.isFullScreen() || dock_->isFloating();
  const int width = shown ? std::max(dock_->sizeHint().width(), dock_->minimumSizeHint().width()) : dock_->width();
  const int separator = window_.style()->pixelMetric(QStyle::PM_DockWidgetSeparatorExtent, nullptr, &window_);
  if (shown && !keep) window_.resize(window_.width() + width + separator, window_.height());
  dock_->setVisible(shown);
  if (!shown && !keep) window_.resize(std::max(1, window_.width() - width - separator), window_.height());
}

void LoopEditing::RememberLayout() {
  settings_.setValue(kLayoutKey, window_.saveState());
  settings_.setValue(kShownKey, dock_->isVisible());
  settings_.setValue(kTabKey, dock_->tabs()->currentIndex());
  QStringList tracks;
  for (engine::Track t : dock_->ShownTracks()) tracks << engine::TrackName(t);
  settings_.setValue(kTracksKey, tracks.join(' '));
}

void LoopEditing::RestoreLayout() {
  if (settings_.contains(kLayoutKey)) window_.restoreState(settings_.value(kLayoutKey).toByteArray());
  // Opened again once the window has its start-up size, beside the picture rather than over it.
  const bool shown = settings_.value(kShownKey, dock_->isVisible()).toBool();
  dock_->hide();
  if (shown) QTimer::singleShot(0, this, [this] { ShowDock(true); });
  dock_->tabs()->setCurrentIndex(settings_.value(kTabKey, 0).toInt());
  std::vector<engine::Track> tracks;
  for (const QString& name : settings_.value(kTracksKey).toString().split(' ', Qt::SkipEmptyParts))
    if (auto t = engine::FindTrack(name.toStdString())) tracks.push_back(*t);
  if (!tracks.empty()) dock_->ShowTracks(tracks);
}

bool LoopEditing::MayDiscard(const QString& what) {
  if (!doc_->modified()) return true;
  const QString name = doc_->path().empty() ? QString("The new loop")
                                            : QString::fromStdString(EscapeControl(doc_->path().filename().string()));
  const auto answer = QMessageBox::question(
      &window_, "Unsaved changes", QString("%1 has changes that are not saved. Save them first?\n(%2)").arg(name, what),
      QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
  if (answer == QMessageBox::Discard) return true;
  if (answer == QMessageBox::Save) return Save();
  return false;
}

bool LoopEditing::Save() {
  // A loop of the bundled library is never written over: its edits go to a file of the user's.
  const fs::path& own = doc_->path();
  std::error_code ec;
  const bool in_library = !own.empty() && !own.lexically_relative(ProgramFolder()).empty() &&
                          *own.lexically_relative(ProgramFolder()).begin() != "..";
  if (!doc_->modified() || own.empty() || in_library || !fs::is_regular_file(own, ec)) return SaveAs();
  return WriteTo(QString::fromStdString(own.string()), false);
}

bool LoopEditing::SaveAs() {
  QString path = QFileDialog::getSaveFileName(&window_, "Save a Moxtrel Keyframe File", view_.SaveFolder(),
                                              "Moxtrel Keyframe Files (*.lqf);;All Files (*)");
  if (path.isEmpty()) return false;
  if (QFileInfo(path).suffix().isEmpty()) path += ".lqf";
  return WriteTo(path, true);
}

bool LoopEditing::WriteTo(const QString& path, bool as) {
  const std::string file = QFile::encodeName(path).toStdString();
  if (Status failed = as ? doc_->SaveAs(file) : doc_->Save()) {
    QMessageBox::warning(&window_, "Save", QString::fromStdString("Could not save the loop: " + failed->ToString()));
    return false;
  }
  if (as) settings_.setValue(kSaveFolderKey, QFileInfo(path).absolutePath());
  // What plays is now that file (its changes on disk reload it), named in the title.
  view_.AdoptFile(doc_->path().string());
  WriteThumbnail(file);
  view_.Say("Saved " + path);
  return true;
}

void LoopEditing::WriteThumbnail(const std::string& loop_path) {
  // A loop saved into the user's library is listed at once, with the picture on screen as its
  // thumbnail (Name.jpg beside Name.lqf).
  const fs::path loop(loop_path);
  std::error_code ec;
  const fs::path folder = fs::weakly_canonical(loop.parent_path(), ec);
  if (ec || folder != fs::weakly_canonical(ui::UserSequencesFolder(), ec) || loop.extension() != ".lqf") return;
  const QImage shown = view_.shown_frame();
  if (shown.isNull()) return;
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  shown.scaled(96, 96, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).save(&buffer, "JPG", 90);
  fs::path picture = loop;
  picture.replace_extension(".jpg");
  if (Status failed = WriteFileBytes(
          picture, std::span(reinterpret_cast<const uint8_t*>(jpeg.constData()), static_cast<size_t>(jpeg.size())))) {
    view_.Say(QString::fromStdString("The loop's picture was not written: " + failed->ToString()));
    return;
  }
  view_.RefreshLibrary();
}

}  // namespace vl::desktop
