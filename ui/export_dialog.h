// The Export Video dialog: where the file goes, the format (every one vantaloop-cli export
// --format takes for the preset, the preset's own first) and a sound file. The name's extension
// and the format follow each other, so typing "title.mpg" for a DV preset chooses DVD.
#pragma once
#include <optional>
#include <vector>

#include <QDialog>
#include <QString>

#include "platform/export/loop_export.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vl::ui {

struct ExportFormatChoice {
  exporting::ExportFormat format;  // resolved for the preset: never kPresetOwn
  QString label;                   // "DV AVI NTSC (*.avi)", as the file dialog's filter too
  QString extension;               // ".avi"; "" for a PNG sequence (a folder)
  exporting::ExportSound sound;
};

// The formats `preset` can be written in, the preset's own first; empty for a preset that does
// not exist.
std::vector<ExportFormatChoice> ExportFormatChoices(int preset);

// The choice whose extension `path` has (case aside); -1 when none has it.
int ChoiceForName(const std::vector<ExportFormatChoice>& choices, const QString& path);

struct ExportVideoChoice {
  QString path;
  exporting::ExportFormat format = exporting::ExportFormat::kPresetOwn;
  QString audio_path;  // empty: none (silence where the format needs sound)
};

class ExportVideoDialog : public QDialog {
  Q_OBJECT
 public:
  // `suggested_path` is offered selected, so typing a name replaces it.
  ExportVideoDialog(int preset, const QString& suggested_path, QWidget* parent = nullptr);

  // What was chosen; once accepted, the path is absolute and has its format's extension.
  ExportVideoChoice choice() const;

  QLineEdit* path_edit() const { return path_; }
  QComboBox* format_box() const { return format_; }
  QLineEdit* sound_edit() const { return sound_; }
  QLabel* sound_note() const { return sound_note_; }

  void accept() override;

 private:
  void PathEdited(const QString& text);
  void FormatChosen(int index);
  void BrowsePath();
  void BrowseSound();
  const ExportFormatChoice& Current() const;

  int preset_;
  QString folder_;  // of the name offered: where a bare name goes
  std::vector<ExportFormatChoice> choices_;
  QLineEdit* path_ = nullptr;
  QComboBox* format_ = nullptr;
  QLineEdit* sound_ = nullptr;
  QPushButton* sound_browse_ = nullptr;
  QLabel* sound_note_ = nullptr;
};

// Shows the dialog; nullopt when it was cancelled.
std::optional<ExportVideoChoice> AskExportVideo(QWidget* parent, int preset, const QString& suggested_path);

}  // namespace vl::ui
