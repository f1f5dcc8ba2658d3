#include "app/desktop/stream_output.h"

#include <algorithm>
#include <iterator>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QVBoxLayout>

#include "app/desktop/zentrope_view.h"

namespace vl::desktop {
namespace {

constexpr const char* kUrlKey = "Stream Output/URL";
constexpr const char* kSizeKey = "Stream Output/Size";

// The sizes offered; the first sends the picture at the size it is shown.
struct SizeChoice {
  const char* label;
  int width, height;
};
constexpr SizeChoice kSizes[] = {
    {"As shown", 0, 0}, {"720 x 576", 720, 576}, {"1280 x 720", 1280, 720}, {"1920 x 1080", 1920, 1080}};

}  // namespace

void StreamTap::Set(std::shared_ptr<stream::StreamSender> sender) {
  std::lock_guard lock(mu_);
  sender_ = std::move(sender);
  clock_.start();
  last_slot_ = -1;
  index_ = 0;
}

void StreamTap::Offer(const QImage& frame) {
  std::shared_ptr<stream::StreamSender> sender;
  int64_t index = 0;
  double seconds = 0;
  {
    std::lock_guard lock(mu_);
    if (!sender_) return;
    seconds = static_cast<double>(clock_.nsecsElapsed()) * 1e-9;
    const int64_t slot = static_cast<int64_t>(seconds * sender_->options().fps);
    if (slot == last_slot_) return;  // shown faster than the stream's rate
    last_slot_ = slot;
    index = index_++;
    sender = sender_;
  }
  if (frame.isNull() || frame.format() != QImage::Format_RGB32) return;
  // RGB32 is 0xffRRGGBB in memory order B, G, R, X on the little-endian machines this runs on.
  static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "stream pixels are taken as BGRA");
  const live::ShownFrame shown{frame.constBits(),         frame.width(), frame.height(),
                               int(frame.bytesPerLine()), index,         seconds};
  sender->DeliverPixels(shown, stream::PixelOrder::kBgra);
}

StreamOutput::StreamOutput(CZentropeView& view, QSettings& settings, QStatusBar* status_bar, QObject* parent)
    : QObject(parent), view_(&view), settings_(settings) {
  if (status_bar) {
    label_ = new QLabel(status_bar);
    label_->hide();
    status_bar->addPermanentWidget(label_);
  }
  refresh_.setInterval(500);
  connect(&refresh_, &QTimer::timeout, this, &StreamOutput::Refresh);
}

StreamOutput::~StreamOutput() {
  // The view (and its tap) may be gone already; the sender ends with its last holder.
  if (view_) view_->stream_tap().Set(nullptr);
}

bool StreamOutput::Start(const QString& url, int width, int height, QString* error) {
  Stop();
  stream::StreamOptions o;
  o.url = url.trimmed().toStdString();
  o.width = width, o.height = height;
  // The stream runs at the rate frames are drawn at, the loop's locked rate.
  const int fps = view_ ? view_->scene().locked_fps : 25;
  o.fps = fps >= 1 && fps <= 120 ? fps : 25;
  std::string why;
  std::unique_ptr<stream::StreamSender> sender = stream::StreamSender::Start(o, &why);
  if (!sender) {
    if (error) *error = QString::fromStdString(why);
    if (view_) view_->Say(QString::fromStdString("Stream not started: " + why));
    return false;
  }
  sender_ = std::move(sender);
  url_ = url.trimmed();
  settings_.setValue(kUrlKey, url_);
  if (view_) view_->stream_tap().Set(sender_);
  told_ = stream::StreamState::kStopped;
  told_error_.clear();
  refresh_.start();
  Refresh();
  return true;
}

void StreamOutput::Stop() {
  if (!sender_) return;
  if (view_) view_->stream_tap().Set(nullptr);
  sender_->Stop();
  const stream::StreamStatus last = sender_->status();
  sender_.reset();
  refresh_.stop();
  if (label_) label_->hide();
  if (view_)
    view_->Say(QString::fromStdString("Stream " + url_.toStdString() + " stopped: " + std::to_string(last.sent) +
                                      " sent, " + std::to_string(last.dropped) + " dropped"));
  emit Changed();
}

