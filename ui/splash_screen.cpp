#include "ui/splash_screen.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include "render/glyph_lists.h"

namespace vl::ui {

CSplashScreenEx::CSplashScreenEx()
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      font_(QFontDatabase::systemFont(QFontDatabase::GeneralFont)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_ShowWithoutActivating);
}

bool CSplashScreenEx::CreateSplash(QWidget* parent, const QString& text, int timeout_ms, int style) {
  parent_ = parent;
  text_ = text;
  timeout_ms_ = timeout_ms;
  style_ = style;
  // No drop shadow or fade: X11 offers neither without a compositor, and the design allows the
  // immediate show and hide. The window exists (hidden) from here on.
  setGeometry(0, 0, 0, 0);
  winId();
  return true;
}

QRegion CSplashScreenEx::BuildKeyRegion(const QImage& bitmap, QColor key) {
  QRegion region;
  const QImage img = bitmap.convertToFormat(QImage::Format_RGB32);
  const QRgb key_rgb = key.rgb() & 0xFFFFFF;
  const int w = img.width();
  for (int y = img.height() - 1; y >= 0; --y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    int x = 0;
    while (x < w) {
      while (x < w && (row[x] & 0xFFFFFF) == key_rgb) ++x;
      if (x >= w) break;
      const int start = x;
      while (x < w && (row[x] & 0xFFFFFF) != key_rgb) ++x;
      region += QRect(start, y, x - start, 1);  // the right edge pixel is part of its run
    }
  }
  return region;
}

bool CSplashScreenEx::LoadBackground(const QImage& bitmap, short red, short green, short blue) {
  if (bitmap.isNull()) return false;
  bitmap_ = bitmap.convertToFormat(QImage::Format_RGB32);
  width_ = bitmap_.width();
  height_ = bitmap_.height();
  if (style_ & SPLASH_CENTER_SCREEN) {
    const QScreen* screen = centre_screen_ ? centre_screen_ : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, width_, height_);
    x_ = area.x() + (area.width() - width_) / 2;
    y_ = area.y() + (area.height() - height_) / 2;
  } else if ((style_ & SPLASH_CENTER_PARENT) && parent_) {
    const QRect r = parent_->frameGeometry();
    x_ = r.left() + (r.width() - width_) / 2;
    y_ = r.top() + (r.height() - height_) / 2;
  }
  if (red == -1 || green == -1 || blue == -1) return true;
  region_ = BuildKeyRegion(bitmap_, QColor(red, green, blue));
  setMask(region_);
  return true;
}

QFont InstalledFont(const QString& face, bool bold, bool italic) {
  const QByteArray name = face.toLatin1();
  const auto faces = render::FindFontCandidates({name.toStdString(), bold ? 700 : 400, italic, {}});
  if (faces.empty()) return QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  const render::FontChoice& choice = faces.front();
  QFont font(QString::fromStdString(choice.family));
  const bool synthetic = choice.embolden || choice.matrix != std::array<double, 4>{1, 0, 0, 1};
  if (!synthetic && !choice.style.empty()) {
    // The style names the very face ("Condensed Bold"), width included.
    font.setStyleName(QString::fromStdString(choice.style));
  } else {
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setItalic(italic);
  }
  return font;
}

void CSplashScreenEx::ChooseFont(const QString& face, int tenths_of_point, int flags) {
  QFont font = InstalledFont(face, flags & kSplashBold, flags & kSplashItalic);
  font.setPointSizeF(tenths_of_point / 10.0);
  font.setUnderline(flags & kSplashUnderline);
  font_ = font;
}

void CSplashScreenEx::UseDefaultFont() { font_ = QFontDatabase::systemFont(QFontDatabase::GeneralFont); }

void CSplashScreenEx::RedrawNow() {
  if (isVisible()) repaint();
}

void CSplashScreenEx::ShowMessage(const QString& text) {
  text_ = text;
  RedrawNow();
}

void CSplashScreenEx::SetMessageColour(const QColor& colour) {
  text_colour_ = colour;
  RedrawNow();
}

void CSplashScreenEx::SetMessageArea(const QRect& area) {
  text_rect_ = area;
  RedrawNow();
}

void CSplashScreenEx::SetMessageFormat(int flags) { text_format_ = flags; }

void CSplashScreenEx::ShowSplash() {
  setGeometry(x_, y_, width_, height_);
  show();
  repaint();
  if (timeout_ms_ != 0) {
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &CSplashScreenEx::HideSplash);
    timer_->start(timeout_ms_);
  }
}

