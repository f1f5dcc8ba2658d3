// Shared pieces of the desktop tests: a scratch folder, a settings file of its own, and a view
// stand-in that records what the panels ask of it.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>
#include <QSettings>

#include "engine/scene_state.h"
#include "ui/desktop_state.h"

namespace vl::test {

inline std::filesystem::path ScratchFolder(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() / ("vl_ui_" + name + "_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Written by its name's bytes, which need not be UTF-8.
inline void WriteJpeg(const std::filesystem::path& path, int w, int h, QColor colour) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(img.save(&buffer, "JPG", 100));
  std::ofstream(path, std::ios::binary).write(bytes.constData(), bytes.size());
}

inline std::unique_ptr<QSettings> ScratchSettings(const std::filesystem::path& folder) {
  return std::make_unique<QSettings>(QString::fromStdString((folder / "settings.ini").string()), QSettings::IniFormat);
}

// Runs the event loop until `done` holds or `ms` pass.
template <class Pred>
bool WaitFor(Pred done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(1);
  }
  return true;
}

class FakeView : public ui::ViewHost {
 public:
  engine::SceneState& scene() override { return scene_; }
  void ChangeScene(std::function<void(engine::SceneState&)> change) override { change(scene_); }
  ui::DesktopState& desktop() override { return desktop_; }
  bool LoadLoop(const std::string& path) override {
    loads.push_back(path);
    return true;
  }
  void SeekToFrame(int frame) override {
    seeks.push_back(frame);
    scene_.current_frame = frame;
  }
  void ShowSettings() override { ++settings_requests; }
  void ExportVideo() override { ++export_requests; }
  void ShowControlPanel() override {
    desktop_.control_panel_open = 2;
    ++panel_shows;
  }
  void HideControlPanel() override { desktop_.control_panel_open = 0; }

  engine::SceneState scene_;
  ui::DesktopState desktop_;
  std::vector<std::string> loads;
  std::vector<int> seeks;
  int settings_requests = 0, export_requests = 0, panel_shows = 0;
};

}  // namespace vl::test
