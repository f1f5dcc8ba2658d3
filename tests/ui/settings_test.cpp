// The five profile settings, the preset table and the Settings command.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QElapsedTimer>

#include "platform/export/loop_export.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/export_presets.h"
#include "ui/profile_file.h"
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
  EXPECT_EQ(kExportPresets[16].width, 1920);
  EXPECT_EQ(kExportPresets[16].height, 1080);
  for (const ExportPreset& p : kExportPresets) {
    const std::string text = p.text;
    const std::string size = std::to_string(p.width) + "x" + std::to_string(p.height);
    EXPECT_NE(text.find(size), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(p.fps) + " Frames/Second"), std::string::npos) << text;
    EXPECT_EQ(p.width % 2 + p.height % 2, 0) << "video encoders want even sizes: " << text;
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

// The live settings: OSC off, no tempo and no beat lock until chosen; what is applied opens
// again; a store edited by hand to nonsense opens as off, and a tempo too slow to play to is taken
// as the slowest one.
TEST_F(SettingsCommand, LiveSettingsStartOffAndAreKept) {
  RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    EXPECT_EQ(dlg.osc_port_box()->text(), "Off");
    EXPECT_EQ(dlg.tempo_box()->text(), "None");
    EXPECT_EQ(dlg.beats_box()->text(), "Not locked");
    dlg.osc_port_box()->setValue(9000);
    dlg.tempo_box()->setValue(5);
    dlg.beats_box()->setValue(8);
    dlg.accept();
    return dlg.result();
  });
  EXPECT_EQ(store->value(kOscPortKey).toInt(), 9000);
  EXPECT_EQ(store->value(kTempoKey).toDouble(), 20.0);
  EXPECT_EQ(store->value(kBeatsPerLoopKey).toInt(), 8);
  store->setValue(kOscPortKey, 700000);
  store->setValue(kTempoKey, "fast");
  store->setValue(kBeatsPerLoopKey, -3);
  RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
    EXPECT_EQ(dlg.osc_port_box()->value(), 0);
    EXPECT_EQ(dlg.tempo_box()->value(), 0.0);
    EXPECT_EQ(dlg.beats_box()->value(), 0);
    return static_cast<int>(QDialog::Rejected);
  });
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

// The dialog lists the export's own presets: each caption is the row the export writes from, and
// choosing it gives the rate the export plays the loop at.
TEST_F(SettingsCommand, TheListIsTheExportsPresetTable) {
  for (int i = 0; i < kPresetCount; ++i) {
    SCOPED_TRACE("preset " + std::to_string(i));
    const exporting::PresetFormat* written = exporting::PresetFormatOf(i);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written, &kExportPresets[static_cast<size_t>(i)]) << "two tables";
    RunSettingsCommand(scene, desktop, *store, &window, nullptr, [&](CSettingsDlg& dlg) {
      EXPECT_EQ(dlg.format_combo()->itemText(i), QString::fromLatin1(written->text));
      dlg.format_combo()->setCurrentIndex(i);
      dlg.accept();
      return dlg.result();
    });
    EXPECT_EQ(scene.export_preset, i);
    EXPECT_EQ(scene.locked_fps, written->fps);
    EXPECT_EQ(window.size(), QSize(written->window_width, written->window_height));
  }
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

