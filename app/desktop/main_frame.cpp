#include "app/desktop/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QSettings>
#include <QWindow>
#include <QDesktopServices>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QUrl>

#include "app/desktop/loop_editing.h"
#include "ui/loop_document.h"
#include "ui/export_presets.h"
#include "platform/link/beat_follow.h"
#include "platform/midi/midi_input.h"
#include "ui/live_sync.h"
#include "ui/midi_dlg.h"
#include "ui/settings_dlg.h"

namespace vl::desktop {

namespace {
constexpr const char* kHelpPage = "https://vantaloop.example/help";
constexpr const char* kIdleText = "Vantaloop";
}  // namespace

ViewFrame::ViewFrame(QWidget* view, QWidget* parent) : QWidget(parent), view_(view) {
  QPalette black = palette();
  black.setColor(QPalette::Window, Qt::black);
  setPalette(black);
  setAutoFillBackground(true);
  view_->setParent(this);
}

void ViewFrame::SetLetterbox(QSize aspect) {
  aspect_ = aspect;
  view_->setGeometry(ViewRect());
}

QRect ViewFrame::ViewRect() const {
  if (aspect_.isEmpty()) return rect();
  const QSize fitted = aspect_.scaled(size(), Qt::KeepAspectRatio);
  return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

void ViewFrame::resizeEvent(QResizeEvent*) { view_->setGeometry(ViewRect()); }

CMainFrame::CMainFrame(QSettings& settings, ViewOptions options, QWidget* parent)
    : QMainWindow(parent), settings_(settings) {
  setWindowTitle("Vantaloop[*]");
  // The panel has the same title; the role tells window managers and scripts which is the player.
  setWindowRole("player");
  view_ = new CZentropeView(settings, std::move(options), nullptr);
  view_frame_ = new ViewFrame(view_, this);
  setCentralWidget(view_frame_);
  view_->set_double_click([this] { SetFullScreen(!full_screen_); });
  editing_ = new LoopEditing(*this, *view_, settings);

  // The message pane, then the lock-key panes.
  statusBar()->showMessage(kIdleText);
  for (const char* pane : {"CAP", "NUM", "SCRL"}) {
    auto* label = new QLabel(pane, statusBar());
    label->setEnabled(false);  // lock-key state is not shown
    statusBar()->addPermanentWidget(label);
  }
  view_->set_status_sink([this](const QString& text, StatusKind kind) { Say(text, kind); });
  // A notice shown over a problem lasts a few seconds; then the problem is back. The whole
  // message is a tooltip away when the bar is too narrow for it.
  connect(statusBar(), &QStatusBar::messageChanged, this, [this](const QString& text) {
    if (text.isEmpty() && !problem_.isEmpty()) {
      statusBar()->showMessage(problem_);
      return;
    }
    statusBar()->setToolTip(text);
  });
  BuildMenus();
  editing_->RestoreLayout();

  // ---- Live control: OSC on the settings' port, tap tempo on T, the tempo and beat shown ----
  live_ = new DesktopLive(*view_, settings_, this);
  live_->set_full_screen([this](bool on) { SetFullScreen(on); });
  live_->set_record_edit([this](const engine::LoopEdit& edit) { editing_->document().Record(edit); });
  view_->set_settings_applied([this] { live_->ApplySettings(); });
  tempo_label_ = new QLabel(statusBar());
  statusBar()->insertPermanentWidget(0, tempo_label_);
  auto* tempo_shown = new QTimer(this);
  connect(tempo_shown, &QTimer::timeout, this, [this] {
    const QString text = live_->TempoText();
    if (tempo_label_->text() != text) tempo_label_->setText(text);
    if (ui::CControlPanelDlg* panel = view_->control_panel()) panel->SetTempoText(text);
  });
  tempo_shown->start(100);
  auto* tap = new QAction(this);
  tap->setShortcut(QKeySequence(Qt::Key_T));
  tap->setShortcutContext(Qt::WindowShortcut);
  connect(tap, &QAction::triggered, this, [this] { live_->Tap(); });
  addAction(tap);
  // Once the window is up, so that a port in use is said where the user looks.
  QTimer::singleShot(0, live_, &DesktopLive::ApplySettings);
  // MIDI's messages act as OSC's; Link, else the MIDI clock, keeps the beat: asked several times
  // a frame, so the beat clock is re-anchored close to every frame it places.
  live_sync_->set_message_sink([this](const live::LiveMessage& m) { live_->Dispatch(m); });
  auto* outside_beat = new QTimer(this);
  connect(outside_beat, &QTimer::timeout, this, [this] {
    const auto beat = live_sync_->BeatNow(beats_seen_);
    if (!beat) return;
    // The phase is the source's at this moment; the change runs a little later, so it is carried
    // on by the time between.
    const double asked = midi::SteadySeconds();
    live_->ChangeBeat([this, beat = *beat, asked](engine::BeatClock& clock, double now) {
      beats_seen_ = clock.BeatsPerLoop();
      link::OutsideBeat outside{beat.bpm, beat.loop_phase};
      if (outside.loop_phase && beats_seen_ > 0)
        *outside.loop_phase += (midi::SteadySeconds() - asked) * beat.bpm / 60.0 / beats_seen_;
      link::FollowBeat(clock, outside, now);
    });
  });
  outside_beat->start(10);
}

void CMainFrame::SetCommandLineFile(const std::string& path) {
  view_->desktop().command_line_file = path;
  view_->desktop().command_line_file_given = true;
}

void CMainFrame::ShowMessage(const QString& text, int timeout_ms) {
  // The bar says nothing when the text is already shown: scripts still hear it.
  if (echo_ && text == statusBar()->currentMessage()) echo_(text);
  statusBar()->showMessage(text, timeout_ms);
}

void CMainFrame::Say(const QString& text, StatusKind kind) {
  switch (kind) {
    case StatusKind::kLoadStarted:
      problem_.clear();
      messages_.clear();
      break;
    case StatusKind::kProblem:
      messages_ << text;
      problem_ = text;
      ShowMessage(text);
      break;
    case StatusKind::kLoadedWithProblems:
      problem_ = text;
      ShowMessage(text);
      break;
    case StatusKind::kLoaded:
      problem_.clear();
      ShowMessage(text);
      break;
    case StatusKind::kNotice: ShowMessage(text, problem_.isEmpty() ? 0 : 5000); break;
    case StatusKind::kBackground:
      if (problem_.isEmpty()) ShowMessage(text);
      break;
  }
  RefreshMessages();
}

void CMainFrame::RefreshMessages() {
  if (!messages_dialog_) return;
  messages_text_->setPlainText(messages_.isEmpty() ? QString("No problems with the playing loop.")
                                                   : messages_.join("\n"));
  messages_dialog_->setWindowTitle(QString("Messages (%1)").arg(messages_.size()));
}

void CMainFrame::ShowMessages() {
  if (!messages_dialog_) {
    messages_dialog_ = new QDialog(this, Qt::Tool);
    messages_dialog_->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(messages_dialog_);
    messages_text_ = new QPlainTextEdit(messages_dialog_);
    messages_text_->setReadOnly(true);
    messages_text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    layout->addWidget(messages_text_);
    messages_dialog_->resize(640, 240);
  }
  RefreshMessages();
  messages_dialog_->show();
  messages_dialog_->raise();
  messages_dialog_->activateWindow();
}

QAction* CMainFrame::AddCommand(QMenu* menu, const QString& text, const QKeySequence& keys, const char* prompt,
                                const std::function<void()>& slot) {
  QAction* a = menu->addAction(text);
  if (!keys.isEmpty()) a->setShortcut(keys);
  a->setStatusTip(QString::fromLatin1(prompt));
  connect(a, &QAction::triggered, this, slot);
  return a;
}

void CMainFrame::BuildMenus() {
  BuildFileMenu(menuBar()->addMenu("&File"));
  QAction* full = BuildViewMenu(menuBar()->addMenu("&View"));
  BuildOptionsMenu(menuBar()->addMenu("Options"));
  CZentropeView* v = view_;
  QMenu* video = menuBar()->addMenu("Export Video");
  AddCommand(video, "Export Video", {}, "Write the playing loop to a video file", [v] { v->ExportVideo(); });
  // After the menus the player always had, which keyboard users and scripts reach by place.
  editing_->AddMenus(nullptr, menuBar()->addMenu("&Edit"), nullptr);
  QMenu* help = menuBar()->addMenu("&Help");
  AddCommand(help, "&About Vantaloop...", {}, "Display program information, version number and copyright",
             [this] { About(); });
  AddCommand(help, "Online Help", {}, "Open the online help in the web browser", [this] { OpenWebPage(kHelpPage); });
  BuildKeys();
  // Full screen stays reachable by its key while the menu bar is hidden.
  addAction(full);
}

void CMainFrame::BuildFileMenu(QMenu* file) {
  CZentropeView* v = view_;
  AddCommand(file, "&Open Sequence.", QKeySequence("Ctrl+O"), "Open an existing document", [v] { v->OpenSequence(); });
  file->addSeparator();
  file->addSeparator();
  AddCommand(file, "Save Bitmap", {}, "Save the picture shown as a bitmap file", [v] { v->SaveBitmap(); });
  AddCommand(file, "Copy to Clipboard", {}, "Copy the picture shown to the clipboard", [v] { v->CopyToClipboard(); });
  editing_->AddMenus(file, nullptr, nullptr);  // Save and Save As
  file->addSeparator();
  AddCommand(file, "E&xit", {}, "Quit the application; prompts to save documents", [this] { close(); });
}

QAction* CMainFrame::BuildViewMenu(QMenu* view) {
  CZentropeView* v = view_;
  QAction* status = view->addAction("&Status Bar");
  status->setCheckable(true);
  status->setChecked(true);
  status->setStatusTip("Show or hide the status bar");
  connect(status, &QAction::toggled, this, &CMainFrame::ToggleStatusBar);
  status_action_ = status;
  AddCommand(view, "Open Controls", {}, "Show the playback control panel", [v] { v->OpenControls(); });
  AddCommand(view, "&Messages", {}, "Show every problem met with the playing loop", [this] { ShowMessages(); });
  editing_->AddMenus(nullptr, nullptr, view);
  QAction* full = AddCommand(view, "&Full Screen", QKeySequence(Qt::Key_F11),
                             "Show only the picture, on the output screen chosen in the settings",
                             [this] { SetFullScreen(!full_screen_); });
  full->setShortcutContext(Qt::ApplicationShortcut);
  return full;
}

void CMainFrame::BuildOptionsMenu(QMenu* options) {
  CZentropeView* v = view_;
  AddCommand(options, "Settings", {}, "Choose the export format and how the player starts", [v] { v->ShowSettings(); });
  // The picture sent to other programs; its state and dropped frames sit in the status bar.
  auto* stream_output = new StreamOutput(*v, settings_, statusBar(), this);
  AddCommand(options, "Stream Output...", {},
             "Send the picture shown to other programs: a network stream or a camera device",
             [stream_output] { stream_output->ShowDialog(); });
  BuildLiveSync(options);
}

void CMainFrame::BuildKeys() {
  CZentropeView* v = view_;
  // Keyboard-only commands. Undo, cut, copy, paste and the pane keys have no command behind them.
  auto key = [this](const char* keys, auto slot) {
    auto* a = new QAction(this);
    a->setShortcut(QKeySequence(keys));
    a->setShortcutContext(Qt::WindowShortcut);
    connect(a, &QAction::triggered, this, slot);
    addAction(a);
  };
  key("Ctrl+N", [v] { v->NewProject(); });
  key("Space", [v] { v->TogglePlay(); });
  key("Left", [v] { v->StepFrame(-1); });
  key("Right", [v] { v->StepFrame(1); });
  // Esc leaves full screen (and does nothing otherwise). The menu bar is hidden then, so the
  // action lives on the window itself.
  leave_full_screen_ = new QAction(this);
  leave_full_screen_->setShortcut(QKeySequence(Qt::Key_Escape));
  leave_full_screen_->setShortcutContext(Qt::WindowShortcut);
  leave_full_screen_->setEnabled(false);
  connect(leave_full_screen_, &QAction::triggered, this, [this] { SetFullScreen(false); });
  addAction(leave_full_screen_);
}

void CMainFrame::BuildLiveSync(QMenu* options) {
  live_sync_ = new ui::LiveSync(settings_, nullptr, this);
  live_sync_->set_say([this](const QString& text) { Say(text, StatusKind::kNotice); });
  for (const QString& problem : live_sync_->problems()) Say(problem, StatusKind::kNotice);
  const QString no_midi = QString::fromStdString(live_sync_->MidiProblem());
  QAction* midi = options->addAction(no_midi.isEmpty() ? QString("MIDI...") : QString("MIDI (no MIDI system)..."));
  midi->setStatusTip(no_midi.isEmpty() ? QString("Choose a MIDI input and learn its controls") : no_midi);
  connect(midi, &QAction::triggered, this, &CMainFrame::ShowMidi);
  QAction* link = options->addAction("Join Link Session");
  link->setCheckable(true);
  link->setChecked(live_sync_->link_joined());
  link->setStatusTip("Follow the tempo and bar of music programs on the network that use Link");
  link_label_ = new QLabel(statusBar());
  link_label_->setVisible(live_sync_->link_joined());
  statusBar()->insertPermanentWidget(0, link_label_);
  auto show_peers = [this](int peers) {
    link_label_->setText(QString("Link: %1 peer%2").arg(peers).arg(peers == 1 ? "" : "s"));
    link_label_->setVisible(live_sync_->link_joined());
  };
  show_peers(static_cast<int>(live_sync_->LinkPeers()));
  connect(live_sync_, &ui::LiveSync::LinkPeersChanged, this, show_peers);
  connect(link, &QAction::toggled, this, [this, show_peers](bool on) {
    live_sync_->JoinLink(on);
    show_peers(static_cast<int>(live_sync_->LinkPeers()));
  });
}

void CMainFrame::ShowMidi() {
  if (!midi_dialog_) {
    midi_dialog_ = new ui::CMidiDlg(*live_sync_, this);
    midi_dialog_->setAttribute(Qt::WA_DeleteOnClose);
  }
  midi_dialog_->show();
  midi_dialog_->raise();
  midi_dialog_->activateWindow();
}

void CMainFrame::ToggleStatusBar(bool shown) {
  // The view keeps its size (the preset's frame size): the window grows or shrinks instead.
  const QSize before = view_frame_->size();
  statusBar()->setVisible(shown);
  if (full_screen_ || isMaximized()) return;
  if (layout()) layout()->activate();
  resize(size() + (before - view_frame_->size()));
}

QScreen* CMainFrame::OutputScreen() const {
  if (QScreen* chosen = ui::ScreenById(settings_.value(ui::kOutputScreenKey).toString())) return chosen;
  return screen() ? screen() : QGuiApplication::primaryScreen();
}

void CMainFrame::MoveToScreen(QScreen* target) {
  if (!windowHandle() || !target || target == screen()) return;
  // Another X screen is another root window: the window is made anew there, which needs it
  // hidden first. Screens of one X screen only need the screen set.
  const bool other_root = screen() && !screen()->virtualSiblings().contains(target);
  if (other_root) hide();
  setScreen(target);
  if (other_root) show();
}

void CMainFrame::SetFullScreen(bool on) {
  if (on == full_screen_) return;
  full_screen_ = on;
  leave_full_screen_->setEnabled(on);
  if (on) {
    normal_geometry_ = geometry();
    status_was_shown_ = statusBar()->isVisible();
    // The picture keeps the export's aspect, so what is shown is what a video would hold.
    const int preset = view_->Glance().export_preset;
    QSize aspect = view_->size();
    if (preset >= 0 && preset < ui::kPresetCount) {
      const ui::ExportPreset& p = ui::kExportPresets[static_cast<size_t>(preset)];
      aspect = QSize(p.shown_width(), p.height);
    }
    menuBar()->hide();
    statusBar()->hide();
    view_frame_->SetLetterbox(aspect);
    QScreen* target = OutputScreen();
    normal_screen_ = screen();
    MoveToScreen(target);
    // Without a window manager nothing acts on the full-screen state, so place the window too.
    setGeometry(target->geometry());
    showFullScreen();
    setGeometry(target->geometry());
    view_->FullScreenChanged(true, target);
    view_->Say("Full screen on " + ui::ScreenLabel(target) + ": F11 or Esc returns");
  } else {
    view_frame_->SetLetterbox({});
    menuBar()->show();
    statusBar()->setVisible(status_was_shown_);
    if (normal_screen_) MoveToScreen(normal_screen_);
    showNormal();
    setGeometry(normal_geometry_);
    view_->FullScreenChanged(false, nullptr);
  }
  activateWindow();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  // A model load keeps the event loop running; the window closes once it is over.
  if (view_->loading()) {
    event->ignore();
    QTimer::singleShot(100, this, &QWidget::close);
    return;
  }
  // An export runs in the background: quitting would lose it, so ask as for unsaved work.
  if (VideoExport* e = view_->video_export(); e && e->running()) {
    if (QMessageBox::question(this, "Vantaloop", "An export is running. Stop it and quit?",
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    e->Cancel();  // the partial file goes; the view waits for the worker as it closes
  }
  if (!editing_->MayDiscard("Quit")) {
    event->ignore();
    return;
  }
  editing_->RememberLayout();
  view_->RememberPanelPlace();
  QMainWindow::closeEvent(event);
}

bool CMainFrame::event(QEvent* event) {
  // A menu item shows its prompt while highlighted; leaving it brings back the idle text rather
  // than an empty pane.
  if (event->type() == QEvent::StatusTip) {
    const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
    // Leaving the menus brings back the loop's problem, if it has one, else the idle text.
    statusBar()->showMessage(!tip.isEmpty() ? tip : !problem_.isEmpty() ? problem_ : QString::fromLatin1(kIdleText));
    return true;
  }
  return QMainWindow::event(event);
}

void CMainFrame::About() {
  QMessageBox::about(this, "About Vantaloop",
                     "Vantaloop " + QApplication::applicationVersion() +
                         "\n\nA player of keyframed, procedurally rendered video loops.");
}

void CMainFrame::OpenWebPage(const char* url) { QDesktopServices::openUrl(QUrl(QString::fromLatin1(url))); }

}  // namespace vl::desktop
