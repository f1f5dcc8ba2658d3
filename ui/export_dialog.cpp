#include "ui/export_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace vl::ui {

using exporting::ExportFormat;
using exporting::ExportSound;

namespace {

QString FormatLabel(const exporting::PresetFormat& preset, ExportFormat format, ExportFormat own) {
  if (format == own) return QString("%1 (*%2)").arg(preset.name, preset.extension);
  switch (format) {
    case ExportFormat::kDvd: return "DVD-Video program stream (*.mpg)";
    case ExportFormat::kMp4: return "H.264 MP4 (*.mp4)";
    case ExportFormat::kMkv: return "Lossless FFV1 Matroska (*.mkv)";
    case ExportFormat::kWebp: return "Animated WebP (*.webp)";
    case ExportFormat::kGif: return "Animated GIF (*.gif)";
    case ExportFormat::kPng: return "PNG sequence, a folder of frames (*)";
    default:
      return QString("%1 (*%2)").arg(exporting::ExportFormatName(format), exporting::ExportFormatExtension(format));
  }
}

// `path` without an extension one of the choices writes, so another's can take its place.
QString WithoutKnownExtension(const std::vector<ExportFormatChoice>& choices, const QString& path) {
  const int known = ChoiceForName(choices, path);
  if (known < 0) return path;
  return path.left(path.size() - choices[static_cast<size_t>(known)].extension.size());
}

}  // namespace

std::vector<ExportFormatChoice> ExportFormatChoices(int preset) {
  std::vector<ExportFormatChoice> choices;
  const exporting::PresetFormat* p = exporting::PresetFormatOf(preset);
  if (!p) return choices;
  const auto own = exporting::ResolveFormat(preset, ExportFormat::kPresetOwn, nullptr);
  if (!own) return choices;
  // The preset's own first; the disc format beside it, then what any preset can be written as.
  std::vector<ExportFormat> order = {*own};
  for (ExportFormat f :
       {ExportFormat::kDvd, ExportFormat::kMp4, ExportFormat::kAvi, ExportFormat::kMpg, ExportFormat::k3gp,
        ExportFormat::kMkv, ExportFormat::kWebp, ExportFormat::kGif, ExportFormat::kPng})
    if (f != *own && exporting::ResolveFormat(preset, f, nullptr)) order.push_back(f);
  for (ExportFormat f : order)
    choices.push_back(
        {f, FormatLabel(*p, f, *own), exporting::ExportFormatExtension(f), exporting::SoundOf(preset, f)});
  return choices;
}

int ChoiceForName(const std::vector<ExportFormatChoice>& choices, const QString& path) {
  const QString suffix = QFileInfo(path).suffix();
  if (suffix.isEmpty()) return -1;
  for (size_t i = 0; i < choices.size(); ++i)
    if (!choices[i].extension.isEmpty() && choices[i].extension.mid(1).compare(suffix, Qt::CaseInsensitive) == 0)
      return static_cast<int>(i);
  return -1;
}

ExportVideoDialog::ExportVideoDialog(int preset, const QString& suggested_path, QWidget* parent)
    : QDialog(parent),
      preset_(preset),
      folder_(QFileInfo(suggested_path).absolutePath()),
      choices_(ExportFormatChoices(preset)) {
  setWindowTitle("Export Video");
  path_ = new QLineEdit(suggested_path);
  auto* browse = new QPushButton("&Browse...");
  // Return in a field exports; only a click or Alt+B browses.
  browse->setAutoDefault(false);
  auto* path_row = new QHBoxLayout;
  path_row->addWidget(path_, 1);
  path_row->addWidget(browse);

  format_ = new QComboBox;
  for (const ExportFormatChoice& c : choices_) format_->addItem(c.label);
  if (const int named = ChoiceForName(choices_, suggested_path); named >= 0) format_->setCurrentIndex(named);

  sound_ = new QLineEdit;
  sound_browse_ = new QPushButton("C&hoose...");
  sound_browse_->setAutoDefault(false);
  auto* sound_row = new QHBoxLayout;
  sound_row->addWidget(sound_, 1);
  sound_row->addWidget(sound_browse_);
  sound_note_ = new QLabel;
  sound_note_->setWordWrap(true);

  auto* form = new QFormLayout;
  form->addRow("&File:", path_row);
  form->addRow("F&ormat:", format_);
  form->addRow("&Sound:", sound_row);
  form->addRow(QString(), sound_note_);
  qobject_cast<QLabel*>(form->labelForField(path_row))->setBuddy(path_);
  qobject_cast<QLabel*>(form->labelForField(sound_row))->setBuddy(sound_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel);
  QPushButton* go = buttons->addButton("&Export", QDialogButtonBox::AcceptRole);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  setMinimumWidth(520);
  go->setDefault(true);  // once in the dialog, where a default button counts

  connect(path_, &QLineEdit::textEdited, this, &ExportVideoDialog::PathEdited);
  connect(format_, &QComboBox::currentIndexChanged, this, &ExportVideoDialog::FormatChosen);
  connect(browse, &QPushButton::clicked, this, &ExportVideoDialog::BrowsePath);
  connect(sound_browse_, &QPushButton::clicked, this, &ExportVideoDialog::BrowseSound);
  connect(buttons, &QDialogButtonBox::accepted, this, &ExportVideoDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ExportVideoDialog::reject);

  FormatChosen(format_->currentIndex());
  // Typed characters replace the name offered, as in a file dialog.
  path_->setFocus();
  path_->selectAll();
}

