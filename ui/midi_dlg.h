// Options > MIDI: choose the input, learn controls onto commands, tracks and settings, remove
// mappings, and take the tempo from the input's MIDI clock. Changes apply at once.
#pragma once
#include <QDialog>

#include "platform/midi/midi_mapping.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QTableWidget;

namespace vl::ui {

class LiveSync;

class CMidiDlg : public QDialog {
  Q_OBJECT
 public:
  CMidiDlg(LiveSync& sync, QWidget* parent = nullptr);

  QComboBox* input_combo() const { return input_combo_; }
  QComboBox* kind_combo() const { return kind_combo_; }
  QComboBox* command_combo() const { return command_combo_; }
  QSpinBox* slot_spin() const { return slot_spin_; }
  QComboBox* track_combo() const { return track_combo_; }
  QComboBox* setting_combo() const { return setting_combo_; }
  QDoubleSpinBox* low_spin() const { return low_spin_; }
  QDoubleSpinBox* high_spin() const { return high_spin_; }
  QPushButton* learn_button() const { return learn_button_; }
  QPushButton* remove_button() const { return remove_button_; }
  QTableWidget* table() const { return table_; }
  QCheckBox* clock_box() const { return clock_box_; }
  QLabel* state_label() const { return state_label_; }

  // The target the controls describe; empty with the reason in `why` when it is not one.
  std::optional<midi::MidiTarget> Target(QString* why = nullptr) const;

 protected:
  void reject() override;

 private:
  QGroupBox* BuildLearnBox();
  QStackedWidget* BuildTargetStack(QWidget* parent);
  void FillInputs();
  void FillTable();
  void ChooseInput();
  void ToggleLearn(bool on);
  void RemoveSelected();
  std::string SelectedDevice() const;

  LiveSync& sync_;
  QComboBox* input_combo_;
  QTableWidget* table_;
  QComboBox* kind_combo_;
  QStackedWidget* target_stack_;
  QComboBox* command_combo_;
  QSpinBox* slot_spin_;
  QComboBox* track_combo_;
  QComboBox* setting_combo_;
  QDoubleSpinBox* low_spin_;
  QDoubleSpinBox* high_spin_;
  QPushButton* learn_button_;
  QPushButton* remove_button_;
  QCheckBox* clock_box_;
  QLabel* state_label_;
};

}  // namespace vl::ui
