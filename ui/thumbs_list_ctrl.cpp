#include "ui/thumbs_list_ctrl.h"

#include <QImageReader>
#include <QPainter>

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

}  // namespace

void ThumbImageSource::Load(const fs::path& path) {
  path_ = path;
  QImageReader reader(QString::fromStdString(path.string()));
  reader.setAutoTransform(false);
  picture_ = reader.read();
  loaded_ = !picture_.isNull();
}

QImage ThumbImageSource::Picture() const { return loaded_ ? picture_ : Placeholder(); }

QImage ThumbImageSource::Placeholder() {
  static const QImage image = [] {
    QImage img(199, 151, QImage::Format_RGB32);
    img.fill(QColor(192, 192, 192));
    QPainter p(&img);
    p.setPen(QPen(QColor(128, 128, 128), 6));
    p.drawRect(3, 3, 192, 144);
    p.setPen(QPen(QColor(128, 0, 0), 10));
    p.drawLine(40, 30, 159, 120);
    p.drawLine(159, 30, 40, 120);
    return img;
  }();
  return image;
}

CThumbsListCtrl::CThumbsListCtrl(QWidget* parent) : QListWidget(parent) {
  setViewMode(QListView::IconMode);
  setIconSize(QSize(kThumbSize, kThumbSize));
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setMovement(QListView::Static);
  setResizeMode(QListView::Adjust);
  setWrapping(true);
  setSortingEnabled(false);
  setUniformItemSizes(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
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

QImage CThumbsListCtrl::MakeThumbnail(const QImage& picture) {
  QImage thumb(kThumbSize, kThumbSize, QImage::Format_RGB32);
  thumb.fill(Qt::white);
  QPainter p(&thumb);
  if (picture.width() == kThumbSize && picture.height() == kThumbSize) {
    p.drawImage(0, 0, picture);
  } else {
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRect(0, 0, kThumbSize, kThumbSize), picture);
  }
  return thumb;
}

void CThumbsListCtrl::FillFromFolder(const std::string& folder) {
  if (folder == current_folder) return;
  current_folder = folder;
  clear();
  thumbnails_.clear();
  const std::vector<fs::path> paths = CollectFiles(folder, extension);
  if (paths.empty()) return;

  setUpdatesEnabled(false);
  thumbnails_.reserve(paths.size());
  for (const fs::path& path : paths) {
    source_.Load(path);
    thumbnails_.push_back(MakeThumbnail(source_.Picture()));
    auto* item = new QListWidgetItem(QIcon(QPixmap::fromImage(thumbnails_.back())),
                                     QString::fromStdString(path.filename().string()), this);
    item->setSizeHint(QSize(kThumbSize + 24, kThumbSize + 28));
  }
  setUpdatesEnabled(true);
  setFocus();
  setCurrentRow(0);
  item(0)->setSelected(true);
}

std::string CThumbsListCtrl::GetSelectedName() const {
  for (int i = 0; i < count(); ++i)
    if (item(i)->isSelected()) return item(i)->text().toStdString();
  return {};
}

}  // namespace vl::ui
