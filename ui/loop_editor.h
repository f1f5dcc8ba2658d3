// CLoopEditorDock: the loop editor beside the picture. Look (the text, its font and surface,
// colours, layer switches, pictures and models), Motion (tracks by layer, their curves and keys)
// and Loop (length, and what `check` finds in the loop as it stands, with fixes). Every change is
// an edit of the LoopDocument, which keeps the undo history and hands it to the playing scene.
// Qt Widgets only, no GL.
#pragma once
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <QDockWidget>
#include <QThreadPool>
#include <QTimer>

#include "engine/loop_edit.h"
#include "render/loop_findings.h"
#include "ui/curve_view.h"
#include "ui/loop_document.h"

class QCheckBox;
class QComboBox;
class QFontComboBox;
class QFormLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTreeWidget;
class QVBoxLayout;
class QAction;

namespace vl::ui {

// A picture, particle texture or model a loop names, and the library folder it belongs in.
struct AssetSlot {
  engine::Setting setting;
  const char* label;
  const char* folder;  // "Images", "Particles", "model", "Textures"
  const char* filter;  // for the file dialog
};
const std::vector<AssetSlot>& AssetSlots();

// Where a chosen file goes: a file inside the program's library or the user's data folder is
// named as it lies there ("Images/a.jpg"); any other file is copied into <user data>/<folder>
// (a name already taken by another file gets " (2)", " (3)" ...) and named so. Errors say why.
Expected<std::string> LibraryNameFor(const std::filesystem::path& chosen, const char* folder,
                                     const std::filesystem::path& program_folder,
                                     const std::filesystem::path& user_folder);

// The layer a track belongs to, as the Motion panel groups them ("Text", "Models", ...).
const char* TrackLayer(engine::Track track);

class CLoopEditorDock : public QDockWidget {
  Q_OBJECT
 public:
  // `current_frame` tells the playhead (the frame on screen); `seek` moves it.
  CLoopEditorDock(LoopDocument& doc, std::function<int()> current_frame, std::function<void(int)> seek,
                  QWidget* parent = nullptr);

  // Undo, Redo and the history of both, for the main window's Edit menu.
  void FillEditMenu(QMenu* menu);
  QAction* undo_action() const { return undo_; }
  QAction* redo_action() const { return redo_; }

  CurveView* curves() const { return curves_; }
  QTabWidget* tabs() const { return tabs_; }
  // The findings shown, for tests.
  const std::vector<render::LoopFinding>& findings() const { return findings_; }
  // Messages for the status bar (refused edits, copied files).
  void set_say(std::function<void(const QString&)> say) { say_ = std::move(say); }

  // Shows the tracks' curves (as if chosen in the list).
  void ShowTracks(const std::vector<engine::Track>& tracks);
  std::vector<engine::Track> ShownTracks() const;
  // The keyboard to the open panel's first field (the text on Look, the filter on Motion).
  void FocusFirstField();

 protected:
  // Ctrl+Z and Ctrl+Shift+Z undo the loop's edits, even in a text field.
  bool eventFilter(QObject* watched, QEvent* event) override;

 public:
  // The seam fix: every seam track's last key set where the loop begins.
  void EndWhereItBegins();

 private:
  QWidget* BuildLook();
  QWidget* BuildMotion();
  void BuildTextFields(QWidget* page, QFormLayout* form);
  QGroupBox* BuildLayerSwitches(QWidget* page);
  QGroupBox* BuildAssetSlots(QWidget* page);
  QTreeWidget* BuildTrackList(QWidget* page);
  QHBoxLayout* BuildKeyRow(QWidget* page);
  QWidget* BuildLoop();
  void Refresh();    // every control from the document
  void ShowEdits();  // what the edits since the last call changed
  void UpdateActions();
  void RefreshCurves(bool fit = false);
  void RefreshSelectionFields();
  void ScheduleCheck();
  void RunCheck();
  void ShowFindings();
  void Say(const QString& text);

  bool Edit(const engine::LoopEdit& edit, bool merge = false);
  void SetSwitch(engine::Setting setting, bool on);
  void ChooseAsset(const AssetSlot& slot);
  void ChooseColour(bool background);
  void TypedValue();
  void TypedFrame();
  void AddKeyAtPlayhead();
  void DeleteSelectedKeys();
  void Dragged(const std::vector<KeyMark>& marks, int frames, double value, bool live);

  LoopDocument& doc_;
  std::function<int()> current_frame_;
  std::function<void(int)> seek_;
  std::function<void(const QString&)> say_;
  bool refreshing_ = false;  // controls being set from the document: no edits
  QTabWidget* tabs_ = nullptr;

  // Look.
  QLineEdit* text_ = nullptr;
  QTimer text_timer_;
  bool text_typing_ = false;  // the text field's edits join one undo step
  QFontComboBox* font_ = nullptr;
  QComboBox* weight_ = nullptr;
  QCheckBox* italic_ = nullptr;
  QComboBox* style_ = nullptr;
  QPushButton* background_ = nullptr;
  QPushButton* tunnel_colour_ = nullptr;
  std::map<engine::Setting, QCheckBox*> switches_;
  std::map<engine::Setting, QLineEdit*> asset_names_;

  // Motion.
  QLineEdit* filter_ = nullptr;
  QTreeWidget* track_list_ = nullptr;
  CurveView* curves_ = nullptr;
  QLineEdit* value_ = nullptr;
  QSpinBox* key_frame_ = nullptr;
  QCheckBox* snap_ = nullptr;
  QTimer playhead_timer_;
  // A drag under way: where the marks and keys were when it began.
  bool dragging_ = false;
  bool drag_started_ = false;     // its first step was applied
  bool drag_moved_keys_ = false;  // it has moved keys in time
  std::map<KeyMark, float> drag_values_;
  std::vector<int32_t> drag_frames_;

  // Loop.
  QSpinBox* length_ = nullptr;
  QCheckBox* stretch_ = nullptr;
  QVBoxLayout* findings_layout_ = nullptr;
  QWidget* findings_box_ = nullptr;
  QLabel* findings_state_ = nullptr;
  std::vector<render::LoopFinding> findings_;
  QTimer check_timer_;
  int check_generation_ = 0;
  // One check at a time, on a thread that gives way to the drawing thread.
  QThreadPool check_pool_;

  QAction* undo_ = nullptr;
  QAction* redo_ = nullptr;
  // Edits not shown yet: whether they set settings or keys, and the pause during a drag.
  struct EditsShown {
    bool waiting = false, settings = false, keys = false;
    QTimer timer;
  } edits_shown_;
};

}  // namespace vl::ui