TEST(Settings, AStoredPresetOutsideTheListFallsBackToPresetOneAndSaysSo) {
  auto dir = ScratchFolder("settings_preset");
  auto store = ScratchSettings(dir);
  for (int bad : {-1, 17, 99}) {
    store->setValue("Avi Export Settings/Value", bad);
    engine::SceneState scene;
    std::string note;
    ReadSettings(*store, scene, &note);
    EXPECT_EQ(scene.export_preset, 1);
    EXPECT_EQ(note, "The stored export preset " + std::to_string(bad) +
                        " is not one of 0 .. 16: using preset 1 (720 x 480 at 30 frames/s)");
  }
  store->setValue("Avi Export Settings/Value", 16);
  engine::SceneState scene;
  std::string note;
  ReadSettings(*store, scene, &note);
  EXPECT_EQ(scene.export_preset, 16);
  EXPECT_EQ(note, "");
}

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The settings file is read and written only when it is a regular file or absent.
TEST(ProfileFileTest, RegularAndAbsentFilesAreReadAndReplacedWhole) {
  auto dir = ScratchFolder("profile_regular");
  const fs::path path = dir / "conf" / "Vantaloop.conf";
  {
    ProfileFile absent(path);
    EXPECT_EQ(absent.note(), "");
    engine::SceneState scene;
    ReadSettings(absent.store(), scene);
    EXPECT_EQ(scene.export_preset, 1);
    scene.export_preset = 3;
    WriteSettings(absent.store(), scene);
    EXPECT_EQ(absent.Publish(), "");
  }
  ASSERT_TRUE(fs::is_regular_file(path));
  EXPECT_NE(Slurp(path).find("[Avi%20Export%20Settings]\nValue=3"), std::string::npos) << Slurp(path);
  struct stat before {};
  ::stat(path.c_str(), &before);
  ProfileFile again(path);
  engine::SceneState scene;
  ReadSettings(again.store(), scene);
  EXPECT_EQ(scene.export_preset, 3);
  scene.export_preset = 4;
  WriteSettings(again.store(), scene);
  EXPECT_EQ(again.Publish(), "");
  struct stat after {};
  ::stat(path.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino) << "written in place, not replaced";
  EXPECT_NE(Slurp(path).find("Value=4"), std::string::npos);
  // Nothing left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);
}

TEST(ProfileFileTest, AFifoOrFolderStartsWithDefaultsWithoutWaitingAndIsNeverWritten) {
  auto dir = ScratchFolder("profile_fifo");
  const fs::path fifo = dir / "fifo.conf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  QElapsedTimer timer;
  timer.start();
  ProfileFile profile(fifo);
  EXPECT_LT(timer.elapsed(), 1000);
  EXPECT_EQ(profile.note(), fifo.string() +
                                " is a FIFO, not a regular file: starting with the default settings, "
                                "which will not be saved there");
  engine::SceneState scene;
  ReadSettings(profile.store(), scene);
  EXPECT_EQ(scene.export_preset, 1);
  WriteSettings(profile.store(), scene);
  EXPECT_EQ(profile.Publish(), "Settings not saved: " + fifo.string() + " is a FIFO, not a regular file");
  struct stat st {};
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  const fs::path folder = dir / "folder.conf";
  fs::create_directories(folder);
  ProfileFile in_folder(folder);
  EXPECT_EQ(in_folder.note().rfind(folder.string() + " is a folder, not a regular file", 0), 0u) << in_folder.note();
  EXPECT_NE(in_folder.Publish(), "");
  EXPECT_TRUE(fs::is_directory(folder));
}

// Apply used to replace whatever a link named, a device node included.
TEST(ProfileFileTest, ALinkIsFollowedToARegularFileOnlyAndTheLinkStays) {
  auto dir = ScratchFolder("profile_link");
  const fs::path device = dir / "null-device";
  ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  const fs::path to_device = dir / "to-device.conf";
  fs::create_symlink(device, to_device);
  {
    ProfileFile profile(to_device);
    EXPECT_NE(profile.note().find("is a device, not a regular file"), std::string::npos) << profile.note();
    engine::SceneState scene;
    ReadSettings(profile.store(), scene);
    WriteSettings(profile.store(), scene);
    EXPECT_EQ(profile.Publish(), "Settings not saved: " + to_device.string() + " is a device, not a regular file");
  }
  struct stat st {};
  ASSERT_EQ(::lstat(device.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
  EXPECT_TRUE(fs::is_symlink(to_device));

  // A link (through another link) to a regular file: that file is replaced, the links stay.
  fs::create_directories(dir / "real");
  const fs::path real = dir / "real" / "profile.conf";
  test::WriteText(real, "[Resize]\nValue=0\n");
  fs::create_symlink("real/profile.conf", dir / "hop.conf");
  const fs::path link = dir / "link.conf";
  fs::create_symlink(dir / "hop.conf", link);
  ProfileFile profile(link);
  EXPECT_EQ(profile.note(), "");
  engine::SceneState scene;
  ReadSettings(profile.store(), scene);
  EXPECT_EQ(scene.resize_to_preset, 0);
  scene.export_preset = 7;
  WriteSettings(profile.store(), scene);
  EXPECT_EQ(profile.Publish(), "");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_symlink(dir / "hop.conf"));
  EXPECT_NE(Slurp(real).find("Value=7"), std::string::npos) << Slurp(real);
}

}  // namespace
}  // namespace vl::ui
