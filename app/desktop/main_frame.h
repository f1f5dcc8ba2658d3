// CMainFrame: the main window: the GL view in the middle, the menu bar, the keyboard commands and
// the status bar.
#pragma once
#include <atomic>
#include <functional>

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include "app/desktop/desktop_live.h"
#include "app/desktop/zentrope_view.h"

class QAction;
class QDialog;
class QPlainTextEdit;
class QLabel;
class QKeySequence;
class QMenu;
class QScreen;
class QSettings;

namespace vl::ui {
class LiveSync;
}

namespace vl::desktop {

// Holds the view: the view fills it, or under full screen sits in the middle at the picture's
// aspect with black bars around it.
class ViewFrame : public QWidget {
 public:
  ViewFrame(QWidget* view, QWidget* parent);
  // 0 x 0: the view fills the frame.
  void SetLetterbox(QSize aspect);
  QRect ViewRect() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QWidget* view_;
  QSize aspect_;
};

class LoopEditing;

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  CMainFrame(QSettings& settings, ViewOptions options, QWidget* parent = nullptr);
  CZentropeView* view() const { return view_; }
  LoopEditing* editing() const { return editing_; }
  // OSC, tap tempo (T) and the tempo and beat in the status bar.
  DesktopLive* live() const { return live_; }
  // Full screen: only the picture, on the output screen of the settings; false returns.
  void SetFullScreen(bool on);
  bool full_screen() const { return full_screen_; }
  // Hands a loop to play first, before the view starts.
  void SetCommandLineFile(const std::string& path);
  // Also given every message the status bar shows (even one it shows already), for scripts.
  void set_status_echo(std::function<void(const QString&)> echo) { echo_ = std::move(echo); }
  // The status bar's message: see StatusKind.
  void Say(const QString& text, StatusKind kind);
  // Every problem told since the playing loop was loaded, oldest first.
  const QStringList& messages() const { return messages_; }
  // The MIDI remote and the Link session.
  ui::LiveSync* live_sync() const { return live_sync_; }
  void ShowMidi();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void BuildFileMenu(QMenu* file);
  QAction* BuildViewMenu(QMenu* view);  // returns Full Screen, kept on the window for its key
  void BuildOptionsMenu(QMenu* options);
  void BuildKeys();
  // A menu command: its text, shortcut (may be empty), status-bar prompt and what it does.
  QAction* AddCommand(QMenu* menu, const QString& text, const QKeySequence& keys, const char* prompt,
                      const std::function<void()>& slot);
  void ToggleStatusBar(bool shown);
  QScreen* OutputScreen() const;
  void MoveToScreen(QScreen* target);
  void About();
  void ShowMessages();
  void RefreshMessages();
  void ShowMessage(const QString& text, int timeout_ms = 0);
  void OpenWebPage(const char* url);

  QSettings& settings_;
  CZentropeView* view_;
  ViewFrame* view_frame_;
  LoopEditing* editing_ = nullptr;  // the loop editor's dock, menus and saving
  QAction* status_action_ = nullptr;
  QAction* leave_full_screen_ = nullptr;
  bool full_screen_ = false;
  QRect normal_geometry_;
  QPointer<QScreen> normal_screen_;
  bool status_was_shown_ = true;
  std::function<void(const QString&)> echo_;
  QString problem_;  // shown until the next load
  QStringList messages_;
  QPointer<QDialog> messages_dialog_;
  QPlainTextEdit* messages_text_ = nullptr;
  DesktopLive* live_ = nullptr;
  QLabel* tempo_label_ = nullptr;
  // MIDI and Link (Options menu; the peers in the status bar).
  void BuildLiveSync(QMenu* options);
  ui::LiveSync* live_sync_ = nullptr;
  QLabel* link_label_ = nullptr;
  QPointer<QDialog> midi_dialog_;
  std::atomic<int> beats_seen_{0};  // the beat clock's beats per loop, as of the last change
};

}  // namespace vl::desktop
