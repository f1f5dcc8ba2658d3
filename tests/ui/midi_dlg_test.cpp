// Options > MIDI with a MIDI system in memory: learning through the dialog, mappings kept in the
// profile by device name and used again when the device comes back, a damaged profile, and a
// machine without MIDI.
#include "ui/midi_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include "tests/platform/midi/fake_inputs.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/live_sync.h"

namespace vl::ui {
namespace {

using midi::testing::FakeInputs;

// The fake stays the test's own while LiveSync holds it.
struct Borrowed : midi::MidiInputs {
  explicit Borrowed(FakeInputs& f) : fake(f) {}
  std::string Problem() const override { return fake.Problem(); }
  std::vector<std::string> Ports() override { return fake.Ports(); }
  std::unique_ptr<midi::MidiPort> Open(const std::string& port, Receiver r, std::string* error) override {
    return fake.Open(port, std::move(r), error);
  }
  FakeInputs& fake;
};

class MidiDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = test::ScratchFolder("midi");
    store = test::ScratchSettings(folder);
  }
  std::unique_ptr<LiveSync> Start() {
    auto sync = std::make_unique<LiveSync>(*store, std::make_unique<Borrowed>(fake));
    sync->set_message_sink([this](const live::LiveMessage& m) { received.push_back(m); });
    return sync;
  }
  static void Choose(CMidiDlg& dlg, const QString& device) {
    const int at = dlg.input_combo()->findData(device);
    ASSERT_GE(at, 0) << device.toStdString();
    dlg.input_combo()->setCurrentIndex(at);
    emit dlg.input_combo()->activated(at);
  }

  std::filesystem::path folder;
  std::unique_ptr<QSettings> store;
  FakeInputs fake;
  std::vector<live::LiveMessage> received;
};

TEST_F(MidiDialog, LearnedMappingsAreKeptByDeviceNameAndUsedWhenTheDeviceComesBack) {
  fake.ports = {"Pad:Pad MIDI 1 24:0"};
  {
    auto sync = Start();
    CMidiDlg dlg(*sync);
    Choose(dlg, "Pad:Pad MIDI 1");
    EXPECT_TRUE(fake.IsOpen());
    dlg.kind_combo()->setCurrentIndex(1);
    dlg.track_combo()->setCurrentText("background_r");
    dlg.low_spin()->setValue(0);
    dlg.high_spin()->setValue(255);
    dlg.learn_button()->click();
    EXPECT_TRUE(sync->remote().learning());
    fake.Send({0xB0, 7, 40});
    ASSERT_TRUE(test::WaitFor([&] { return !dlg.learn_button()->isChecked(); }, 2000));
    ASSERT_EQ(dlg.table()->rowCount(), 1);
    EXPECT_EQ(dlg.table()->item(0, 0)->text(), "CC 7, channel 1");
    EXPECT_EQ(dlg.table()->item(0, 1)->text(), "Track background_r 0..255");
    EXPECT_TRUE(received.empty());  // the learning move itself changes nothing

    fake.Send({0xB0, 7, 127});
    ASSERT_TRUE(test::WaitFor([&] { return !received.empty(); }, 2000));
    EXPECT_EQ(received[0].address, "/vantaloop/track");
    EXPECT_EQ(std::get<std::string>(received[0].args[0]), "background_r");
    EXPECT_FLOAT_EQ(std::get<float>(received[0].args[1]), 255.0f);
  }
  EXPECT_FALSE(fake.IsOpen());  // closed with the program

  // The next start: the device is elsewhere, then plugged in with other numbers.
  store->sync();
  store = test::ScratchSettings(folder);
  fake.ports.clear();
  received.clear();
  auto sync = Start();
  EXPECT_EQ(sync->remote().device(), "Pad:Pad MIDI 1");
  EXPECT_FALSE(sync->remote().connected());
  {
    CMidiDlg dlg(*sync);
    EXPECT_EQ(dlg.input_combo()->currentText(), "Pad:Pad MIDI 1 (not connected)");
    EXPECT_EQ(dlg.table()->rowCount(), 1);  // its mappings are shown all the same
  }
  fake.ports = {"Other 20:0", "Pad:Pad MIDI 1 32:0"};
  ASSERT_TRUE(test::WaitFor([&] { return sync->remote().connected(); }, 3000));
  EXPECT_EQ(fake.open_name(), "Pad:Pad MIDI 1 32:0");
  fake.Send({0xB0, 7, 0});
  ASSERT_TRUE(test::WaitFor([&] { return !received.empty(); }, 2000));
  EXPECT_FLOAT_EQ(std::get<float>(received[0].args[1]), 0.0f);
}

