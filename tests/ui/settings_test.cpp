// The five profile settings, the preset table and the Settings command.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "tests/ui/ui_fixtures.h"
#include "ui/export_presets.h"
#include "ui/settings_dlg.h"

namespace vl::ui {
namespace {

using test::ScratchFolder;
using test::ScratchSettings;

TEST(Settings, EmptyProfileReadsAsAllOnesAndSizesTheWindowToPresetOne) {
  auto dir = ScratchFolder("settings_empty");
  auto store = ScratchSettings(dir);
  engine::SceneState scene;
  ReadSettings(*store, scene);
  EXPECT_EQ(scene.lock_frame_rate, 1);
  EXPECT_EQ(scene.random_sequence_on_startup, 1);
  EXPECT_EQ(scene.preset_loop, 1);
  EXPECT_EQ(scene.export_preset, 1);
  EXPECT_EQ(scene.resize_to_preset, 1);

  QWidget window;
  ApplyStartupWindowSize(scene, &window);
  EXPECT_EQ(window.size(), QSize(724, 621));
  EXPECT_EQ(scene.locked_fps, 30);
  EXPECT_STREQ(kExportPresets[1].text, "DV AVI NTSC 30 Frames/Second            720x480");
}

TEST(Settings, RoundTripAndGarbageValues) {
  auto dir = ScratchFolder("settings_round");
  engine::SceneState scene;
  scene.lock_frame_rate = 0;
  scene.random_sequence_on_startup = 0;
  scene.preset_loop = 0;
  scene.export_preset = 16;
  scene.resize_to_preset = 0;
  {
    auto store = ScratchSettings(dir);
    WriteSettings(*store, scene);
  }
  engine::SceneState back;
  auto store = ScratchSettings(dir);
  ReadSettings(*store, back);
  EXPECT_EQ(back.lock_frame_rate, 0);
  EXPECT_EQ(back.random_sequence_on_startup, 0);
  EXPECT_EQ(back.export_preset, 16);
  EXPECT_EQ(back.resize_to_preset, 0);
  // Each section holds one entry "Value".
  EXPECT_EQ(store->value("Avi Export Settings/Value").toInt(), 16);
  EXPECT_EQ(store->value("Lock frame rate to AVI Speed/Value").toInt(), 0);

  // A value that is not a number counts as missing.
  store->setValue("Resize/Value", "lots");
  ReadSettings(*store, back);
  EXPECT_EQ(back.resize_to_preset, 1);
}

TEST(Settings, PresetTableAndOutOfRangeIndices) {
  // The window sizes are a table of their own (row 4 is not the frame size plus a border).
  EXPECT_EQ(kExportPresets[4].window_width, 484);
  EXPECT_EQ(kExportPresets[4].window_height, 600);
  EXPECT_EQ(kExportPresets[16].frame_width, 1920);
  EXPECT_EQ(kExportPresets[16].frame_height, 1080);
  for (const ExportPreset& p : kExportPresets) {
    const std::string text = p.text;
    const std::string size = std::to_string(p.frame_width) + "x" + std::to_string(p.frame_height);
    EXPECT_NE(text.find(size), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(p.fps) + " Frames/Second"), std::string::npos) << text;
    EXPECT_EQ(p.frame_width % 2 + p.frame_height % 2, 0) << "video encoders want even sizes: " << text;
  }

  QWidget window;
  window.resize(500, 400);
  engine::SceneState scene;
  scene.locked_fps = 50;
  for (int bad : {-1, 17, 1000}) {
    EXPECT_FALSE(ApplyExportPreset(scene, &window, bad));
    EXPECT_EQ(window.size(), QSize(500, 400));
    EXPECT_EQ(scene.locked_fps, 50);
  }
  // Start-up with resize on and a stored preset of 17 keeps the frame rate from construction.
  scene.resize_to_preset = 1;
  scene.export_preset = 17;
  ApplyStartupWindowSize(scene, &window);
  EXPECT_EQ(scene.locked_fps, 50);
  // Resize off: 800 x 600 at 30.
  scene.resize_to_preset = 0;
  ApplyStartupWindowSize(scene, &window);
  EXPECT_EQ(window.size(), QSize(800, 600));
  EXPECT_EQ(scene.locked_fps, 30);
}

class SettingsCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ScratchFolder("settings_cmd");
    store = ScratchSettings(dir);
    window.resize(500, 400);
    scene.lock_frame_rate = 1;
    scene.random_sequence_on_startup = 1;
    scene.preset_loop = 1;
    scene.export_preset = 1;
    scene.resize_to_preset = 1;
    scene.locked_fps = 30;
  }
  std::filesystem::path dir;
  std::unique_ptr<QSettings> store;
  QWidget window;
  engine::SceneState scene;
  DesktopState desktop;
};

