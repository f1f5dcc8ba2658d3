#include "ui/export_presets.h"

#include <QLayout>
#include <QMainWindow>
#include <QScreen>
#include <QSettings>
#include <QWidget>
#include <QtMath>

#include <algorithm>

namespace vl::ui {

namespace {

int ReadValue(QSettings& store, const char* section) {
  bool ok = false;
  const int v = store.value(QString::fromLatin1(section) + "/Value", 1).toInt(&ok);
  return ok ? v : 1;
}

void WriteValue(QSettings& store, const char* section, int value) {
  store.setValue(QString::fromLatin1(section) + "/Value", value);
}

}  // namespace

void ReadSettings(QSettings& store, engine::SceneState& scene, std::string* note) {
  scene.lock_frame_rate = ReadValue(store, kLockSection);
  scene.random_sequence_on_startup = ReadValue(store, kRandomSection);
  scene.preset_loop = ReadValue(store, kPresetLoopSection);
  scene.export_preset = ReadValue(store, kExportSection);
  if (scene.export_preset < 0 || scene.export_preset >= kPresetCount) {
    // Left as it is, the window would keep whatever size it had and nothing would say why.
    constexpr int kDefault = 1;
    const ExportPreset& p = kExportPresets[kDefault];
    if (note)
      *note = "The stored export preset " + std::to_string(scene.export_preset) + " is not one of 0 .. " +
              std::to_string(kPresetCount - 1) + ": using preset " + std::to_string(kDefault) + " (" +
              std::to_string(p.width) + " x " + std::to_string(p.height) + " at " + std::to_string(p.fps) +
              " frames/s)";
    scene.export_preset = kDefault;
  }
  scene.resize_to_preset = ReadValue(store, kResizeSection);
}

void WriteSettings(QSettings& store, const engine::SceneState& scene) {
  WriteValue(store, kLockSection, scene.lock_frame_rate);
  WriteValue(store, kRandomSection, scene.random_sequence_on_startup);
  WriteValue(store, kPresetLoopSection, scene.preset_loop);
  WriteValue(store, kExportSection, scene.export_preset);
  WriteValue(store, kResizeSection, scene.resize_to_preset);
  store.sync();
}

QSize SizeViewTo(QMainWindow& window, QSize frame, std::string* note) {
  QWidget* view = window.centralWidget();
  if (window.layout()) window.layout()->activate();
  const QSize around = window.size() - view->size();  // menu bar, status bar
  const qreal ratio = view->devicePixelRatioF() > 0 ? view->devicePixelRatioF() : 1.0;
  // Logical pixels that give the frame's device pixels.
  QSize wanted(qCeil(frame.width() / ratio - 1e-6), qCeil(frame.height() / ratio - 1e-6));
  QSize room = wanted;
  if (const QScreen* screen = window.screen()) {
    const QSize decoration = window.frameGeometry().size() - window.geometry().size();
    room = screen->availableGeometry().size() - decoration - around;
  }
  if (wanted.width() > room.width() || wanted.height() > room.height()) {
    const double scale = std::min(static_cast<double>(room.width()) / wanted.width(),
                                  static_cast<double>(room.height()) / wanted.height());
    wanted = QSize(std::max(16, static_cast<int>(wanted.width() * scale)),
                   std::max(16, static_cast<int>(wanted.height() * scale)));
    if (note) {
      const QSize shown(qRound(wanted.width() * ratio), qRound(wanted.height() * ratio));
      *note = "The " + std::to_string(frame.width()) + " x " + std::to_string(frame.height()) +
              " frame is larger than the screen: shown at " + std::to_string(shown.width()) + " x " +
              std::to_string(shown.height()) + ", the export keeps the full size";
    }
  }
  window.resize(wanted + around);
  if (window.layout()) window.layout()->activate();
  return view->size();
}

bool ApplyExportPreset(engine::SceneState& scene, QWidget* main_window, int index, std::string* note) {
  if (index < 0 || index >= kPresetCount) return false;
  const ExportPreset& p = kExportPresets[static_cast<size_t>(index)];
  // A main window with a view sizes the view itself to the frame, whatever its frame, menu and
  // status bar take; anything else gets the table's window size.
  auto* window = qobject_cast<QMainWindow*>(main_window);
  if (window && window->centralWidget())
    SizeViewTo(*window, QSize(p.shown_width(), p.height), note);  // the shape the file is shown at
  else if (main_window) main_window->resize(p.window_width, p.window_height);
  scene.locked_fps = p.fps;
  return true;
}

void ApplyStartupWindowSize(engine::SceneState& scene, QWidget* main_window, std::string* note) {
  if (scene.resize_to_preset != 0) {
    ApplyExportPreset(scene, main_window, scene.export_preset, note);
    return;
  }
  if (main_window) main_window->resize(800, 600);
  scene.locked_fps = 30;
}

}  // namespace vl::ui
