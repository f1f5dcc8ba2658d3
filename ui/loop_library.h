// The loop library: the Sequences folder beside the program (Name.lqf with its thumbnail
// Name.jpg) and the user's own Sequences folder in the user data folder, the start-up scan, the
// random start-up pick, and the big loop window.
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>

#include "engine/asset_paths.h"
#include "engine/random.h"
#include "ui/desktop_state.h"

namespace vl::ui {

class CThumbsListCtrl;

inline constexpr const char* kSequencesFolder = "Sequences";

using vl::UserDataFolder;  // engine/asset_paths.h
// <user data>/Sequences: the user's own loops, listed after the bundled ones; Save starts there.
std::filesystem::path UserSequencesFolder();

// The list rows of the user's loops: "Name.jpg" for every Name.lqf of the folder (listing order,
// hidden files and folders skipped), whether or not the picture exists; a missing one shows the
// placeholder. A missing folder gives none.
std::vector<std::string> UserLoopThumbnailNames(const std::filesystem::path& folder);

// Fills sequence_names ("Nothing Selected", then every *.lqf file of the folder in listing order,
// extension compared case-sensitively) and sequence_count. A missing folder gives no entries.
void ScanSequenceFolder(DesktopState& desktop, const std::filesystem::path& sequences_folder);

// "Sunrise.jpg" -> "Sunrise.lqf": the last four characters give way to ".lqf". Names too short
// to carry an extension give nothing.
std::optional<std::string> SequenceNameForThumbnail(const std::string& thumbnail_name);

// The start-up pick: 1 + Next() % sequence_count, or 0 when the library is empty.
int PickStartupSequence(const DesktopState& desktop, Random& random);

// Loads the loop of the list's selected thumbnail ("Sequences/<name>.lqf" for the bundled
// library, the full path for the user's). False when nothing usable is selected or the load
// failed.
bool LoadLoopFromThumbnail(ViewHost& view, const CThumbsListCtrl& list);

// Fills a library list: the bundled loops, then the user's own.
void FillLibraryList(CThumbsListCtrl& list);

// The big loop window: the library's thumbnails in a large list.
class CLoopWindowDlg : public QDialog {
  Q_OBJECT
 public:
  CLoopWindowDlg(ViewHost& view, QWidget* parent = nullptr);
  CThumbsListCtrl* thumbs() const { return thumbs_; }

  void LoadSelected();     // "Load Selected Video Loop"
  void accept() override;  // "Close": the control panel comes back

 private:
  ViewHost& view_;
  CThumbsListCtrl* thumbs_;
};

}  // namespace vl::ui
