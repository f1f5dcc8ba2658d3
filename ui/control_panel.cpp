#include "ui/control_panel.h"

#include <algorithm>

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <QVBoxLayout>

#include "engine/asset_paths.h"
#include "engine/numeric.h"
#include "ui/loop_library.h"
#include "ui/thumbs_list_ctrl.h"

namespace vl::ui {

void KeyframeSlider::paintEvent(QPaintEvent* event) {
  QSlider::paintEvent(event);
  if (ticks_.empty() || maximum() <= minimum()) return;
  QStyleOptionSlider opt;
  initStyleOption(&opt);
  const QRect groove = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
  const QRect handle = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
  const int span = groove.width() - handle.width();
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  for (int frame : ticks_) {
    const int x = groove.x() + handle.width() / 2 + QStyle::sliderPositionFromValue(minimum(), maximum(), frame, span);
    p.drawLine(x, 0, x, 4);  // ticks on top
  }
}

CControlPanelDlg::CControlPanelDlg(ViewHost& view, QWidget* parent) : QDialog(parent, Qt::Tool), view_(view) {
  setWindowTitle("Vantaloop");
  setWindowRole("control-panel");
  engine::SceneState& scene = view_.scene();
  DesktopState& desktop = view_.desktop();

  auto* top = new QHBoxLayout(this);
  top->addWidget(BuildPlayback());

  auto* selection = new QGroupBox("Vantaloop: Loop Selection", this);
  auto* sel_layout = new QVBoxLayout(selection);
  thumbs_ = new CThumbsListCtrl(selection);
  thumbs_->setMinimumSize(440, 150);
  sel_layout->addWidget(thumbs_, 1);
  auto* load = new QPushButton("Load Selected Video Loop", selection);
  sel_layout->addWidget(load);
  preset_combo_ = new QComboBox(selection);
  preset_combo_->hide();
  top->addWidget(selection, 1);

  // Initialisation, in the panel's order.
  if (IsOn(scene.loop_sequence)) {
    scene.loop_toggle_count = 1.0f;
    loop_box_->setChecked(true);
  }
  screen_size_text_ = QString("%1 X %2").arg(scene.view_width).arg(scene.view_height);
  const int last = LastKeyframeFrame();
  slider_->setRange(0, last == 0 ? 300 : last);
  RebuildKeyframeTicks();
  for (const std::string& name : desktop.sequence_names) preset_combo_->addItem(QString::fromStdString(name));
  preset_combo_->setCurrentIndex(scene.random_sequence_on_startup != 0 ? desktop.startup_sequence_index : 0);
  frame_count_ = 300;
  FillLibraryList(*thumbs_);
  HighlightPlayingLoop();
  SetFrameNumber(scene.current_frame);

  connect(load, &QPushButton::clicked, this, &CControlPanelDlg::LoadSelected);
  connect(slider_, &QSlider::valueChanged, this, [this](int v) {
    if (!programmatic_) SliderScrolled(v);
  });
  connect(preset_combo_, &QComboBox::activated, this, &CControlPanelDlg::PresetChosen);
}

// Play and Stop, the frame rate, the slider over the loop's frames, and the buttons that open
// the big window and export.
QGroupBox* CControlPanelDlg::BuildPlayback() {
  QFont label_font("Arial");
  label_font.setPixelSize(14);
  auto* playback = new QGroupBox("Vantaloop: Playback Controls", this);
  auto* grid = new QGridLayout(playback);
  play_ = new QPushButton("Play >", playback);
  stop_ = new QPushButton("Stop", playback);
  auto* rate_box = new QGroupBox("Frame Rate", playback);
  auto* rate_layout = new QHBoxLayout(rate_box);
  fps_label_ = new QLabel(rate_box);
  fps_label_->setFont(label_font);
  rate_layout->addWidget(fps_label_);
  // The tempo and beat the loop is locked to, when there is a tempo (empty otherwise).
  tempo_label_ = new QLabel(rate_box);
  rate_layout->addWidget(tempo_label_);
  grid->addWidget(play_, 0, 0);
  grid->addWidget(stop_, 0, 1);
  grid->addWidget(rate_box, 0, 2);

  slider_ = new KeyframeSlider(playback);
  slider_->setTickPosition(QSlider::NoTicks);
  grid->addWidget(slider_, 1, 0, 1, 3);

  auto* frame_row = new QHBoxLayout;
  frame_row->addWidget(new QLabel("Frame:", playback));
  frame_edit_ = new QLineEdit(playback);
  frame_edit_->setReadOnly(true);
  frame_edit_->setAlignment(Qt::AlignCenter);
  frame_edit_->setMaximumWidth(60);
  frame_row->addWidget(frame_edit_);
  loop_box_ = new QCheckBox("Loop Sequence", playback);
  frame_row->addWidget(loop_box_);
  grid->addLayout(frame_row, 2, 0, 1, 2);
  auto* big = new QPushButton("Open Big Window", playback);
  grid->addWidget(big, 2, 2);
  auto* export_button = new QPushButton("Export Video", playback);
  auto* settings_button = new QPushButton("Video Export Settings", playback);
  grid->addWidget(export_button, 3, 0, 1, 2);
  grid->addWidget(settings_button, 3, 2);
  connect(play_, &QPushButton::clicked, this, &CControlPanelDlg::Play);
  connect(stop_, &QPushButton::clicked, this, &CControlPanelDlg::Stop);
  connect(loop_box_, &QCheckBox::clicked, this, &CControlPanelDlg::ToggleLoop);
  connect(big, &QPushButton::clicked, this, &CControlPanelDlg::OpenBigWindow);
  connect(export_button, &QPushButton::clicked, this, [this] { view_.ExportVideo(); });
  connect(settings_button, &QPushButton::clicked, this, [this] { view_.ShowSettings(); });
  return playback;
}

int CControlPanelDlg::LastKeyframeFrame() const {
  const engine::SceneState& scene = view_.scene();
  const int k = std::clamp(scene.keyframe_count, 0, engine::kKeyListSize - 1);
  return (*scene.keyframe_frame)[static_cast<size_t>(k)];
}

void CControlPanelDlg::SetSliderPosition(int frame) {
  programmatic_ = true;
  slider_->setValue(frame);
  programmatic_ = false;
}

int CControlPanelDlg::SliderPosition() const { return slider_->value(); }

void CControlPanelDlg::SetFrameNumber(int frame) { frame_edit_->setText(QString::number(frame)); }

void CControlPanelDlg::SetFpsLabel(const std::string& text) { fps_label_->setText(QString::fromStdString(text)); }

void CControlPanelDlg::SetTempoText(const QString& text) {
  if (tempo_label_->text() != text) tempo_label_->setText(text);
}

void CControlPanelDlg::RebuildKeyframeTicks() {
  const engine::SceneState& scene = view_.scene();
  slider_->ClearTicks();
  const int count = std::clamp(scene.keyframe_count, 0, engine::kKeyListSize - 1);
  for (int k = 1; k <= count; ++k) {
    slider_->AddTick((*scene.keyframe_frame)[static_cast<size_t>(k)]);
    keyframe_ticks_ = slider_->TickCount();
  }
}

void CControlPanelDlg::SequenceLoaded() {
  const int last = LastKeyframeFrame();
  programmatic_ = true;
  slider_->setValue(0);
  slider_->setRange(0, last);
  slider_->setValue(0);
  programmatic_ = false;
  SetFrameNumber(0);
  frame_count_ = last;
  RebuildKeyframeTicks();
  HighlightPlayingLoop();
}

void CControlPanelDlg::HighlightPlayingLoop() {
  // The library's thumbnail of the playing loop (Name.jpg for Name.lqf), bundled or the user's;
  // for a loop from elsewhere the list keeps its own choice.
  const std::string& path = view_.desktop().loaded_sequence_path;
  const std::filesystem::path playing(path);
  const std::filesystem::path folder = playing.parent_path().lexically_normal();
  const std::filesystem::path user = UserSequencesFolder();
  const bool in_library = !path.empty() && playing.parent_path().filename() == kSequencesFolder &&
                          (folder == (ProgramFolder() / kSequencesFolder).lexically_normal() ||
                           (!user.empty() && folder == user.lexically_normal()));
  const std::string name = playing.stem().string() + ".jpg";
  if (!in_library) return;
  for (int i = 0; i < thumbs_->count(); ++i)
    if (thumbs_->name(i) == name && std::filesystem::path(thumbs_->folder(i)).lexically_normal() == folder) {
      thumbs_->SelectRow(i);
      return;
    }
}

// The buttons change the scene without waiting for the frame being drawn.

void CControlPanelDlg::Play() {
  view_.ChangeScene([](engine::SceneState& scene) {
    scene.stop_requested = 0.0f;
    if (scene.keyframe_count != 0) scene.playing = 1;
  });
}

void CControlPanelDlg::Stop() {
  view_.ChangeScene([](engine::SceneState& scene) {
    scene.stop_requested = 2.0f;
    scene.playing = 0;
  });
}

void CControlPanelDlg::ToggleLoop() {
  QPointer<QCheckBox> box = loop_box_;
  view_.ChangeScene([box](engine::SceneState& scene) {
    scene.loop_toggle_count += 1.0f;
    if (scene.loop_toggle_count <= 1.0f) scene.loop_sequence = 2.0f;
    if (scene.loop_toggle_count >= 2.0f) {
      scene.loop_sequence = 0.0f;
      scene.loop_toggle_count = 0.0f;
    }
    if (box) box->setChecked(IsOn(scene.loop_sequence));
  });
}

void CControlPanelDlg::LoadSelected() {
  view_.HideControlPanel();
  LoadLoopFromThumbnail(view_, *thumbs_);
  view_.ShowControlPanel();
}

void CControlPanelDlg::OpenBigWindow() {
  view_.HideControlPanel();
  view_.ChangeScene([](engine::SceneState& scene) { scene.loop_window_request = 2.0f; });
}

void CControlPanelDlg::SliderScrolled(int position) {
  SetFrameNumber(position);
  if (keyframe_ticks_ == 0) return;
  ViewHost* view = &view_;
  view_.ChangeScene([view, position](engine::SceneState& scene) {
    if (position < scene.baked_frame_count) view->SeekToFrame(position);
  });
}

void CControlPanelDlg::PresetChosen(int index) {
  const DesktopState& desktop = view_.desktop();
  if (index <= 0 || index >= static_cast<int>(desktop.sequence_names.size())) return;
  view_.LoadLoop(std::string(kSequencesFolder) + "/" + desktop.sequence_names[static_cast<size_t>(index)]);
}

void CControlPanelDlg::closeEvent(QCloseEvent* event) {
  view_.desktop().control_panel_open = 0;
  QDialog::closeEvent(event);
}

void CControlPanelDlg::reject() {
  view_.desktop().control_panel_open = 0;
  QDialog::reject();
}

}  // namespace vl::ui
