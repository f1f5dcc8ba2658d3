// CThumbsListCtrl: a list of 96 x 96 thumbnails of every picture of one kind in a folder, with
// the file name under each; the loop library is chosen from it by picture. Names are kept as the
// system's bytes (a name that is not UTF-8 still names its file); pictures come from the shared
// ThumbnailCache as rows come into view, so a list of any length holds no pictures of its own.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include <QAbstractListModel>
#include <QImage>
#include <QListView>

#include "ui/thumbnail_cache.h"

namespace vl::ui {

// Decodes one picture file; files that cannot be decoded give the placeholder picture.
class ThumbImageSource {
 public:
  void Load(const std::filesystem::path& path);
  bool loaded() const { return loaded_; }
  QImage Picture() const;
  // The program's own "no picture" image, 199 x 151.
  static QImage Placeholder() { return PlaceholderPicture(); }

 private:
  QImage picture_;
  bool loaded_ = false;
};

// The rows of a thumbnail list: file names in listing order, pictures asked of the cache when a
// view shows them.
class ThumbsModel : public QAbstractListModel {
  Q_OBJECT
 public:
  ThumbsModel(ThumbnailCache& cache, QObject* parent = nullptr);
  void Reset(const std::string& folder, std::vector<std::string> names);
  // Adds the pictures of a second folder after the rows there are.
  void Append(const std::string& folder, std::vector<std::string> names);
  const std::string& name(int row) const { return names_[static_cast<size_t>(row)]; }
  const std::string& folder(int row) const { return folders_[row_folders_[static_cast<size_t>(row)]]; }
  std::string PathOf(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  void Arrived(const std::string& path);

  ThumbnailCache& cache_;
  std::vector<std::string> folders_;  // the first is the one Reset was given
  std::vector<std::string> names_;    // the system's bytes
  std::vector<size_t> row_folders_;   // each row's index in folders_
  QPixmap waiting_;                   // shown until a row's picture is read
};

class CThumbsListCtrl : public QListView {
  Q_OBJECT
 public:
  explicit CThumbsListCtrl(QWidget* parent = nullptr, ThumbnailCache* cache = nullptr);

  std::string extension;       // without the dot; set by the owner before filling
  std::string current_folder;  // the folder of the last fill

  // Rebuilds the list from the folder's matching files. A second fill with the same folder keeps
  // the list as it is.
  void FillFromFolder(const std::string& folder);
  // The file name (the system's bytes) of the first selected item in list order; empty when
  // nothing is selected.
  std::string GetSelectedName() const;
  // The folder of that item; empty when nothing is selected.
  std::string GetSelectedFolder() const;
  // Adds the named pictures of another folder after the rows there are (the user's own loops
  // after the bundled ones); selects the first row when nothing was selected.
  void Append(const std::string& folder, std::vector<std::string> names);
  int count() const { return model_->rowCount(); }
  // Item i's file name as bytes, and as shown.
  const std::string& name(int i) const { return model_->name(i); }
  const std::string& folder(int i) const { return model_->folder(i); }
  QString label(int i) const;
  // Makes item i the only selected one and scrolls it into view.
  void SelectRow(int i);
  // The 96 x 96 picture of item i once it has been read (null before).
  QImage thumbnail(int i) const;
  ThumbnailCache& cache() const { return cache_; }

  // The files of `folder` whose extension (the text after the first dot) is `extension`,
  // ignoring case, in directory-listing order. Hidden entries and folders are skipped.
  static std::vector<std::filesystem::path> CollectFiles(const std::filesystem::path& folder,
                                                         const std::string& extension);
  // Scales to 96 x 96 (aspect ratio not kept) over opaque white; 96 x 96 pictures are kept as is.
  static QImage MakeThumbnail(const QImage& picture) { return ui::MakeThumbnail(picture); }

 private:
  ThumbnailCache& cache_;
  ThumbsModel* model_;
};

}  // namespace vl::ui
