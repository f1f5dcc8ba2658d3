// CSplashScreenEx: a borderless, top-most window showing a picture cut to its outline by a key
// colour, with one line of text over it; and LoadingSplash, the splash a model load shows.
#pragma once
#include <functional>

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QWidget>

#include "assets/model_3ds.h"

class QScreen;
class QTimer;

namespace vl::ui {

enum SplashStyle : int {
  SPLASH_FADE_IN = 1,
  SPLASH_FADE_OUT = 2,
  SPLASH_SHADOW = 4,
  SPLASH_CENTER_SCREEN = 8,
  SPLASH_CENTER_PARENT = 16,
  SPLASH_HIDE_ON_INPUT = 32,
};

// The face the outline text would draw `face` in, as a Qt font. Qt's own matching takes what
// fontconfig ranks first, and for a name the system lacks that may be a picture font.
QFont InstalledFont(const QString& face, bool bold, bool italic);

// Font flags of ChooseFont.
enum SplashFontFlags : int { kSplashBold = 1, kSplashItalic = 2, kSplashUnderline = 4 };

class CSplashScreenEx : public QWidget {
  Q_OBJECT
 public:
  CSplashScreenEx();

  // Stores the owner, text, auto-hide timeout (ms, 0 = none) and style. The window is created
  // hidden; true when it exists.
  bool CreateSplash(QWidget* parent, const QString& text, int timeout_ms, int style);
  // The background picture: sizes and places the window, and unless a key component is -1 cuts
  // away every pixel of the key colour RGB(red, green, blue).
  bool LoadBackground(const QImage& bitmap, short red, short green, short blue);
  void ChooseFont(const QString& face, int tenths_of_point, int flags);
  void UseDefaultFont();
  void ShowMessage(const QString& text);
  void SetMessageColour(const QColor& colour);
  void SetMessageArea(const QRect& area);
  void SetMessageFormat(int qt_alignment_flags);
  // The screen SPLASH_CENTER_SCREEN centres on (the primary screen when none is given).
  void SetCentreScreen(QScreen* screen) { centre_screen_ = screen; }
  void ShowSplash();
  // Hides the window; the object deletes itself afterwards.
  void HideSplash();

  // The outline: for each row, runs of non-key pixels; a run stops before the next key pixel,
  // or at the right edge, which it then includes.
  static QRegion BuildKeyRegion(const QImage& bitmap, QColor key);
  // The program's own loading picture: 343 x 122, magenta (255, 0, 255) around the shape.
  static QImage LoadingBitmap();

  const QString& text() const { return text_; }
  const QFont& font() const { return font_; }
  const QRegion& region() const { return region_; }
  int style() const { return style_; }
  QPoint position() const { return {x_, y_}; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void keyPressEvent(QKeyEvent*) override;
  void mousePressEvent(QMouseEvent*) override;

 private:
  void RedrawNow();

  QWidget* parent_ = nullptr;
  QImage bitmap_;
  QFont font_;
  QRegion region_;
  int style_ = 0;
  int timeout_ms_ = 2000;
  QString text_;
  QRect text_rect_;
  int text_format_ = Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap;
  QColor text_colour_ = Qt::black;
  int width_ = 0, height_ = 0;
  int x_ = 0, y_ = 0;
  QTimer* timer_ = nullptr;
  bool hidden_ = false;
  QScreen* centre_screen_ = nullptr;
};

// Shows the loading splash while a 3DS model loads: the prompt, then the file, then
// "Is Now Loading", each held for `pause_ms`. The holds run the event loop, so the splash and the
// windows behind it are painted, and the program answers, while the load waits.
class LoadingSplash : public ModelLoadProgress {
 public:
  explicit LoadingSplash(int pause_ms = 1000) : pause_ms_(pause_ms) {}
  ~LoadingSplash() override;
  void Show(std::string_view prompt) override;
  void Message(std::string_view text) override;
  void Hide() override;
  // The 3DS loader's own message boxes, "Warning" and "Error", shown when they happen.
  void Warning(std::string_view text) override;
  void Failed(std::string_view text) override;

  CSplashScreenEx* splash() const { return splash_; }
  // Off: the two boxes are not shown (the caller reports the problems its own way).
  void set_message_boxes(bool on) { message_boxes_ = on; }
  // Called after every hold, when other windows may have painted (the view takes its GL context
  // back).
  void set_resume(std::function<void()> resume) { resume_ = std::move(resume); }
  // The screen the splash is shown on, asked at each Show; null keeps it hidden (the only screen
  // is showing the picture full screen), the holds still taking their time.
  void set_screen(std::function<QScreen*()> screen) { screen_ = std::move(screen); }
  // The splash shown now goes to the middle of `screen`, or out of sight for null.
  void MoveTo(QScreen* screen);
  // Off: keys and clicks wait in the queue until the load is over.
  void set_user_input(bool on) { user_input_ = on; }

 private:
  void Pause();
  int pause_ms_;
  std::function<void()> resume_;
  std::function<QScreen*()> screen_;
  bool showing_ = false;
  bool user_input_ = true;  // between Show and Hide, whether or not the splash is on a screen
  bool message_boxes_ = true;
  CSplashScreenEx* splash_ = nullptr;
};

}  // namespace vl::ui
