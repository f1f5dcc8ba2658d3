#include "ui/loop_library.h"

#include <cstdlib>

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/asset_paths.h"
#include "ui/thumbs_list_ctrl.h"

namespace vl::ui {

namespace fs = std::filesystem;

fs::path UserSequencesFolder() {
  const fs::path data = UserDataFolder();
  return data.empty() ? fs::path() : data / kSequencesFolder;
}

std::vector<std::string> UserLoopThumbnailNames(const fs::path& folder) {
  std::vector<std::string> names;
  if (folder.empty()) return names;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end && static_cast<int>(names.size()) < kMaxSequenceNames; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Only names that SequenceNameForThumbnail maps back to this very file.
    if (name.size() <= 4 || name[0] == '.' || name.compare(name.size() - 4, 4, ".lqf") != 0) continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    names.push_back(name.substr(0, name.size() - 4) + ".jpg");
  }
  return names;
}

void ScanSequenceFolder(DesktopState& desktop, const fs::path& sequences_folder) {
  desktop.sequence_count = 0;
  desktop.sequence_names.assign(1, kNothingSelected);
  std::error_code ec;
  fs::directory_iterator it(sequences_folder, ec), end;
  for (; !ec && it != end && static_cast<int>(desktop.sequence_names.size()) < kMaxSequenceNames; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.compare(dot + 1, std::string::npos, "lqf") != 0) continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    desktop.sequence_names.push_back(name);
    ++desktop.sequence_count;
  }
}

std::optional<std::string> SequenceNameForThumbnail(const std::string& thumbnail_name) {
  if (thumbnail_name.size() <= 4) return std::nullopt;
  return thumbnail_name.substr(0, thumbnail_name.size() - 4) + ".lqf";
}

int PickStartupSequence(const DesktopState& desktop, Random& random) {
  if (desktop.sequence_count <= 0) return 0;
  return random.Next() % desktop.sequence_count + 1;
}

bool LoadLoopFromThumbnail(ViewHost& view, const CThumbsListCtrl& list) {
  auto name = SequenceNameForThumbnail(list.GetSelectedName());
  if (!name) return false;
  view.scene().sequence_file_name = *name;
  const fs::path folder = list.GetSelectedFolder();
  const fs::path user = UserSequencesFolder();
  if (!user.empty() && folder.lexically_normal() == user.lexically_normal())
    return view.LoadLoop((folder / *name).string());
  return view.LoadLoop(std::string(kSequencesFolder) + "/" + *name);
}

void FillLibraryList(CThumbsListCtrl& list) {
  list.extension = "jpg";
  list.FillFromFolder((ProgramFolder() / kSequencesFolder).string());
  const fs::path user = UserSequencesFolder();
  std::vector<std::string> names = UserLoopThumbnailNames(user);
  if (!names.empty()) list.Append(user.string(), std::move(names));
}

CLoopWindowDlg::CLoopWindowDlg(ViewHost& view, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint), view_(view) {
  setWindowTitle(QString());
  resize(900, 740);
  auto* layout = new QVBoxLayout(this);
  thumbs_ = new CThumbsListCtrl(this);
  FillLibraryList(*thumbs_);
  layout->addWidget(thumbs_, 1);

  auto* row = new QHBoxLayout;
  auto* load = new QPushButton("Load Selected Video Loop", this);
  auto* close = new QPushButton("Close", this);
  load->setMinimumHeight(50);
  close->setMinimumHeight(50);
  row->addWidget(load, 6);
  row->addWidget(close, 1);
  layout->addLayout(row);
  connect(load, &QPushButton::clicked, this, &CLoopWindowDlg::LoadSelected);
  connect(close, &QPushButton::clicked, this, &CLoopWindowDlg::accept);
}

void CLoopWindowDlg::LoadSelected() {
  view_.desktop().control_panel_open = 0;
  hide();
  LoadLoopFromThumbnail(view_, *thumbs_);
  view_.ShowControlPanel();
}

void CLoopWindowDlg::accept() {
  view_.ShowControlPanel();
  QDialog::accept();
}

}  // namespace vl::ui