stream::StreamStatus StreamOutput::status() const {
  if (!sender_) {
    stream::StreamStatus s;
    s.state = stream::StreamState::kStopped;
    return s;
  }
  return sender_->status();
}

void StreamOutput::Refresh() {
  if (!sender_) return;
  const stream::StreamStatus s = sender_->status();
  const std::string line = stream::StatusLine(url_.toStdString(), s);
  if (label_) {
    label_->setText(QString("Stream: %1, %2 dropped").arg(stream::StateName(s.state)).arg(s.dropped));
    label_->setToolTip(QString::fromStdString(line));
    label_->show();
  }
  // A change of state, or a new reason for failing, is news for the status line.
  if (view_ && s.state != stream::StreamState::kConnecting &&
      (s.state != told_ || (s.state == stream::StreamState::kFailed && s.last_error != told_error_))) {
    view_->Say(QString::fromStdString(line));
    told_ = s.state;
    told_error_ = s.last_error;
  }
  emit Changed();
}

void StreamOutput::ShowDialog() {
  if (!dialog_) {
    dialog_ = new StreamOutputDlg(*this, settings_, view_ ? view_->window() : nullptr);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
  }
  dialog_->show();
  dialog_->raise();
  dialog_->activateWindow();
}

StreamOutputDlg::StreamOutputDlg(StreamOutput& output, QSettings& settings, QWidget* parent)
    : QDialog(parent), output_(output), settings_(settings) {
  setWindowTitle("Stream Output");
  url_ = new QLineEdit(output.running() ? output.url() : settings.value(kUrlKey).toString(), this);
  url_->setPlaceholderText("udp://127.0.0.1:5000");
  url_->setToolTip(
      "udp://host:port or srt://host:port (MPEG-TS), rtmp://host/app/key, or /dev/videoN (a v4l2loopback camera)");
  url_->setMinimumWidth(320);
  size_ = new QComboBox(this);
  for (const SizeChoice& s : kSizes) size_->addItem(s.label);
  size_->setCurrentIndex(std::clamp(settings.value(kSizeKey, 0).toInt(), 0, int(std::size(kSizes)) - 1));
  start_ = new QPushButton("Start", this);
  stop_ = new QPushButton("Stop", this);
  start_->setDefault(true);
  state_ = new QLabel(this);
  state_->setWordWrap(true);
  state_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* form = new QFormLayout;
  form->addRow("Send to:", url_);
  form->addRow("Size:", size_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(start_);
  buttons->addWidget(stop_);
  auto* close = new QPushButton("Close", this);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(state_);
  layout->addLayout(buttons);

  connect(start_, &QPushButton::clicked, this, [this] {
    const SizeChoice& s = kSizes[size_->currentIndex()];
    settings_.setValue(kSizeKey, size_->currentIndex());
    QString error;
    if (!output_.Start(url_->text(), s.width, s.height, &error)) { state_->setText(error); }
    Refresh();
  });
  connect(stop_, &QPushButton::clicked, this, [this] { output_.Stop(); });
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  connect(&output_, &StreamOutput::Changed, this, &StreamOutputDlg::Refresh);
  Refresh();
}

void StreamOutputDlg::Refresh() {
  const bool running = output_.running();
  start_->setEnabled(!running);
  stop_->setEnabled(running);
  url_->setEnabled(!running);
  size_->setEnabled(!running);
  if (running) {
    const stream::StreamStatus s = output_.status();
    std::string text = stream::StatusLine(output_.url().toStdString(), s);
    if (s.width > 0) text += "\n" + std::to_string(s.width) + " x " + std::to_string(s.height) + ", " + s.codec;
    state_->setText(QString::fromStdString(text));
  } else if (state_->text().startsWith("Stream ")) {
    state_->setText("Stopped.");
  }
}

}  // namespace vl::desktop
