#include "ui/midi_dlg.h"

#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "engine/scene_state.h"
#include "ui/live_sync.h"

namespace vl::ui {

namespace {
constexpr const char* kCommandNames[] = {"Play", "Stop", "Next loop", "Previous loop", "Tap tempo", "Load slot"};
constexpr int kLoadSlotIndex = 5;
constexpr double kRangeLimit = 1e6;
}  // namespace

CMidiDlg::CMidiDlg(LiveSync& sync, QWidget* parent) : QDialog(parent), sync_(sync) {
  setWindowTitle("MIDI");
  auto* layout = new QVBoxLayout(this);
  state_label_ = new QLabel(this);
  state_label_->setWordWrap(true);
  state_label_->setTextFormat(Qt::PlainText);  // device names come from the devices
  layout->addWidget(state_label_);

  auto* input_row = new QHBoxLayout;
  input_row->addWidget(new QLabel("Input", this));
  input_combo_ = new QComboBox(this);
  input_row->addWidget(input_combo_, 1);
  layout->addLayout(input_row);

  table_ = new QTableWidget(0, 2, this);
  table_->setHorizontalHeaderLabels({"Control", "Does"});
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  layout->addWidget(table_, 1);

  QGroupBox* learn = BuildLearnBox();
  layout->addWidget(learn);

  clock_box_ = new QCheckBox("Tempo from this input's MIDI clock (Start puts frame 0 on the downbeat)", this);
  clock_box_->setChecked(sync_.midi_clock_tempo());
  layout->addWidget(clock_box_);

  auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(close, &QDialogButtonBox::rejected, this, &CMidiDlg::reject);
  layout->addWidget(close);

  auto range_shown = [this] {
    const bool range = kind_combo_->currentIndex() != 0;
    low_spin_->setEnabled(range);
    high_spin_->setEnabled(range);
  };
  connect(kind_combo_, &QComboBox::currentIndexChanged, this, [this, range_shown](int index) {
    target_stack_->setCurrentIndex(index);
    range_shown();
  });
  range_shown();
  connect(command_combo_, &QComboBox::currentIndexChanged, this,
          [this](int index) { slot_spin_->setEnabled(index == kLoadSlotIndex); });
  connect(input_combo_, &QComboBox::activated, this, &CMidiDlg::ChooseInput);
  connect(learn_button_, &QPushButton::toggled, this, &CMidiDlg::ToggleLearn);
  connect(remove_button_, &QPushButton::clicked, this, &CMidiDlg::RemoveSelected);
  connect(clock_box_, &QCheckBox::toggled, this, [this](bool on) { sync_.SetMidiClockTempo(on); });
  connect(&sync_, &LiveSync::Learned, this, [this](const QString& control, const QString& target) {
    learn_button_->setChecked(false);
    state_label_->setText("Learned: " + control + " does " + target);
  });
  connect(&sync_, &LiveSync::MappingsChanged, this, &CMidiDlg::FillTable);
  connect(&sync_, &LiveSync::DevicesChanged, this, &CMidiDlg::FillInputs);

  const std::string problem = sync_.MidiProblem();
  if (!problem.empty()) {
    state_label_->setText(QString::fromStdString(problem));
    for (QWidget* w : std::initializer_list<QWidget*>{input_combo_, table_, learn, clock_box_}) w->setEnabled(false);
  }
  FillInputs();
  resize(560, 520);
}

// What a learned control does, what it sets and over which range, and Learn and Remove.
QGroupBox* CMidiDlg::BuildLearnBox() {
  auto* learn = new QGroupBox("Learn: choose what a control does, press Learn, then move the control", this);
  auto* form = new QFormLayout(learn);
  kind_combo_ = new QComboBox(learn);
  kind_combo_->addItems({"Command", "Track", "Setting"});
  form->addRow("Target", kind_combo_);
  form->addRow("", BuildTargetStack(learn));
  auto* range_row = new QHBoxLayout;
  low_spin_ = new QDoubleSpinBox(learn);
  high_spin_ = new QDoubleSpinBox(learn);
  for (QDoubleSpinBox* spin : {low_spin_, high_spin_}) {
    spin->setRange(-kRangeLimit, kRangeLimit);
    spin->setDecimals(3);
    range_row->addWidget(spin, 1);
  }
  high_spin_->setValue(255);
  range_row->insertWidget(1, new QLabel("to", learn));
  form->addRow("Range", range_row);
  auto* buttons_row = new QHBoxLayout;
  learn_button_ = new QPushButton("Learn", learn);
  learn_button_->setCheckable(true);
  remove_button_ = new QPushButton("Remove", learn);
  buttons_row->addWidget(learn_button_);
  buttons_row->addWidget(remove_button_);
  buttons_row->addStretch(1);
  form->addRow(buttons_row);
  return learn;
}

// One page for each kind of target: a command (with a slot for Load slot), a track, a setting.
QStackedWidget* CMidiDlg::BuildTargetStack(QWidget* parent) {
  target_stack_ = new QStackedWidget(parent);
  auto* command_page = new QWidget(target_stack_);
  auto* command_row = new QHBoxLayout(command_page);
  command_row->setContentsMargins(0, 0, 0, 0);
  command_combo_ = new QComboBox(command_page);
  for (const char* name : kCommandNames) command_combo_->addItem(name);
  slot_spin_ = new QSpinBox(command_page);
  slot_spin_->setRange(0, 9999);
  slot_spin_->setEnabled(false);
  command_row->addWidget(command_combo_, 1);
  command_row->addWidget(slot_spin_);
  target_stack_->addWidget(command_page);
  track_combo_ = new QComboBox(target_stack_);
  for (const engine::TrackInfo& info : engine::kTrackCatalogue) track_combo_->addItem(info.name);
  target_stack_->addWidget(track_combo_);
  // The settings a number can set (not file names or text).
  setting_combo_ = new QComboBox(target_stack_);
  for (const engine::SettingInfo& info : engine::kSettingCatalogue)
    if (info.type != engine::SettingType::S) setting_combo_->addItem(info.name);
  target_stack_->addWidget(setting_combo_);
  return target_stack_;
}

std::string CMidiDlg::SelectedDevice() const { return input_combo_->currentData().toString().toStdString(); }

void CMidiDlg::FillInputs() {
  const std::string chosen = sync_.remote().device();
  input_combo_->clear();
  input_combo_->addItem("None", QString());
  for (const std::string& device : sync_.remote().Devices())
    input_combo_->addItem(QString::fromStdString(device), QString::fromStdString(device));
  const QString chosen_text = QString::fromStdString(chosen);
  int at = input_combo_->findData(chosen_text);
  if (at < 0) {
    // Not connected now: still the choice, and its mappings are still shown.
    input_combo_->addItem(chosen_text + " (not connected)", chosen_text);
    at = input_combo_->count() - 1;
  }
  input_combo_->setCurrentIndex(at);
  if (sync_.MidiProblem().empty()) {
    if (chosen.empty()) state_label_->setText("No input chosen.");
    else if (!sync_.remote().connected())
      state_label_->setText(chosen_text + " is not connected; it is used when it is.");
    else state_label_->setText(chosen_text + " is connected.");
  }
  FillTable();
}

void CMidiDlg::FillTable() {
  const std::vector<midi::MidiMapping> mappings = sync_.remote().Mappings(SelectedDevice());
  table_->setRowCount(static_cast<int>(mappings.size()));
  for (size_t i = 0; i < mappings.size(); ++i) {
    const int row = static_cast<int>(i);
    table_->setItem(
        row, 0,
        new QTableWidgetItem(QString::fromStdString(midi::DescribeControl(mappings[i].control, mappings[i].fine))));
    table_->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(midi::DescribeTarget(mappings[i].target))));
  }
  remove_button_->setEnabled(!mappings.empty());
  learn_button_->setEnabled(sync_.remote().connected() || learn_button_->isChecked());
}

