// The view's windows beside the picture: the control panel (shown, hidden, placed clear of the
// main window and remembered), the big loop window, and both making way for full screen.
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>

#include "app/desktop/zentrope_view.h"
#include "ui/thumbs_list_ctrl.h"
#include "ui/window_placement.h"

namespace vl::desktop {

namespace {
// Where the user last had the control panel (its frame's top-left corner on the screen).
constexpr const char* kPanelPlaceKey = "Control Panel/Position";

// The window manager's frame around a top-level window (none without one, or while full screen).
QMargins FrameMargins(const QWidget* w) {
  const QRect f = w->frameGeometry(), g = w->geometry();
  return QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
}
}  // namespace

void CZentropeView::ShowControlPanel() {
  if (!control_panel_) {
    CreateControlPanel();
    return;
  }
  desktop_.control_panel_open = 2;
  if (full_screen_ && OnOutput(control_panel_)) {
    panel_before_full_screen_ = true;
    return;
  }
  control_panel_->show();
  control_panel_->raise();
  panel_shown_.start();
}

void CZentropeView::HideControlPanel() {
  desktop_.control_panel_open = 0;
  panel_before_full_screen_ = false;
  if (control_panel_) control_panel_->hide();
}

void CZentropeView::OpenControls() {
  if (AfterLoad([this] { OpenControls(); })) return;
  if (desktop_.control_panel_open > 1) return;
  CreateControlPanel();
}

void CZentropeView::CreateControlPanel() {
  // A fresh panel each time, so its thumbnails are read from the folder again.
  if (control_panel_) control_panel_->deleteLater();
  desktop_.control_panel_open = 2;
  control_panel_ = new ui::CControlPanelDlg(*this, window());
  control_panel_->installEventFilter(this);
  control_panel_->adjustSize();
  // Where the user left it, when that is still on a screen and clear of the picture.
  bool placed = false;
  if (settings_.contains(kPanelPlaceKey)) {
    const QPoint at = settings_.value(kPanelPlaceKey).toPoint();
    const QRect frame(at, control_panel_->size().grownBy(FrameMargins(window())));
    for (const QScreen* s : QGuiApplication::screens())
      placed |= ui::Inside(frame, s->availableGeometry()) && !frame.intersects(window()->frameGeometry());
    if (placed) control_panel_->move(at);
  }
  if (!placed) PlacePanel(control_panel_);
  if (full_screen_ && OnOutput(control_panel_)) {
    panel_before_full_screen_ = true;  // shown when the picture leaves full screen
    return;
  }
  control_panel_->show();
  panel_shown_.start();
}

void CZentropeView::PlacePanel(QWidget* panel) {
  // Below the main window when it fits on the screen, else beside it, so the panel never covers
  // the picture.
  QWidget* main = window();
  const QScreen* screen = main->screen();
  if (!screen) return;
  const QSize size = panel->isVisible() ? panel->frameGeometry().size() : panel->size().grownBy(FrameMargins(main));
  // Where neither fits beside the other, the main window makes room, as a user would move it;
  // only while the pair is being put up: a main window the user moved later stays put.
  const QRect main_frame = main->frameGeometry(), room = screen->availableGeometry();
  const bool opening = !panel->isVisible() || (panel_shown_.isValid() && panel_shown_.elapsed() < 2000);
  QPoint main_at = main_frame.topLeft();
  const QPoint at = opening && !main->isFullScreen() && !main->isMaximized()
                        ? ui::ArrangeBeside(main_frame, size, room, &main_at)
                        : ui::PlaceBeside(main_frame, size, room);
  if (main_at != main_frame.topLeft()) main->move(main_at);
  panel->move(at);
}

void CZentropeView::KeepPanelClear() {
  if (!control_panel_ || !control_panel_->isVisible() || full_screen_) return;
  if (control_panel_->frameGeometry().intersects(window()->frameGeometry())) PlacePanel(control_panel_);
}

void CZentropeView::RememberPanelPlace() {
  if (control_panel_ && control_panel_->isVisible())
    settings_.setValue(kPanelPlaceKey, control_panel_->frameGeometry().topLeft());
  // With the folders last used, kept in the settings file for the next start.
  if (options_.publish_settings) {
    const std::string problem = options_.publish_settings();
    if (!problem.empty()) std::fprintf(stderr, "vantaloop: %s\n", problem.c_str());
  }
}

bool CZentropeView::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == control_panel_ && type == QEvent::Hide) {
    settings_.setValue(kPanelPlaceKey, control_panel_->frameGeometry().topLeft());
  } else if (type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show) {
    // The main window moving or growing, or the window manager placing the panel just after it
    // was shown; a panel the user drags later stays where it is put.
    if (watched == window() || (watched == control_panel_ && panel_shown_.isValid() && panel_shown_.elapsed() < 2000))
      panel_check_.start(100);
  }
  return QWidget::eventFilter(watched, event);
}

void CZentropeView::FullScreenChanged(bool on, QScreen* output) {
  full_screen_ = on;
  full_screen_output_ = on ? output : nullptr;
  if (on) {
    // Only the picture on the output screen; a panel on another screen stays to control it.
    panel_before_full_screen_ = false;
    if (control_panel_ && control_panel_->isVisible() && OnOutput(control_panel_)) {
      panel_before_full_screen_ = true;
      control_panel_->hide();
    }
    if (loop_window_ && loop_window_->isVisible()) loop_window_->reject();
    splash_.MoveTo(SplashScreen());  // a load under way
    return;
  }
  splash_.MoveTo(SplashScreen());
  if (panel_before_full_screen_ && control_panel_) {
    control_panel_->show();
    panel_shown_.start();
    panel_check_.start(300);  // once the main window has its size back
  }
  panel_before_full_screen_ = false;
}

bool CZentropeView::OnOutput(const QWidget* w) const {
  // Screens of another X screen have their own coordinates: only the output's own count.
  const QScreen* output = full_screen_output_;
  return output && w->screen() && w->screen()->virtualSiblings().contains(const_cast<QScreen*>(output)) &&
         output->geometry().intersects(w->frameGeometry());
}

QScreen* CZentropeView::SplashScreen() const {
  if (!full_screen_) return window()->screen() ? window()->screen() : QGuiApplication::primaryScreen();
  for (QScreen* s : QGuiApplication::screens())
    if (!full_screen_output_ || !s->virtualSiblings().contains(full_screen_output_) ||
        !s->geometry().intersects(full_screen_output_->geometry()))
      return s;
  return nullptr;  // the one screen shows the picture
}

void CZentropeView::OpenLoopWindow() {
  if (loop_window_) loop_window_->deleteLater();
  loop_window_ = new ui::CLoopWindowDlg(*this, window());
  // Inside the screen's free area with its title bar, below the main window's menu, so both stay
  // in reach.
  QWidget* main = window();
  if (const QScreen* screen = main->screen()) {
    const QRect room = screen->availableGeometry();
    int below = room.top();
    if (auto* frame = qobject_cast<QMainWindow*>(main);
        frame && frame->menuWidget() && frame->menuWidget()->isVisible())
      below = frame->menuWidget()->mapToGlobal(QPoint(0, frame->menuWidget()->height())).y();
    loop_window_->setGeometry(
        ui::PlaceLarge(loop_window_->size(), FrameMargins(main), main->frameGeometry(), below, room, 400));
  }
  loop_window_->show();
  loop_window_->raise();
  loop_window_->activateWindow();
  loop_window_->thumbs()->setFocus();
}

}  // namespace vl::desktop