const ExportFormatChoice& ExportVideoDialog::Current() const {
  return choices_.at(static_cast<size_t>(std::max(0, format_->currentIndex())));
}

void ExportVideoDialog::PathEdited(const QString& text) {
  const int named = ChoiceForName(choices_, text);
  if (named < 0 || named == format_->currentIndex()) return;
  // The format follows the name; the name is left as typed.
  const QSignalBlocker quiet(format_);
  format_->setCurrentIndex(named);
  FormatChosen(named);
}

void ExportVideoDialog::FormatChosen(int index) {
  if (choices_.empty() || index < 0) return;
  const ExportFormatChoice& c = choices_[static_cast<size_t>(index)];
  // Chosen from the list: the name takes the format's extension (a PNG folder, none).
  if (!format_->signalsBlocked()) {
    const QString path = path_->text().trimmed();
    if (!path.isEmpty() && ChoiceForName(choices_, path) != index)
      path_->setText(WithoutKnownExtension(choices_, path) + c.extension);
  }
  const bool takes_sound = c.sound != ExportSound::kNone;
  sound_->setEnabled(takes_sound);
  sound_browse_->setEnabled(takes_sound);
  if (!takes_sound) {
    sound_->setPlaceholderText("No sound");
    sound_note_->setText("This format carries no sound.");
  } else if (c.sound == ExportSound::kSilenceUnlessGiven) {
    sound_->setPlaceholderText("None: silence");
    sound_note_->setText(
        "Looped or cut to the video's length. Without a sound file this format carries silence, "
        "which its players and authoring tools expect.");
  } else {
    sound_->setPlaceholderText("None");
    sound_note_->setText("Looped or cut to the video's length. Without a sound file there is no sound.");
  }
}

void ExportVideoDialog::BrowsePath() {
  if (choices_.empty()) return;
  QStringList filters;
  for (const ExportFormatChoice& c : choices_) filters << c.label;
  QString selected = Current().label;
  QString path = QFileDialog::getSaveFileName(this, "Export Video File", path_->text(), filters.join(";;"), &selected);
  if (path.isEmpty()) return;
  int index = static_cast<int>(filters.indexOf(selected));
  // The extension picks the format; a name without one takes the chosen filter's, and a PNG
  // sequence's folder may have any name.
  const bool png = index >= 0 && choices_[static_cast<size_t>(index)].format == ExportFormat::kPng;
  if (const int named = ChoiceForName(choices_, path); named >= 0 && !png) index = named;
  path_->setText(path);
  if (index >= 0) format_->setCurrentIndex(index);
}

void ExportVideoDialog::BrowseSound() {
  const QString start = sound_->text().isEmpty() ? QFileInfo(path_->text()).absolutePath() : sound_->text();
  const QString path = QFileDialog::getOpenFileName(
      this, "Sound File", start,
      "Sound (*.wav *.flac *.ogg *.oga *.opus *.mp3 *.mp2 *.m4a *.aac *.ac3);;All files (*)");
  if (!path.isEmpty()) sound_->setText(path);
}

ExportVideoChoice ExportVideoDialog::choice() const {
  ExportVideoChoice c;
  if (choices_.empty()) return c;
  c.path = path_->text().trimmed();
  c.format = Current().format;
  if (Current().sound != ExportSound::kNone && !sound_->text().trimmed().isEmpty())
    c.audio_path = QFileInfo(sound_->text().trimmed()).absoluteFilePath();
  return c;
}

void ExportVideoDialog::accept() {
  if (choices_.empty()) return reject();
  QString path = path_->text().trimmed();
  if (path.isEmpty()) {
    QMessageBox::warning(this, "Export Video", "Name the file to write.");
    return;
  }
  // A bare name goes in the folder offered, as a file dialog would put it.
  if (path == "~" || path.startsWith("~/")) path = QDir::homePath() + path.mid(1);
  if (QFileInfo(path).isRelative()) path = QDir(folder_).absoluteFilePath(path);
  // A name without an extension takes the format's.
  if (QFileInfo(path).suffix().isEmpty()) path += Current().extension;
  path_->setText(path);
  if (!exporting::CheckOutputName(path.toStdString(), preset_, Current().format, nullptr)) {
    QMessageBox::warning(this, "Export Video",
                         QString("%1: a %2 file must end in %3; choose another format or name.")
                             .arg(QFileInfo(path).fileName(), format_->currentText(), Current().extension));
    return;
  }
  const QString sound = choice().audio_path;
  if (!sound.isEmpty() && !QFileInfo(sound).isFile()) {
    QMessageBox::warning(this, "Export Video",
                         sound + (QFileInfo::exists(sound) ? ": is not a regular file" : ": no such file"));
    return;
  }
  QDialog::accept();
}

std::optional<ExportVideoChoice> AskExportVideo(QWidget* parent, int preset, const QString& suggested_path) {
  ExportVideoDialog dialog(preset, suggested_path, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.choice();
}

}  // namespace vl::ui
