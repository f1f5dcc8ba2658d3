// The Settings dialog (export format, frame-rate lock, random start-up loop, window resize) and
// the Settings command that runs it and applies its result.
#pragma once
#include <functional>
#include <string>
#include <QDialog>

#include "engine/scene_state.h"
#include "ui/desktop_state.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QSpinBox;
class QScreen;
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
  QString output_screen;  // ScreenId of the screen full screen uses; empty: the main window's own
  // Live control: the UDP port OSC messages come to (0: off), the tempo (0: none) and the beats
  // one pass through the loop lasts (0: not locked to the beat).
  int osc_port = 0;
  double tempo = 0.0;
  int beats_per_loop = 0;

  QComboBox* format_combo() const { return format_combo_; }
  QCheckBox* lock_box() const { return lock_box_; }
  QCheckBox* random_box() const { return random_box_; }
  QCheckBox* resize_box() const { return resize_box_; }
  QComboBox* screen_combo() const { return screen_combo_; }
  QSpinBox* osc_port_box() const { return osc_port_box_; }
  QDoubleSpinBox* tempo_box() const { return tempo_box_; }
  QSpinBox* beats_box() const { return beats_box_; }

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
  QComboBox* screen_combo_;
  QSpinBox* osc_port_box_;
  QDoubleSpinBox* tempo_box_;
  QSpinBox* beats_box_;
};

// Where the live settings are kept in the profile store.
inline constexpr const char* kOscPortKey = "Live/OSC Port";
inline constexpr const char* kTempoKey = "Live/Tempo";
inline constexpr const char* kBeatsPerLoopKey = "Live/Beats Per Loop";
// The live settings as stored; anything out of range (a store edited by hand) reads as off.
int StoredOscPort(QSettings& store);
double StoredTempo(QSettings& store);
int StoredBeatsPerLoop(QSettings& store);

// Where the "Output screen" choice is kept in the profile store (a ScreenId; older stores hold a
// bare screen name).
inline constexpr const char* kOutputScreenKey = "Output Screen/Name";

// A screen told apart from every other: its name, size and place, and, among screens alike in
// all three (one per X screen, each at 0, 0), which of them it is: "screen 1280x1024+0+0 #2".
QString ScreenId(const QScreen* screen);
// The same for a person: number, name, maker and model where known, size and place.
QString ScreenLabel(const QScreen* screen);
// The connected screen with this id, or with this bare name; null when none is.
QScreen* ScreenById(const QString& id);

// The Settings command. `run` shows the dialog and returns its result (exec() by default; tests
// drive the dialog themselves). Returns true when Apply was chosen. `note` receives what the user
// should be told about the new window size, if anything.
// The dialog opens with `shown`; once applied, `scene` is asked for the scene to write (the dialog
// runs the event loop meanwhile, while which the view may be drawing).
struct SettingsShown {
  int32_t lock_frame_rate = 0;
  int32_t random_sequence_on_startup = 0;
  int32_t export_preset = 0;
  int32_t resize_to_preset = 0;
};
SettingsShown SettingsOf(const engine::SceneState& scene);
bool RunSettingsCommand(const SettingsShown& shown, const std::function<engine::SceneState&()>& scene,
                        DesktopState& desktop, QSettings& store, QWidget* main_window, QWidget* parent,
                        const std::function<int(CSettingsDlg&)>& run = {}, std::string* note = nullptr);
inline bool RunSettingsCommand(engine::SceneState& scene, DesktopState& desktop, QSettings& store, QWidget* main_window,
                               QWidget* parent, const std::function<int(CSettingsDlg&)>& run = {},
                               std::string* note = nullptr) {
  return RunSettingsCommand(
      SettingsOf(scene), [&scene]() -> engine::SceneState& { return scene; }, desktop, store, main_window, parent, run,
      note);
}

}  // namespace vl::ui
