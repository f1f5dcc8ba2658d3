#include "ui/export_presets.h"

#include <QSettings>
#include <QWidget>

namespace vl::ui {

const std::array<ExportPreset, kPresetCount> kExportPresets = {{
    {"DV AVI PAL    25 Frames/Second            720x576", 724, 717, 25, 720, 576},
    {"DV AVI NTSC 30 Frames/Second            720x480", 724, 621, 30, 720, 480},
    {"VCD PAL        25 Frames/Second            352x288               ", 358, 429, 25, 352, 288},
    {"VCD NTSC     30 Frames/Second            352x240", 358, 381, 30, 352, 240},
    {"SVCD PAL      25 Frames/Second            480x576", 484, 600, 25, 480, 576},
    {"SVCD NTSC   30 Frames/Second            480x480 ", 484, 621, 30, 480, 480},
    {"SVCD NTSC   30 Frames/Second            800x600", 804, 741, 30, 800, 600},
    {"SVCD NTSC   30 Frames/Second            352x152", 356, 291, 30, 352, 152},
    {"SVCD NTSC   30 Frames/Second            700x200", 704, 341, 30, 700, 200},
    {"SVCD NTSC   30 Frames/Second            552x400", 556, 541, 30, 552, 400},
    {"SVCD NTSC   30 Frames/Second            500x72", 504, 211, 30, 500, 72},
    {"SVCD NTSC   30 Frames/Second            780x48", 784, 187, 30, 780, 48},
    {"SVCD NTSC   30 Frames/Second            352x100", 356, 241, 30, 352, 100},
    {"SVCD NTSC   30 Frames/Second            176x28", 180, 186, 30, 176, 28},
    {"3GP                30 Frames/Second            176x144", 180, 304, 30, 176, 144},
    {"H D Video       30 Frames/Second            1280x720", 1284, 880, 30, 1280, 720},
    {"H D Video       25 Frames/Second            1920x1080", 1924, 1240, 25, 1920, 1080},
}};

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

void ReadSettings(QSettings& store, engine::SceneState& scene) {
  scene.lock_frame_rate = ReadValue(store, kLockSection);
  scene.random_sequence_on_startup = ReadValue(store, kRandomSection);
  scene.preset_loop = ReadValue(store, kPresetLoopSection);
  scene.export_preset = ReadValue(store, kExportSection);
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

bool ApplyExportPreset(engine::SceneState& scene, QWidget* main_window, int index) {
  if (index < 0 || index >= kPresetCount) return false;
  const ExportPreset& p = kExportPresets[static_cast<size_t>(index)];
  if (main_window) main_window->resize(p.window_width, p.window_height);
  scene.locked_fps = p.fps;
  return true;
}

void ApplyStartupWindowSize(engine::SceneState& scene, QWidget* main_window) {
  if (scene.resize_to_preset != 0) {
    ApplyExportPreset(scene, main_window, scene.export_preset);
    return;
  }
  if (main_window) main_window->resize(800, 600);
  scene.locked_fps = 30;
}

}  // namespace vl::ui
