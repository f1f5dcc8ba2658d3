// CMainFrame: the main window: the GL view in the middle, the menu bar, the keyboard commands and
// the status bar.
#pragma once
#include <QMainWindow>

#include "app/desktop/zentrope_view.h"

class QLabel;
class QSettings;

namespace vl::desktop {

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  CMainFrame(QSettings& settings, ViewOptions options, QWidget* parent = nullptr);
  CZentropeView* view() const { return view_; }
  // Hands a loop to play first, before the view starts.
  void SetCommandLineFile(const std::string& path);

 private:
  void BuildMenus();
  void About();
  void OpenWebPage(const char* url);

  CZentropeView* view_;
};

}  // namespace vl::desktop
