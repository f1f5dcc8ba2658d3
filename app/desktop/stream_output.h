// Stream output: the frames the view shows, sent to other programs while the user wants (a
// network address or a V4L2 loopback camera), chosen in a small dialog, with the stream's state
// and dropped frames in the status bar.
#pragma once
#include <memory>
#include <mutex>

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include "platform/stream/stream_sender.h"

class QComboBox;
class QImage;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QStatusBar;

namespace vl::desktop {

class CZentropeView;

// Where the drawing thread hands each finished frame; holds the running stream, if any. The
// frame is the one already read back for the screen, so streaming costs no second read, only a
// copy. Frames shown faster than the stream's rate are left out, so its clock stays the player's.
class StreamTap {
 public:
  void Set(std::shared_ptr<stream::StreamSender> sender);
  // On the drawing thread, once per frame drawn: `frame` is the screen's 32-bit RGB image.
  void Offer(const QImage& frame);

 private:
  std::mutex mu_;
  std::shared_ptr<stream::StreamSender> sender_;
  QElapsedTimer clock_;
  int64_t last_slot_ = -1;
  int64_t index_ = 0;
};

class StreamOutput : public QObject {
  Q_OBJECT
 public:
  StreamOutput(CZentropeView& view, QSettings& settings, QStatusBar* status_bar, QObject* parent);
  ~StreamOutput() override;

  // Starts sending to `url` at width x height (0 x 0: the view's size); false with the reason.
  bool Start(const QString& url, int width, int height, QString* error);
  void Stop();
  bool running() const { return sender_ != nullptr; }
  stream::StreamStatus status() const;
  QString url() const { return url_; }
  // Options > Stream Output: the dialog, opened or brought forward.
  void ShowDialog();
  QDialog* dialog() const { return dialog_; }

 signals:
  void Changed();

 private:
  void Refresh();

  QPointer<CZentropeView> view_;
  QSettings& settings_;
  QPointer<QLabel> label_;  // in the status bar, while a stream runs
  std::shared_ptr<stream::StreamSender> sender_;
  QString url_;
  QTimer refresh_;
  stream::StreamState told_ = stream::StreamState::kStopped;
  std::string told_error_;
  QPointer<QDialog> dialog_;
};

// The dialog: where to send, at what size, Start and Stop, and how it goes.
class StreamOutputDlg : public QDialog {
  Q_OBJECT
 public:
  StreamOutputDlg(StreamOutput& output, QSettings& settings, QWidget* parent);

 private:
  void Refresh();

  StreamOutput& output_;
  QSettings& settings_;
  QLineEdit* url_;
  QComboBox* size_;
  QPushButton* start_;
  QPushButton* stop_;
  QLabel* state_;
};

}  // namespace vl::desktop
