// The Export Video dialog: the formats it offers are exactly those the export engine takes for
// the preset, the name and the format follow each other, and the sound file reaches the request.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QKeyEvent>
#include <QTimer>

#include "tests/ui/ui_fixtures.h"
#include "ui/export_dialog.h"

namespace vl::ui {
namespace {

using exporting::ExportFormat;
using exporting::ExportSound;

constexpr ExportFormat kEveryFormat[] = {ExportFormat::kMp4,  ExportFormat::kAvi, ExportFormat::kMpg,
                                         ExportFormat::k3gp,  ExportFormat::kMkv, ExportFormat::kPng,
                                         ExportFormat::kWebp, ExportFormat::kGif, ExportFormat::kDvd};

// As typed on the keyboard, so the widget's edit signals fire.
void Type(QWidget* widget, const QString& text) {
  for (const QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(widget, &press);
  }
}

bool Offered(const std::vector<ExportFormatChoice>& choices, ExportFormat f) {
  for (const ExportFormatChoice& c : choices)
    if (c.format == f) return true;
  return false;
}

// What the command line's --format takes, the dialog offers, and nothing else; DVD only for the
// 720-wide DV presets, where its sound (silence unless given) is what the disc needs.
TEST(ExportDialogTest, OffersWhatTheCommandLineTakesForEveryPreset) {
  for (int preset = 0; preset < exporting::kPresetCount; ++preset) {
    SCOPED_TRACE("preset " + std::to_string(preset));
    const auto choices = ExportFormatChoices(preset);
    ASSERT_FALSE(choices.empty());
    EXPECT_EQ(choices.front().format, *exporting::ResolveFormat(preset, ExportFormat::kPresetOwn, nullptr));
    for (ExportFormat f : kEveryFormat)
      EXPECT_EQ(Offered(choices, f), exporting::ResolveFormat(preset, f, nullptr).has_value())
          << exporting::ExportFormatName(f);
    EXPECT_EQ(Offered(choices, ExportFormat::kDvd), preset <= 1);
    for (size_t i = 0; i < choices.size(); ++i) {
      EXPECT_EQ(ChoiceForName(choices, "/x/name" + choices[i].extension.toUpper()),
                choices[i].extension.isEmpty() ? -1 : static_cast<int>(i))
          << "each extension names one format";
      EXPECT_EQ(choices[i].sound, exporting::SoundOf(preset, choices[i].format));
    }
  }
  EXPECT_TRUE(ExportFormatChoices(17).empty());
  EXPECT_TRUE(ExportFormatChoices(-1).empty());
  // The sound rule the note shows: silence on DV and the discs, none in pictures.
  EXPECT_EQ(exporting::SoundOf(1, ExportFormat::kDvd), ExportSound::kSilenceUnlessGiven);
  EXPECT_EQ(exporting::SoundOf(1, ExportFormat::kAvi), ExportSound::kSilenceUnlessGiven);
  EXPECT_EQ(exporting::SoundOf(2, ExportFormat::kMpg), ExportSound::kSilenceUnlessGiven);
  EXPECT_EQ(exporting::SoundOf(6, ExportFormat::kMpg), ExportSound::kOnlyGiven);
  EXPECT_EQ(exporting::SoundOf(14, ExportFormat::k3gp), ExportSound::kOnlyGiven);
  EXPECT_EQ(exporting::SoundOf(15, ExportFormat::kMp4), ExportSound::kOnlyGiven);
  EXPECT_EQ(exporting::SoundOf(1, ExportFormat::kGif), ExportSound::kNone);
}

// Typing a name picks its format; picking a format renames; the sound field is for formats that
// carry sound, and what is in it reaches the choice.
TEST(ExportDialogTest, NameFormatAndSoundFollowEachOther) {
  const auto dir = test::ScratchFolder("export_dialog");
  test::WriteText(dir / "tone.wav", "RIFF");
  ExportVideoDialog dialog(1, QString::fromStdString((dir / "loop.avi").string()));
  ASSERT_EQ(dialog.choice().format, ExportFormat::kAvi);
  EXPECT_EQ(dialog.path_edit()->selectedText(), dialog.path_edit()->text()) << "typing replaces the name offered";
  EXPECT_EQ(dialog.sound_edit()->placeholderText(), "None: silence");

  dialog.path_edit()->selectAll();
  Type(dialog.path_edit(), QString::fromStdString((dir / "title.MPG").string()));
  EXPECT_EQ(dialog.choice().format, ExportFormat::kDvd);
  EXPECT_TRUE(dialog.path_edit()->text().endsWith("title.MPG")) << "the name stays as typed";

  dialog.format_box()->setCurrentIndex(dialog.format_box()->findText("Animated GIF (*.gif)"));
  EXPECT_TRUE(dialog.path_edit()->text().endsWith("/title.gif")) << dialog.path_edit()->text().toStdString();
  dialog.sound_edit()->setText(QString::fromStdString((dir / "tone.wav").string()));
  EXPECT_FALSE(dialog.sound_edit()->isEnabled());
  EXPECT_TRUE(dialog.choice().audio_path.isEmpty()) << "a GIF carries no sound";

  dialog.format_box()->setCurrentIndex(dialog.format_box()->findText("PNG sequence, a folder of frames (*)"));
  EXPECT_TRUE(dialog.path_edit()->text().endsWith("/title")) << dialog.path_edit()->text().toStdString();
  dialog.format_box()->setCurrentIndex(dialog.format_box()->findText("H.264 MP4 (*.mp4)"));
  EXPECT_TRUE(dialog.path_edit()->text().endsWith("/title.mp4"));
  EXPECT_TRUE(dialog.sound_edit()->isEnabled());
  EXPECT_EQ(dialog.sound_edit()->placeholderText(), "None");
  EXPECT_EQ(dialog.choice().audio_path.toStdString(), (dir / "tone.wav").string());
  std::filesystem::remove_all(dir);
}

// Export (Return) with a bare name writes it in the folder offered, with the format's extension; a sound file that is not there
// keeps the dialog open with a message instead of starting an export that fails later.
TEST(ExportDialogTest, AcceptCompletesTheNameAndRefusesAMissingSound) {
  const auto dir = test::ScratchFolder("export_dialog_accept");
  ExportVideoDialog dialog(0, QString::fromStdString((dir / "loop.avi").string()));
  dialog.format_box()->setCurrentIndex(1);
  ASSERT_EQ(dialog.choice().format, ExportFormat::kDvd);
  dialog.path_edit()->setText("disc");  // a bare name: the folder offered
  dialog.sound_edit()->setText(QString::fromStdString((dir / "missing.wav").string()));
  QString said;
  QTimer::singleShot(0, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      said = box->findChild<QLabel*>("qt_msgbox_label") ? box->findChild<QLabel*>("qt_msgbox_label")->text() : "?";
      box->close();
    }
  });
  dialog.accept();
  EXPECT_TRUE(said.contains("missing.wav: no such file")) << said.toStdString();
  EXPECT_NE(dialog.result(), QDialog::Accepted);

  // Return in the name field exports (it must not open the file browser beside it).
  dialog.sound_edit()->clear();
  dialog.show();
  dialog.path_edit()->setFocus();
  bool browser = false;
  QTimer::singleShot(300, [&] {
    if (QWidget* other = QApplication::activeModalWidget(); other && other != &dialog) browser = true, other->close();
  });
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(dialog.path_edit(), &enter);
  EXPECT_FALSE(browser);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.choice().path.toStdString(), (dir / "disc.mpg").string());
  EXPECT_TRUE(dialog.choice().audio_path.isEmpty());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vl::ui
