// The desktop's video export: the loop on screen exported by the export engine on a worker thread
// with a headless context of its own, so the view goes on playing and the window stays usable;
// a modeless progress dialog (frames done of total, elapsed, time left) with Cancel. The frames
// are those vantaloop-cli export writes for the same loop and preset.
#pragma once
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>

#include "platform/export/loop_export.h"

class QWidget;

namespace vl::desktop {

// The time an export still needs, from the pace of its recent frames: the preroll, the encoder
// starting and the first frames cost more than the rest, so the average since the start would
// overstate it by far early on.
class TimeLeftEstimate {
 public:
  // A recorded frame count at `elapsed_ms` since the export started.
  void Recorded(qint64 elapsed_ms, int done);
  // Milliseconds still needed for `total` frames; -1 until a few frames give a pace.
  qint64 LeftMs(int total) const;

 private:
  static constexpr qint64 kWindowMs = 5000;  // how far back the pace looks
  std::deque<std::pair<qint64, int>> recent_;
};

class VideoExport : public QObject {
  Q_OBJECT
 public:
  // `dialog_parent` null: no progress dialog (tests).
  VideoExport(exporting::ExportRequest request, QWidget* dialog_parent, QObject* parent = nullptr);
  // Cancels a running export and waits for its thread (at most one frame).
  ~VideoExport() override;

  void Start();
  // Asks the worker to stop; it does before its next frame and removes the partial file.
  void Cancel();

  bool running() const { return running_; }
  const exporting::ExportRequest& request() const { return request_; }
  // Valid once Finished was emitted.
  const exporting::ExportResult& result() const { return result_; }
  // Asset problems met while loading the loop for the export.
  const std::vector<std::string>& warnings() const { return warnings_; }
  // Recording progress as last reported.
  int frames_done() const { return done_; }
  int frames_total() const { return total_; }
  QProgressDialog* dialog() const { return dialog_; }

  // "Frame 12 of 300" with the elapsed and remaining time (left_ms -1: not known yet), as the
  // dialog shows it.
  static QString ProgressText(exporting::ExportPhase phase, int done, int total, qint64 elapsed_ms,
                              qint64 left_ms = -1);

 signals:
  void Finished();

 private:
  void OnProgress(exporting::ExportPhase phase, int done, int total);
  void OnFinished(exporting::ExportResult result);

  exporting::ExportRequest request_;
  QPointer<QProgressDialog> dialog_;
  std::thread worker_;
  std::atomic<bool> cancel_{false};
  std::atomic<int> pending_progress_{0};  // progress calls posted and not yet shown
  bool running_ = false;
  exporting::ExportResult result_;
  std::mutex warnings_mutex_;
  std::vector<std::string> warnings_;
  QElapsedTimer elapsed_;
  TimeLeftEstimate left_;
  int done_ = 0, total_ = 0;
};

}  // namespace vl::desktop
