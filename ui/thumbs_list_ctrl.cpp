#include "ui/thumbs_list_ctrl.h"

#include <QFile>

namespace vl::ui {

namespace fs = std::filesystem;

namespace {

bool IEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

const QSize kItemSize(kThumbSize + 24, kThumbSize + 28);

}  // namespace

void ThumbImageSource::Load(const fs::path& path) {
  std::string why;
  picture_ = DecodeThumbnail(path.string(), nullptr, &why);
  loaded_ = why.empty();
}

QImage ThumbImageSource::Picture() const { return loaded_ ? picture_ : MakeThumbnail(Placeholder()); }

ThumbsModel::ThumbsModel(ThumbnailCache& cache, QObject* parent) : QAbstractListModel(parent), cache_(cache) {
  QImage blank(kThumbSize, kThumbSize, QImage::Format_RGB32);
  blank.fill(Qt::white);
  waiting_ = QPixmap::fromImage(blank);
  connect(&cache_, &ThumbnailCache::Ready, this, &ThumbsModel::Arrived);
}

void ThumbsModel::Reset(const std::string& folder, std::vector<std::string> names) {
  beginResetModel();
  folders_.assign(1, folder);
  row_folders_.assign(names.size(), 0);
  names_ = std::move(names);
  endResetModel();
}

void ThumbsModel::Append(const std::string& folder, std::vector<std::string> names) {
  if (names.empty()) return;
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(names.size()) - 1);
  folders_.push_back(folder);
  row_folders_.insert(row_folders_.end(), names.size(), folders_.size() - 1);
  names_.insert(names_.end(), std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
  endInsertRows();
}

std::string ThumbsModel::PathOf(int row) const { return (fs::path(folder(row)) / name(row)).string(); }

int ThumbsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(names_.size());
}

QVariant ThumbsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      // Shown as the system would; the bytes stay in names_.
      return QFile::decodeName(QByteArray::fromStdString(name(index.row())));
    case Qt::DecorationRole: {
      // Asked only for rows being painted: this is what reads the pictures in view.
      auto pixmap = cache_.Find(PathOf(index.row()));
      return pixmap ? *pixmap : waiting_;
    }
    case Qt::SizeHintRole: return kItemSize;
    default: return {};
  }
}

void ThumbsModel::Arrived(const std::string& path) {
  const fs::path p(path);
  const std::string file = p.filename().string();
  // Pictures arrive a screenful at a time; a look over the names costs little next to a repaint.
  for (size_t i = 0; i < names_.size(); ++i)
    // As PathOf makes them ("dir/" and "dir" are one folder).
    if (names_[i] == file && p.parent_path() == (fs::path(folders_[row_folders_[i]]) / "x").parent_path()) {
      const QModelIndex at = index(static_cast<int>(i));
      emit dataChanged(at, at, {Qt::DecorationRole});
      return;
    }
}

CThumbsListCtrl::CThumbsListCtrl(QWidget* parent, ThumbnailCache* cache)
    : QListView(parent), cache_(cache ? *cache : ThumbnailCache::Shared()) {
  model_ = new ThumbsModel(cache_, this);
  setModel(model_);
  setViewMode(QListView::IconMode);
  setIconSize(QSize(kThumbSize, kThumbSize));
  setGridSize(kItemSize);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setMovement(QListView::Static);
  setResizeMode(QListView::Adjust);
  setWrapping(true);
  setUniformItemSizes(true);
  setLayoutMode(QListView::Batched);
  setBatchSize(2000);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
}

std::vector<fs::path> CThumbsListCtrl::CollectFiles(const fs::path& folder, const std::string& extension) {
  std::vector<fs::path> paths;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  // A listing error part way keeps what was collected so far.
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    // The extension starts after the first dot, so "Sun.day.jpg" has the extension "day.jpg".
    const size_t dot = name.find('.');
    if (dot == std::string::npos) continue;
    if (IEquals(name.substr(dot + 1), extension)) paths.push_back(folder / name);
  }
  return paths;
}

void CThumbsListCtrl::FillFromFolder(const std::string& folder) {
  if (folder == current_folder) return;
  current_folder = folder;
  std::vector<std::string> names = cache_.ListFolder(folder, extension, [&] {
    std::vector<std::string> found;
    for (const fs::path& path : CollectFiles(folder, extension)) found.push_back(path.filename().string());
    return found;
  });
  // Pictures read for an earlier list may have changed since: each is looked at again when shown.
  cache_.Revalidate();
  model_->Reset(folder, std::move(names));
  if (count() == 0) return;
  setFocus();
  setCurrentIndex(model_->index(0));
  selectionModel()->select(model_->index(0), QItemSelectionModel::ClearAndSelect);
}

std::string CThumbsListCtrl::GetSelectedName() const {
  int first = -1;
  for (const QModelIndex& i : selectionModel()->selectedIndexes())
    if (first < 0 || i.row() < first) first = i.row();
  return first < 0 ? std::string() : name(first);
}

std::string CThumbsListCtrl::GetSelectedFolder() const {
  int first = -1;
  for (const QModelIndex& i : selectionModel()->selectedIndexes())
    if (first < 0 || i.row() < first) first = i.row();
  return first < 0 ? std::string() : folder(first);
}

void CThumbsListCtrl::Append(const std::string& folder, std::vector<std::string> names) {
  const bool was_empty = count() == 0;
  model_->Append(folder, std::move(names));
  if (!was_empty || count() == 0) return;
  setCurrentIndex(model_->index(0));
  selectionModel()->select(model_->index(0), QItemSelectionModel::ClearAndSelect);
}

void CThumbsListCtrl::SelectRow(int i) {
  const QModelIndex row = model_->index(i);
  setCurrentIndex(row);
  selectionModel()->select(row, QItemSelectionModel::ClearAndSelect);
  scrollTo(row);
}

QString CThumbsListCtrl::label(int i) const { return model_->data(model_->index(i), Qt::DisplayRole).toString(); }

QImage CThumbsListCtrl::thumbnail(int i) const {
  auto pixmap = cache_.Find(model_->PathOf(i));
  return pixmap ? pixmap->toImage().convertToFormat(QImage::Format_RGB32) : QImage();
}

}  // namespace vl::ui
