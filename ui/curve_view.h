// CurveView: the Motion panel's graph: the chosen tracks' per-frame values as the renderer reads
// them, their keys as markers, the playhead; selecting, dragging and deleting keys, zoom and pan.
// It draws a copy of the values it is handed (never the playing scene, which the drawing thread
// owns) and asks for changes through signals; the editor turns them into edits. Qt only, no GL.
#pragma once
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <QWidget>

class QPainter;

#include "engine/scene_state.h"

namespace vl::ui {

// One track as the graph shows it.
struct CurveTrack {
  engine::Track track;
  float initial = 0.0f;
  std::vector<float> key_values;    // the value at each key, key 0 first (key 0's is not used)
  std::vector<float> frame_values;  // frames 0 .. end - 1
};

// What the graph draws: the keys' frames and the tracks' values over the played frames.
struct CurveData {
  std::vector<int> key_frames;  // key 0 .. keyframe_count
  int end = 0;                  // frames played: 0 .. end - 1
  std::vector<CurveTrack> tracks;
};

// Copies what the graph needs of `tracks` out of the scene (between frames, on the GUI thread).
CurveData CopyCurves(const engine::SceneState& scene, const std::vector<engine::Track>& tracks);

// A key marker: a track's value at one key row.
struct KeyMark {
  engine::Track track;
  int key;
  auto operator<=>(const KeyMark&) const = default;
};

class CurveView : public QWidget {
  Q_OBJECT
 public:
  explicit CurveView(QWidget* parent = nullptr);

  // New values (after an edit, a load or another choice of tracks); keeps the view's range
  // unless `fit` or the frames no longer fit it.
  void SetData(CurveData data, bool fit = false);
  const CurveData& data() const { return data_; }
  void SetPlayhead(int frame);
  int playhead() const { return playhead_; }

  const std::set<KeyMark>& selection() const { return selection_; }
  void SetSelection(std::set<KeyMark> marks);
  // Values of whole numbers only while dragging (frames are always whole).
  void set_snap_values(bool on) { snap_values_ = on; }

  // Zoom and pan: the frames and values shown.
  void ZoomTime(double factor, double around_frame);
  void ZoomValue(double factor, double around_value);
  void PanBy(double frames, double values);
  void Fit();
  double first_frame() const { return f0_; }
  double last_frame() const { return f1_; }

  // Where a mark is drawn: the frame its value lands on (the frame before its key's frame), and
  // its value; key 0 sits on its own frame with the track's initial value. Widget pixels.
  QPointF MarkPosition(const KeyMark& mark) const;
  QPointF ToPixels(double frame, double value) const;

 signals:
  void SelectionChanged();
  // A drag of the selected marks by whole frames and a value step: `live` while the button is
  // held (the picture follows), false once for the finished drag.
  void DragMarks(std::vector<KeyMark> marks, int frames, double value, bool live);
  void DeleteRequested();
  void SeekRequested(int frame);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QRectF Plot() const;
  void DrawGrid(QPainter& p, const QRectF& plot) const;
  void DrawTrack(QPainter& p, const QRectF& plot, const CurveTrack& t, const QColor& colour) const;
  double FrameAt(double x) const;
  double ValueAt(double y) const;
  std::optional<KeyMark> MarkAt(QPointF p) const;
  float MarkValue(const KeyMark& mark) const;
  void FitValues();

  CurveData data_;
  int playhead_ = 0;
  std::set<KeyMark> selection_;
  bool snap_values_ = false;
  double f0_ = 0, f1_ = 100, v0_ = 0, v1_ = 1;  // the range shown
  enum class Drag { kNone, kMarks, kBand, kPan } drag_ = Drag::kNone;
  QPointF press_, now_;
  int dragged_frames_ = 0;
  double dragged_value_ = 0;
};

}  // namespace vl::ui