TEST_F(SettingsCommand, ApplyWritesAllFiveWithPresetLoopZeroAndResizes) {
  bool ran = RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    EXPECT_EQ(desktop.settings_dialog_busy, 1);
    EXPECT_EQ(dlg.format_combo()->currentIndex(), 1);
    EXPECT_EQ(dlg.format_combo()->count(), kPresetCount);
    dlg.format_combo()->setCurrentIndex(0);
    dlg.lock_box()->setChecked(false);
    dlg.accept();
    return dlg.result();
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(desktop.settings_dialog_busy, 0);
  EXPECT_EQ(scene.export_preset, 0);
  EXPECT_EQ(scene.lock_frame_rate, 0);
  EXPECT_EQ(scene.preset_loop, 0);
  EXPECT_EQ(window.size(), QSize(724, 717));
  EXPECT_EQ(scene.locked_fps, 25);
  EXPECT_EQ(store->value("Preset Loop/Value").toInt(), 0);
  EXPECT_EQ(store->value("Avi Export Settings/Value").toInt(), 0);
}

// The output screen is kept by an id that tells alike screens apart; a store that names the
// screen only (as older ones do) opens on that screen, not on "not connected", and is kept as
// its id once applied.
TEST_F(SettingsCommand, OutputScreenKeptByIdAndOlderNamesStillFound) {
  QScreen* screen = QGuiApplication::screens().front();
  const QString id = ScreenId(screen);
  EXPECT_TRUE(id.startsWith(screen->name() + " ")) << id.toStdString();
  EXPECT_EQ(ScreenById(id), screen);
  EXPECT_EQ(ScreenById(screen->name()), screen);
  EXPECT_EQ(ScreenById("nowhere 1x1+0+0"), nullptr);
  EXPECT_EQ(ScreenById(""), nullptr);

  store->setValue(kOutputScreenKey, screen->name());
  RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    EXPECT_EQ(dlg.screen_combo()->currentData().toString(), id);
    EXPECT_EQ(dlg.screen_combo()->count(), 1 + QGuiApplication::screens().size());  // no "not connected" entry
    EXPECT_TRUE(dlg.screen_combo()->currentText().startsWith("1: " + screen->name()));
    dlg.accept();
    return dlg.result();
  });
  EXPECT_EQ(store->value(kOutputScreenKey).toString(), id);
}

TEST_F(SettingsCommand, ApplyWithResizeOffKeepsWindowAndRate) {
  RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    dlg.format_combo()->setCurrentIndex(15);
    dlg.resize_box()->setChecked(false);
    dlg.accept();
    return dlg.result();
  });
  EXPECT_EQ(scene.export_preset, 15);
  EXPECT_EQ(scene.resize_to_preset, 0);
  EXPECT_EQ(window.size(), QSize(500, 400));
  EXPECT_EQ(scene.locked_fps, 30);
}

TEST_F(SettingsCommand, CancelWritesNothingAndASecondRequestWhileOpenIsIgnored) {
  int nested_runs = 0;
  RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    // The control panel's button while the dialog is up.
    EXPECT_FALSE(RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg&) {
      ++nested_runs;
      return int(QDialog::Accepted);
    }));
    dlg.format_combo()->setCurrentIndex(5);
    dlg.reject();
    return dlg.result();
  });
  EXPECT_EQ(nested_runs, 0);
  EXPECT_EQ(desktop.settings_dialog_busy, 0);
  EXPECT_EQ(scene.export_preset, 1);
  store->sync();
  EXPECT_TRUE(store->allKeys().isEmpty());
}

TEST_F(SettingsCommand, StoredPresetOutsideTheListSelectsNothingAndIsKept) {
  scene.export_preset = 40;
  RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    EXPECT_EQ(dlg.format_combo()->currentIndex(), -1);
    dlg.accept();
    return dlg.result();
  });
  EXPECT_EQ(scene.export_preset, 40);
  EXPECT_EQ(window.size(), QSize(500, 400));
}

}  // namespace
}  // namespace vl::ui