void CSplashScreenEx::HideSplash() {
  if (hidden_) return;
  hidden_ = true;
  if (timer_) timer_->stop();
  hide();
  deleteLater();
}

void CSplashScreenEx::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawImage(0, 0, bitmap_);
  p.setFont(font_);
  p.setPen(text_colour_);
  p.drawText(text_rect_, text_format_, text_);
}

void CSplashScreenEx::keyPressEvent(QKeyEvent* event) {
  if (style_ & SPLASH_HIDE_ON_INPUT) {
    HideSplash();
    return;
  }
  QWidget::keyPressEvent(event);
}

void CSplashScreenEx::mousePressEvent(QMouseEvent* event) {
  if (style_ & SPLASH_HIDE_ON_INPUT) {
    HideSplash();
    return;
  }
  QWidget::mousePressEvent(event);
}

QImage CSplashScreenEx::LoadingBitmap() {
  QImage img(343, 122, QImage::Format_RGB32);
  img.fill(QColor(255, 0, 255));
  QPainter p(&img);
  // No antialiasing: blended edge pixels would be neither key nor shape.
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QPen(QColor(250, 200, 40), 4));
  p.setBrush(QColor(20, 24, 48));
  p.drawRoundedRect(QRect(6, 6, 330, 109), 40, 40);
  p.setBrush(QColor(60, 70, 140));
  p.setPen(Qt::NoPen);
  p.drawEllipse(QRect(22, 26, 72, 72));
  p.setBrush(QColor(250, 200, 40));
  p.drawEllipse(QRect(40, 44, 36, 36));
  p.setPen(QColor(250, 200, 40));
  QFont f = InstalledFont("Impact", false, false);
  f.setPixelSize(18);
  p.setFont(f);
  p.drawText(QRect(125, 20, 166, 36), Qt::AlignCenter, "VANTALOOP");
  return img;
}

LoadingSplash::~LoadingSplash() { Hide(); }

void LoadingSplash::Pause() {
  if (pause_ms_ <= 0) return;
  // The wait keeps the program painting (the splash's new text, the main window's last frame)
  // and, unless told otherwise, answering keys, menus and clicks: the owner makes what would
  // change the scene half-way through the load wait for its end.
  QEventLoop wait;
  QTimer::singleShot(pause_ms_, &wait, &QEventLoop::quit);
  wait.exec(user_input_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
  if (resume_) resume_();
}

void LoadingSplash::Show(std::string_view prompt) {
  Hide();
  showing_ = true;
  QScreen* screen = screen_ ? screen_() : QGuiApplication::primaryScreen();
  if (!screen) {
    Pause();
    return;
  }
  splash_ = new CSplashScreenEx;
  splash_->SetCentreScreen(screen);
  splash_->CreateSplash(nullptr, QString::fromUtf8(prompt.data(), static_cast<int>(prompt.size())), 0,
                        SPLASH_FADE_IN | SPLASH_FADE_OUT | SPLASH_SHADOW | SPLASH_CENTER_SCREEN);
  splash_->LoadBackground(CSplashScreenEx::LoadingBitmap(), 255, 0, 255);
  splash_->ChooseFont("Impact", 100, 0);
  splash_->SetMessageArea(QRect(125, 60, 291 - 125, 104 - 60));  // right and bottom exclusive
  splash_->SetMessageColour(QColor(255, 255, 255));
  splash_->SetMessageFormat(Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine);
  splash_->ShowSplash();
  Pause();
}

void LoadingSplash::Message(std::string_view text) {
  if (!showing_) return;
  if (splash_) splash_->ShowMessage(QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())));
  Pause();
}

void LoadingSplash::Warning(std::string_view text) {
  if (!message_boxes_) return;
  QMessageBox::warning(nullptr, "Warning", QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())));
  if (resume_) resume_();
}

void LoadingSplash::Failed(std::string_view text) {
  Hide();
  if (!message_boxes_) return;
  QMessageBox::critical(nullptr, "Error", QString::fromLocal8Bit(text.data(), static_cast<int>(text.size())));
  if (resume_) resume_();
}

void LoadingSplash::MoveTo(QScreen* screen) {
  if (!splash_) return;
  if (!screen) {
    splash_->hide();
    return;
  }
  const QRect area = screen->availableGeometry();
  splash_->move(area.x() + (area.width() - splash_->width()) / 2, area.y() + (area.height() - splash_->height()) / 2);
  splash_->show();
}

void LoadingSplash::Hide() {
  showing_ = false;
  if (!splash_) return;
  splash_->HideSplash();
  splash_ = nullptr;
}

}  // namespace vl::ui
