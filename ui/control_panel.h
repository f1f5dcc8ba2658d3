// CControlPanelDlg: the playback remote control (play, stop, frame slider and number, measured
// frame rate, loop switch) and the loop library's thumbnail list. It holds no scene data: every
// control reads or writes the scene through the view, and playback writes back through the
// PlaybackPanel interface.
#pragma once
#include <string>
#include <vector>

#include <QDialog>
#include <QSlider>

#include "render/playback.h"
#include "ui/desktop_state.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vl::ui {

class CThumbsListCtrl;

// A frame slider with tick marks at the keyframes (uniform ticks are not what a loop has).
class KeyframeSlider : public QSlider {
  Q_OBJECT
 public:
  explicit KeyframeSlider(QWidget* parent = nullptr) : QSlider(Qt::Horizontal, parent) {}
  void ClearTicks() {
    ticks_.clear();
    update();
  }
  void AddTick(int frame) {
    ticks_.push_back(frame);
    update();
  }
  int TickCount() const { return static_cast<int>(ticks_.size()); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<int> ticks_;
};

class CControlPanelDlg : public QDialog, public render::PlaybackPanel {
  Q_OBJECT
 public:
  CControlPanelDlg(ViewHost& view, QWidget* parent = nullptr);

  // PlaybackPanel: written by every tick.
  void SetSliderPosition(int frame) override;
  int SliderPosition() const override;
  void SetFrameNumber(int frame) override;
  void SetFpsLabel(const std::string& text) override;
  // "120.0 BPM, beat 3 of 8"; empty when there is no tempo.
  void SetTempoText(const QString& text);

  // Tick marks at the keyframes; the tick count doubles as "the loop has keyframes" for seeking.
  void RebuildKeyframeTicks();
  // After a load: frame 0, the slider range of the new loop, its ticks, its thumbnail chosen.
  void SequenceLoaded();
  void HighlightPlayingLoop();

  // The button handlers, callable from tests.
  void Play();
  void Stop();
  void ToggleLoop();
  void LoadSelected();
  void OpenBigWindow();
  void SliderScrolled(int position);
  void PresetChosen(int index);

  KeyframeSlider* slider() const { return slider_; }
  QLineEdit* frame_edit() const { return frame_edit_; }
  QLabel* fps_label() const { return fps_label_; }
  QLabel* tempo_label() const { return tempo_label_; }
  QCheckBox* loop_box() const { return loop_box_; }
  QComboBox* preset_combo() const { return preset_combo_; }
  CThumbsListCtrl* thumbs() const { return thumbs_; }
  QPushButton* play_button() const { return play_; }
  QPushButton* stop_button() const { return stop_; }
  int keyframe_ticks() const { return keyframe_ticks_; }
  const QString& screen_size_text() const { return screen_size_text_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;  // Esc closes like the close box

 private:
  QGroupBox* BuildPlayback();
  int LastKeyframeFrame() const;
  void SetSliderRange();

  ViewHost& view_;
  KeyframeSlider* slider_;
  QLineEdit* frame_edit_;
  QLabel* fps_label_;
  QLabel* tempo_label_;
  QCheckBox* loop_box_;
  QComboBox* preset_combo_;  // the library by file name; kept hidden
  CThumbsListCtrl* thumbs_;
  QPushButton* play_;
  QPushButton* stop_;
  int keyframe_ticks_ = 0;
  int frame_count_ = 300;
  QString screen_size_text_;
  bool programmatic_ = false;  // the slider moves because playback moved it
};

}  // namespace vl::ui
