#include "app/desktop/main_frame.h"

#include <QAction>
#include <QDesktopServices>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QUrl>

namespace vl::desktop {

namespace {
constexpr const char* kHelpPage = "https://vantaloop.example/help";
}  // namespace

CMainFrame::CMainFrame(QSettings& settings, ViewOptions options, QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Vantaloop");
  view_ = new CZentropeView(settings, options, this);
  setCentralWidget(view_);

  // The message pane, then the lock-key panes.
  statusBar()->showMessage("Vantaloop");
  for (const char* pane : {"CAP", "NUM", "SCRL"}) {
    auto* label = new QLabel(pane, statusBar());
    label->setEnabled(false);  // lock-key state is not shown
    statusBar()->addPermanentWidget(label);
  }
  view_->set_status_sink([this](const QString& text) { statusBar()->showMessage(text); });
  BuildMenus();
}

void CMainFrame::SetCommandLineFile(const std::string& path) {
  view_->desktop().command_line_file = path;
  view_->desktop().command_line_file_given = true;
}

void CMainFrame::BuildMenus() {
  CZentropeView* v = view_;
  auto add = [this](QMenu* menu, const QString& text, auto slot, QKeySequence keys = {}) {
    QAction* a = menu->addAction(text);
    if (!keys.isEmpty()) a->setShortcut(keys);
    connect(a, &QAction::triggered, this, slot);
    return a;
  };

  QMenu* file = menuBar()->addMenu("&File");
  add(file, "&Open Sequence.", [v] { v->OpenSequence(); }, QKeySequence("Ctrl+O"));
  file->addSeparator();
  file->addSeparator();
  add(file, "Save Bitmap", [v] { v->SaveBitmap(); });
  add(file, "Copy to Clipboard", [v] { v->CopyToClipboard(); });
  add(file, "E&xit", [this] { close(); });

  QMenu* view = menuBar()->addMenu("&View");
  QAction* status = view->addAction("&Status Bar");
  status->setCheckable(true);
  status->setChecked(true);
  connect(status, &QAction::toggled, statusBar(), &QStatusBar::setVisible);
  add(view, "Open Controls", [v] { v->OpenControls(); });

  QMenu* options = menuBar()->addMenu("Options");
  add(options, "Settings", [v] { v->ShowSettings(); });

  QMenu* video = menuBar()->addMenu("Export Video");
  add(video, "Export Video", [v] { v->ExportVideo(); });

  QMenu* help = menuBar()->addMenu("&Help");
  add(help, "&About Vantaloop...", [this] { About(); });
  add(help, "Online Help", [this] { OpenWebPage(kHelpPage); });

  // Keyboard-only commands. Undo, cut, copy, paste and the pane keys have no command behind them.
  auto key = [this](const char* keys, auto slot) {
    auto* a = new QAction(this);
    a->setShortcut(QKeySequence(keys));
    a->setShortcutContext(Qt::WindowShortcut);
    connect(a, &QAction::triggered, this, slot);
    addAction(a);
  };
  key("Ctrl+N", [v] { v->NewProject(); });
  key("Ctrl+S", [v] { v->SaveSequence(); });
}

void CMainFrame::About() {
  QMessageBox::about(this, "About Vantaloop",
                     "Vantaloop\n\nA player of keyframed, procedurally rendered video loops.");
}

void CMainFrame::OpenWebPage(const char* url) { QDesktopServices::openUrl(QUrl(QString::fromLatin1(url))); }

}  // namespace vl::desktop
