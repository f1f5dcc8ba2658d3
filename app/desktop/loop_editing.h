// LoopEditing: the loop editor in the main window: its dock (View > Loop Editor, Ctrl+E), the
// Edit menu's undo and history, Save and Save As, the title's unsaved marker and the question
// before unsaved edits are lost. It keeps the document in step with what the view loads.
#pragma once
#include <memory>
#include <string>

#include <QObject>
#include <QString>

class QMainWindow;
class QMenu;
class QSettings;

namespace vl::ui {
class CLoopEditorDock;
class LoopDocument;
}  // namespace vl::ui

namespace vl::desktop {

class CZentropeView;

class LoopEditing : public QObject {
  Q_OBJECT
 public:
  LoopEditing(QMainWindow& window, CZentropeView& view, QSettings& settings);
  ~LoopEditing() override;

  // Adds the File, Edit and View entries.
  void AddMenus(QMenu* file, QMenu* edit, QMenu* view);
  // The dock's place and size, for the next start (in the settings; written by the caller).
  void RememberLayout();
  void RestoreLayout();
  // True when nothing unsaved would be lost, or the user said to go on (saving first if asked).
  bool MayDiscard(const QString& what);

  // Shows or hides the editor beside the picture, the window growing or shrinking by it.
  void ShowDock(bool shown);
  bool Save();    // the document's own file; Save As when it has none in reach
  bool SaveAs();  // a file dialog, starting in the user's library
  ui::LoopDocument& document() const { return *doc_; }
  ui::CLoopEditorDock* dock() const { return dock_; }

 private:
  bool WriteTo(const QString& path, bool as);
  void WriteThumbnail(const std::string& loop_path);

  QMainWindow& window_;
  CZentropeView& view_;
  QSettings& settings_;
  std::unique_ptr<ui::LoopDocument> doc_;
  ui::CLoopEditorDock* dock_ = nullptr;
};

}  // namespace vl::desktop
