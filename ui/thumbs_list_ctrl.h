// CThumbsListCtrl: a list of 96 x 96 thumbnails of every picture of one kind in a folder, with
// the file name under each; the loop library is chosen from it by picture.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include <QImage>
#include <QListWidget>

namespace vl::ui {

inline constexpr int kThumbSize = 96;

// Decodes one picture file; files that cannot be decoded give the placeholder picture.
class ThumbImageSource {
 public:
  void Load(const std::filesystem::path& path);
  bool loaded() const { return loaded_; }
  QImage Picture() const;
  // The program's own "no picture" image, 199 x 151.
  static QImage Placeholder();

 private:
  std::filesystem::path path_;
  QImage picture_;
  bool loaded_ = false;
};

class CThumbsListCtrl : public QListWidget {
  Q_OBJECT
 public:
  explicit CThumbsListCtrl(QWidget* parent = nullptr);

  std::string extension;       // without the dot; set by the owner before filling
  std::string current_folder;  // the folder of the last fill

  // Rebuilds the list from the folder's matching files. A second fill with the same folder keeps
  // the list as it is.
  void FillFromFolder(const std::string& folder);
  // The label of the first selected item in list order; empty when nothing is selected.
  std::string GetSelectedName() const;
  // The 96 x 96 picture of item i, as shown.
  const QImage& thumbnail(int i) const { return thumbnails_[static_cast<size_t>(i)]; }

  // The files of `folder` whose extension (the text after the first dot) is `extension`,
  // ignoring case, in directory-listing order. Hidden entries and folders are skipped.
  static std::vector<std::filesystem::path> CollectFiles(const std::filesystem::path& folder,
                                                         const std::string& extension);
  // Scales to 96 x 96 (aspect ratio not kept) over opaque white; 96 x 96 pictures are kept as is.
  static QImage MakeThumbnail(const QImage& picture);

 private:
  ThumbImageSource source_;
  std::vector<QImage> thumbnails_;
};

}  // namespace vl::ui
