// The Settings dialog (export format, frame-rate lock, random start-up loop, window resize) and
// the Settings command that runs it and applies its result.
#pragma once
#include <functional>
#include <QDialog>

#include "engine/scene_state.h"
#include "ui/desktop_state.h"

class QCheckBox;
class QComboBox;
class QSettings;

namespace vl::ui {

class CSettingsDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CSettingsDlg(QWidget* parent = nullptr);

  // Members the caller fills before running and reads after Apply.
  int lock_check = 1;
  int random_check = 1;
  int preset_loop = 0;  // no control edits it; Apply always stores 0
  int preset_index = -1;
  int resize_check = 0;

  QComboBox* format_combo() const { return format_combo_; }
  QCheckBox* lock_box() const { return lock_box_; }
  QCheckBox* random_box() const { return random_box_; }
  QCheckBox* resize_box() const { return resize_box_; }

  // Puts the members into the controls (a preset outside the list selects nothing).
  void LoadControls();
  // Reads the controls back into the members.
  void SaveControls();

  void accept() override;

 private:
  QComboBox* format_combo_;
  QCheckBox* lock_box_;
  QCheckBox* random_box_;
  QCheckBox* resize_box_;
};

// The Settings command. `run` shows the dialog and returns its result (exec() by default; tests
// drive the dialog themselves). Returns true when Apply was chosen.
bool RunSettingsCommand(engine::SceneState& scene, DesktopState& desktop, QSettings& store,
                        QWidget* main_window, QWidget* parent,
                        const std::function<int(CSettingsDlg&)>& run = {});

}  // namespace vl::ui
