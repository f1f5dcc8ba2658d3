#include "app/desktop/video_export.h"

#include <QFileInfo>
#include <QProgressDialog>
#include <QWidget>

namespace vl::desktop {
namespace {

QString Clock(qint64 ms) {
  const qint64 s = ms / 1000;
  return QString("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

}  // namespace

void TimeLeftEstimate::Recorded(qint64 elapsed_ms, int done) {
  if (!recent_.empty() && done <= recent_.back().second) return;
  recent_.emplace_back(elapsed_ms, done);
  // Keep two samples at least, however slow the frames.
  while (recent_.size() > 2 && recent_.front().first < elapsed_ms - kWindowMs) recent_.pop_front();
}

qint64 TimeLeftEstimate::LeftMs(int total) const {
  if (!recent_.empty() && recent_.back().second >= total) return 0;
  if (recent_.size() < 3) return -1;  // the first interval still holds the start's costs
  const auto& [t0, d0] = recent_.front();
  const auto& [t1, d1] = recent_.back();
  return (t1 - t0) * (total - d1) / (d1 - d0);  // d1 > d0: counts only grow
}

VideoExport::VideoExport(exporting::ExportRequest request, QWidget* dialog_parent, QObject* parent)
    : QObject(parent), request_(std::move(request)) {
  if (dialog_parent) {
    dialog_ = new QProgressDialog(dialog_parent);
    dialog_->setWindowTitle("Export Video");
    dialog_->setLabelText("Exporting " + QFileInfo(QString::fromStdString(request_.out_path)).fileName());
    dialog_->setCancelButtonText("Cancel");
    // Modeless: the window, the panel and the view go on working during the export.
    dialog_->setWindowModality(Qt::NonModal);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setMinimumDuration(0);
    dialog_->setRange(0, 0);
    dialog_->setMinimumWidth(360);
    connect(dialog_, &QProgressDialog::canceled, this, &VideoExport::Cancel);
  }
}

VideoExport::~VideoExport() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
  if (dialog_) dialog_->deleteLater();
}

void VideoExport::Start() {
  if (running_ || worker_.joinable()) return;
  running_ = true;
  elapsed_.start();
  if (dialog_) {
    dialog_->setLabelText(ProgressText(exporting::ExportPhase::kPreroll, 0, 0, 0));
    dialog_->show();
  }
  worker_ = std::thread([this] {
    exporting::ExportObserver observer;
    observer.cancel = &cancel_;
    observer.progress = [this](exporting::ExportPhase phase, int done, int total) {
      // The view keeps the event loop busy; never queue more than a few updates behind it.
      if (pending_progress_.load() > 2 && done < total) return;
      ++pending_progress_;
      QMetaObject::invokeMethod(
          this,
          [this, phase, done, total] {
            --pending_progress_;
            OnProgress(phase, done, total);
          },
          Qt::QueuedConnection);
    };
    observer.warning = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(warnings_mutex_);
      warnings_.push_back(line);
    };
    exporting::ExportResult result = exporting::ExportLoop(request_, observer);
    QMetaObject::invokeMethod(
        this, [this, result] { OnFinished(result); }, Qt::QueuedConnection);
  });
}

void VideoExport::Cancel() { cancel_ = true; }

QString VideoExport::ProgressText(exporting::ExportPhase phase, int done, int total, qint64 elapsed_ms,
                                  qint64 left_ms) {
  QString text;
  if (phase == exporting::ExportPhase::kPreroll)
    text = total > 0 ? QString("Playing the loop through once before recording (%1 of %2)").arg(done).arg(total)
                     : QString("Starting");
  else if (phase == exporting::ExportPhase::kFinishing) text = QString("Finishing the file (%1 frames)").arg(total);
  else text = QString("Frame %1 of %2").arg(done).arg(total);
  text += "\nElapsed " + Clock(elapsed_ms);
  if (phase == exporting::ExportPhase::kRecording && left_ms >= 0 && total > done)
    text += ", about " + Clock(left_ms) + " left";
  return text;
}

void VideoExport::OnProgress(exporting::ExportPhase phase, int done, int total) {
  if (!running_) return;
  if (phase != exporting::ExportPhase::kPreroll) done_ = done, total_ = total;
  const qint64 elapsed = elapsed_.elapsed();
  if (phase == exporting::ExportPhase::kRecording) left_.Recorded(elapsed, done);
  if (!dialog_) return;
  const QString file = QFileInfo(QString::fromStdString(request_.out_path)).fileName();
  dialog_->setLabelText("Exporting " + file + "\n" + ProgressText(phase, done, total, elapsed, left_.LeftMs(total)));
  dialog_->setMaximum(phase == exporting::ExportPhase::kRecording ? total : 0);
  dialog_->setValue(phase == exporting::ExportPhase::kRecording ? done : 0);
}

void VideoExport::OnFinished(exporting::ExportResult result) {
  if (worker_.joinable()) worker_.join();
  running_ = false;
  result_ = std::move(result);
  if (dialog_) dialog_->hide();
  emit Finished();
}

}  // namespace vl::desktop