TEST_F(MidiDialog, ADamagedProfileLosesOnlyTheLinesThatCannotBeRead) {
  store->beginWriteArray(kMidiMappingsKey);
  store->setArrayIndex(0);
  store->setValue("Device", "Pad");
  store->setValue("Mappings", QStringList{"note 10 36 command load 2", "cc 99 7 command play",
                                          "cc 1 7 track \x1b]0;owned\x07 0 1", "garbage"});
  store->endArray();
  store->setValue(kMidiInputKey, "Pad");
  fake.ports = {"Pad 20:0"};
  auto sync = Start();
  ASSERT_EQ(sync->problems().size(), 1);
  EXPECT_EQ(sync->problems()[0].toStdString(),
            "3 MIDI mapping(s) in the settings could not be read and were left out.");
  ASSERT_EQ(sync->remote().Mappings("Pad").size(), 1u);
  fake.Send({0x99, 36, 1});
  ASSERT_TRUE(test::WaitFor([&] { return !received.empty(); }, 2000));
  EXPECT_EQ(received[0].address, "/vantaloop/load");
}

TEST_F(MidiDialog, RemoveAndAWholeNumberSettingGetsWholeNumbers) {
  fake.ports = {"Pad 20:0"};
  auto sync = Start();
  sync->SetMidiDevice("Pad");
  sync->SetMappings("Pad", {{{midi::ControlKind::kNote, 0, 1}, {}}, {{midi::ControlKind::kNote, 0, 2}, {}}});
  CMidiDlg dlg(*sync);
  ASSERT_EQ(dlg.table()->rowCount(), 2);
  dlg.table()->selectRow(0);
  dlg.remove_button()->click();
  ASSERT_EQ(dlg.table()->rowCount(), 1);
  EXPECT_EQ(dlg.table()->item(0, 0)->text(), "Note 2, channel 1");
  // Kept in the profile at once.
  store->beginReadArray(kMidiMappingsKey);
  store->setArrayIndex(0);
  EXPECT_EQ(store->value("Mappings").toStringList(), QStringList{"note 1 2 command play"});
  store->endArray();

  // The player refuses a fraction for a whole-number setting: the mapping rounds.
  EXPECT_EQ(dlg.setting_combo()->findText("text_string"), -1);  // text is not set by a knob
  dlg.kind_combo()->setCurrentIndex(2);
  dlg.setting_combo()->setCurrentText("particle_count");
  dlg.low_spin()->setValue(0);
  dlg.high_spin()->setValue(1000);
  dlg.learn_button()->click();
  fake.Send({0xB0, 9, 0});
  ASSERT_TRUE(test::WaitFor([&] { return !dlg.learn_button()->isChecked(); }, 2000));
  fake.Send({0xB0, 9, 64});
  ASSERT_TRUE(test::WaitFor([&] { return !received.empty(); }, 2000));
  EXPECT_EQ(received[0].address, "/vantaloop/set");
  EXPECT_EQ(std::get<int32_t>(received[0].args[1]), 504);  // 64 / 127 of 1000, rounded
}

TEST_F(MidiDialog, WithoutAMidiSystemTheDialogSaysSo) {
  fake.problem = "No MIDI system: this machine has no ALSA sequencer (/dev/snd/seq)";
  auto sync = Start();
  CMidiDlg dlg(*sync);
  EXPECT_EQ(dlg.state_label()->text().toStdString(), fake.problem);
  EXPECT_FALSE(dlg.input_combo()->isEnabled());
  EXPECT_FALSE(dlg.clock_box()->isEnabled());
}

}  // namespace
}  // namespace vl::ui