void CMidiDlg::ChooseInput() {
  learn_button_->setChecked(false);
  sync_.SetMidiDevice(SelectedDevice());
  FillInputs();
}

std::optional<midi::MidiTarget> CMidiDlg::Target(QString* why) const {
  midi::MidiTarget t;
  switch (kind_combo_->currentIndex()) {
    case 0:
      t.kind = midi::TargetKind::kCommand;
      t.command = static_cast<midi::Command>(command_combo_->currentIndex());
      t.slot = slot_spin_->value();
      return t;
    case 1:
      t.kind = midi::TargetKind::kTrack;
      t.name = track_combo_->currentText().toStdString();
      break;
    default:
      t.kind = midi::TargetKind::kSetting;
      t.name = setting_combo_->currentText().toStdString();
      if (const auto s = engine::FindSetting(t.name))
        t.whole = engine::kSettingCatalogue[static_cast<size_t>(*s)].type == engine::SettingType::I;
      break;
  }
  t.low = low_spin_->value();
  t.high = high_spin_->value();
  // The same check the settings file gets: a name the profile could not hold is refused now.
  midi::MidiMapping probe{{}, t, false};
  if (!midi::ParseMapping(midi::FormatMapping(probe))) {
    if (why) *why = "That is not a name a mapping can keep.";
    return std::nullopt;
  }
  return t;
}

void CMidiDlg::ToggleLearn(bool on) {
  if (!on) {
    sync_.remote().CancelLearn();
    learn_button_->setText("Learn");
    FillTable();
    return;
  }
  QString why;
  const std::optional<midi::MidiTarget> target = Target(&why);
  if (!target) {
    state_label_->setText(why);
    QSignalBlocker block(learn_button_);
    learn_button_->setChecked(false);
    return;
  }
  sync_.remote().Learn(*target);
  learn_button_->setText("Move a control now (press again to stop)");
  state_label_->setText(QString::fromStdString("Learning " + midi::DescribeTarget(*target) + ": move a control."));
}

void CMidiDlg::RemoveSelected() {
  const std::string device = SelectedDevice();
  std::vector<midi::MidiMapping> mappings = sync_.remote().Mappings(device);
  std::vector<bool> gone(mappings.size(), false);
  for (const QModelIndex& index : table_->selectionModel()->selectedRows())
    if (index.row() >= 0 && static_cast<size_t>(index.row()) < gone.size())
      gone[static_cast<size_t>(index.row())] = true;
  std::vector<midi::MidiMapping> kept;
  for (size_t i = 0; i < mappings.size(); ++i)
    if (!gone[i]) kept.push_back(mappings[i]);
  if (kept.size() == mappings.size()) return;
  sync_.SetMappings(device, std::move(kept));
}

void CMidiDlg::reject() {
  // Closing ends a learn that no control finished.
  learn_button_->setChecked(false);
  QDialog::reject();
}

}  // namespace vl::ui
