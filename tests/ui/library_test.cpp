// The loop library scan, the thumbnail list and its shared cache, and loading a loop by its
// picture.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "engine/random.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/loop_library.h"
#include "ui/thumbs_list_ctrl.h"

namespace vl::ui {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;
using test::WriteJpeg;
using test::WriteText;

std::vector<std::string> Labels(const CThumbsListCtrl& list) {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(list.count()));
  for (int i = 0; i < list.count(); ++i) out.push_back(list.name(i));
  return out;
}

TEST(LoopLibrary, ScanTakesOnlyLowerCaseLqfFilesAfterNothingSelected) {
  auto dir = ScratchFolder("scan");
  WriteText(dir / "Sunrise.lqf", "x");
  WriteJpeg(dir / "Sunrise.jpg", 8, 8, Qt::red);
  WriteText(dir / "Notes.txt", "x");
  WriteText(dir / "SUNRISE.LQF", "x");
  fs::create_directories(dir / "Old.lqf");  // a folder, not a loop
  DesktopState desktop;
  ScanSequenceFolder(desktop, dir);
  EXPECT_EQ(desktop.sequence_names, (std::vector<std::string>{"Nothing Selected", "Sunrise.lqf"}));
  EXPECT_EQ(desktop.sequence_count, 1);

  // A second scan starts over rather than appending.
  ScanSequenceFolder(desktop, dir);
  EXPECT_EQ(desktop.sequence_count, 1);
  EXPECT_EQ(desktop.sequence_names.size(), 2u);

  ScanSequenceFolder(desktop, dir / "missing");
  EXPECT_EQ(desktop.sequence_names, (std::vector<std::string>{"Nothing Selected"}));
  EXPECT_EQ(desktop.sequence_count, 0);
}

TEST(LoopLibrary, ScanStopsAtTheListSize) {
  auto dir = ScratchFolder("scan_many");
  for (int i = 0; i < kMaxSequenceNames + 5; ++i) WriteText(dir / ("L" + std::to_string(i) + ".lqf"), "");
  DesktopState desktop;
  ScanSequenceFolder(desktop, dir);
  EXPECT_EQ(desktop.sequence_count, kMaxSequenceNames - 1);
  EXPECT_EQ(static_cast<int>(desktop.sequence_names.size()), kMaxSequenceNames);
}

TEST(LoopLibrary, ThumbnailNamesAndTheStartupPick) {
  EXPECT_EQ(SequenceNameForThumbnail("Clouds.jpg"), "Clouds.lqf");
  EXPECT_EQ(SequenceNameForThumbnail("SUNRISE.JPG"), "SUNRISE.lqf");
  EXPECT_EQ(SequenceNameForThumbnail(".jpg"), std::nullopt);
  EXPECT_EQ(SequenceNameForThumbnail(""), std::nullopt);

  DesktopState one;
  one.sequence_names = {kNothingSelected, "Only.lqf"};
  one.sequence_count = 1;
  Random random;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(PickStartupSequence(one, random), 1);

  DesktopState three;
  three.sequence_count = 3;
  random.Seed(7);
  bool seen[4] = {};
  for (int i = 0; i < 200; ++i) {
    const int pick = PickStartupSequence(three, random);
    ASSERT_GE(pick, 1);
    ASSERT_LE(pick, 3);
    seen[pick] = true;
  }
  EXPECT_TRUE(seen[1] && seen[2] && seen[3]);
  EXPECT_EQ(PickStartupSequence(DesktopState{}, random), 0);
}

TEST(ThumbsList, FillsMatchingFilesOnlyAndSelectsTheFirst) {
  auto dir = ScratchFolder("thumbs");
  WriteJpeg(dir / "Sunrise.jpg", 40, 30, Qt::red);
  WriteJpeg(dir / "beach.JPG", 40, 30, Qt::blue);
  WriteJpeg(dir / "Sun.day.jpg", 40, 30, Qt::green);  // extension "day.jpg"
  WriteText(dir / "notes.txt", "x");
  WriteText(dir / ".hidden.jpg", "x");
  fs::create_directories(dir / "Old.jpg");

  auto expected = CThumbsListCtrl::CollectFiles(dir, "jpg");
  ASSERT_EQ(expected.size(), 2u);
  CThumbsListCtrl list;
  list.extension = "jpg";
  list.FillFromFolder(dir.string());
  std::vector<std::string> names;
  names.reserve(expected.size());
  for (const auto& p : expected) names.push_back(p.filename().string());
  EXPECT_EQ(Labels(list), names);  // listing order, not sorted
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Sunrise.jpg", "beach.JPG"}));
  EXPECT_EQ(list.GetSelectedName(), Labels(list)[0]);

  // A second fill from the same folder keeps the first result.
  WriteJpeg(dir / "Later.jpg", 8, 8, Qt::white);
  list.FillFromFolder(dir.string());
  EXPECT_EQ(list.count(), 2);

  // Nothing selected gives an empty name.
  list.clearSelection();
  EXPECT_EQ(list.GetSelectedName(), "");

  CThumbsListCtrl empty;
  empty.extension = "jpg";
  empty.FillFromFolder((dir / "nowhere").string());
  EXPECT_EQ(empty.count(), 0);
  EXPECT_EQ(empty.GetSelectedName(), "");
}

TEST(ThumbsList, PicturesAreSqueezedKeptOrReplacedByThePlaceholder) {
  auto dir = ScratchFolder("thumb_pixels");
  // 96 x 96 is kept pixel for pixel: a PNG with a pattern JPEG would blur.
  QImage exact(96, 96, QImage::Format_RGB32);
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 96; ++x) exact.setPixel(x, y, qRgb(x * 2, y * 2, (x ^ y) & 0xFF));
  ASSERT_TRUE(exact.save(QString::fromStdString((dir / "a_exact.png").string())));
  // 320 x 240, left half red, right half blue: squeezed, the split stays in the middle.
  QImage wide(320, 240, QImage::Format_RGB32);
  wide.fill(Qt::red);
  for (int y = 0; y < 240; ++y)
    for (int x = 160; x < 320; ++x) wide.setPixel(x, y, qRgb(0, 0, 255));
  ASSERT_TRUE(wide.save(QString::fromStdString((dir / "b_wide.png").string())));
  WriteText(dir / "c_damaged.png", "\x89PNG\r\n\x1a\n garbage");

  CThumbsListCtrl list;
  list.extension = "png";
  list.FillFromFolder(dir.string());
  ASSERT_EQ(list.count(), 3);
  for (int i = 0; i < list.count(); ++i) {
    QImage t;
    ASSERT_TRUE(test::WaitFor([&] { return !(t = list.thumbnail(i)).isNull(); }, 5000));
    EXPECT_EQ(t.size(), QSize(96, 96));
    const std::string name = list.name(i);
    if (name == "a_exact.png") {
      for (int y = 0; y < 96; y += 5)
        for (int x = 0; x < 96; x += 5) ASSERT_EQ(t.pixel(x, y) & 0xFFFFFF, exact.pixel(x, y) & 0xFFFFFF);
    } else if (name == "b_wide.png") {
      EXPECT_EQ(qRed(t.pixel(10, 48)), 255);
      EXPECT_EQ(qBlue(t.pixel(85, 48)), 255);
      EXPECT_EQ(qRed(t.pixel(85, 48)), 0);
    } else {
      EXPECT_EQ(name, "c_damaged.png");  // listed with its own name
      const QImage placeholder = CThumbsListCtrl::MakeThumbnail(ThumbImageSource::Placeholder());
      EXPECT_EQ(t, placeholder);
    }
  }
}

TEST(LoopLibrary, LoadFromThumbnailAsksForTheLqfBesideIt) {
  auto dir = ScratchFolder("load_thumb");
  WriteJpeg(dir / "Clouds.jpg", 8, 8, Qt::white);
  test::FakeView view;
  CThumbsListCtrl list;
  list.extension = "jpg";
  EXPECT_FALSE(LoadLoopFromThumbnail(view, list));  // nothing to select
  EXPECT_TRUE(view.loads.empty());
  list.FillFromFolder(dir.string());
  EXPECT_TRUE(LoadLoopFromThumbnail(view, list));
  EXPECT_EQ(view.loads, (std::vector<std::string>{"Sequences/Clouds.lqf"}));
  EXPECT_EQ(view.scene_.sequence_file_name, "Clouds.lqf");
}

// A FIFO named like a thumbnail must not hold up the interface: before, filling the list opened it
// on the interface thread and waited for a writer. A watchdog plays the writer after a while, so
// a regression fails on the time taken instead of hanging the run.
TEST(ThumbsList, AFifoNamedLikeAPictureNeverHoldsUpTheList) {
  auto dir = ScratchFolder("thumb_fifo");
  WriteJpeg(dir / "a_real.jpg", 40, 30, Qt::red);
  ASSERT_EQ(::mkfifo((dir / "b_stuck.jpg").c_str(), 0644), 0);
  std::atomic<bool> done = false;
  std::thread watchdog([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    while (!done && std::chrono::steady_clock::now() < until) {
      const int fd = ::open((dir / "b_stuck.jpg").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);  // a reader is waiting on it: let it go
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  QElapsedTimer timer;
  timer.start();
  ThumbnailCache cache;
  {
    CThumbsListCtrl list(nullptr, &cache);
    list.extension = "jpg";
    list.resize(400, 300);
    list.show();
    list.FillFromFolder(dir.string());
    QCoreApplication::processEvents();
    EXPECT_LT(timer.elapsed(), 1000) << "the interface waited on the FIFO";
    ASSERT_EQ(list.count(), 2);
    // Both pictures are read, off this thread: the FIFO gives the placeholder.
    const QImage placeholder = CThumbsListCtrl::MakeThumbnail(ThumbImageSource::Placeholder());
    for (int i = 0; i < 2; ++i) {
      QImage t;
      ASSERT_TRUE(test::WaitFor([&] { return !(t = list.thumbnail(i)).isNull(); }, 5000)) << list.name(i);
      EXPECT_EQ(t == placeholder, list.name(i) == "b_stuck.jpg") << list.name(i);
    }
    EXPECT_LT(timer.elapsed(), 2500);
  }
  done = true;
  watchdog.join();

  // The reader says why, and a device is refused the same way.
  std::string why;
  DecodeThumbnail((dir / "b_stuck.jpg").string(), nullptr, &why);
  EXPECT_EQ(why, "not a regular file (a FIFO)");
  ASSERT_EQ(::mknod((dir / "zero.jpg").c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
  DecodeThumbnail((dir / "zero.jpg").string(), nullptr, &why);
  EXPECT_EQ(why, "not a regular file (a device)");
}

// One cache behind every list: a picture is decoded once however many lists show it, only the
// rows a list shows are read, and the cache keeps at most its capacity.
TEST(ThumbsList, ListsShareOneBoundedCacheAndReadOnlyWhatTheyShow) {
  auto dir = ScratchFolder("thumb_shared");
  for (int i = 0; i < 400; ++i)
    WriteJpeg(dir / ("L" + std::to_string(1000 + i) + ".jpg"), 16, 12, QColor(i % 256, 0, 0));
  ThumbnailCache cache(60);
  CThumbsListCtrl panel(nullptr, &cache);
  panel.extension = "jpg";
  panel.resize(460, 170);  // the control panel's list: two rows or so
  panel.show();
  panel.FillFromFolder(dir.string());
  ASSERT_EQ(panel.count(), 400);
  ASSERT_TRUE(test::WaitFor([&] { return cache.decoded() > 0; }, 5000));
  test::WaitFor([] { return false; }, 500);
  cache.Drain();
  const size_t after_panel = cache.decoded();
  EXPECT_LT(after_panel, 40u) << "rows out of sight were read";

  // A second list of the same folder shows what is decoded without reading it again.
  CThumbsListCtrl big(nullptr, &cache);
  big.extension = "jpg";
  big.resize(460, 170);
  big.show();
  big.FillFromFolder(dir.string());
  test::WaitFor([] { return false; }, 500);
  cache.Drain();
  EXPECT_FALSE(big.thumbnail(0).isNull());
  EXPECT_EQ(cache.decoded(), after_panel);

  // Scrolling through everything reads every row once, and the cache stays within its bound.
  for (int i = 0; i < big.count(); i += 3) {  // a row at a time
    big.scrollTo(big.model()->index(i, 0));
    QCoreApplication::processEvents();
    cache.Drain();
    ASSERT_LE(cache.size(), cache.capacity());
  }
  EXPECT_LE(cache.size(), 60u);
  EXPECT_GE(cache.decoded(), 350u);

  // The folder is listed once for both lists, and again once it changes.
  WriteJpeg(dir / "Later.jpg", 8, 8, Qt::white);
  CThumbsListCtrl third(nullptr, &cache);
  third.extension = "jpg";
  third.FillFromFolder(dir.string());
  EXPECT_EQ(third.count(), 401);
}

// Names are the system's bytes: a name that is not UTF-8, or holds a backslash, still shows its
// picture and asks for its own loop.
TEST(ThumbsList, NamesThatAreNotUtf8OrHoldABackslashKeepTheirBytes) {
  auto dir = ScratchFolder("thumb_bytes");
  const std::string latin = "Caf\xe9";  // Latin-1, not UTF-8
  const std::string slash = "back\\slash";
  WriteJpeg(dir / (latin + ".jpg"), 40, 30, Qt::blue);
  WriteJpeg(dir / (slash + ".jpg"), 40, 30, Qt::blue);
  test::FakeView view;
  CThumbsListCtrl list;
  list.extension = "jpg";
  list.FillFromFolder(dir.string());
  ASSERT_EQ(list.count(), 2);
  const QImage placeholder = CThumbsListCtrl::MakeThumbnail(ThumbImageSource::Placeholder());
  for (int i = 0; i < 2; ++i) {
    QImage t;
    ASSERT_TRUE(test::WaitFor([&] { return !(t = list.thumbnail(i)).isNull(); }, 5000));
    EXPECT_NE(t, placeholder) << list.name(i);
    EXPECT_GT(qBlue(t.pixel(48, 48)), 200);
    list.selectionModel()->select(list.model()->index(i, 0), QItemSelectionModel::ClearAndSelect);
    ASSERT_TRUE(LoadLoopFromThumbnail(view, list));
  }
  std::vector<std::string> loads = view.loads;
  std::sort(loads.begin(), loads.end());
  EXPECT_EQ(loads, (std::vector<std::string>{"Sequences/" + latin + ".lqf", "Sequences/" + slash + ".lqf"}));
}

}  // namespace
}  // namespace vl::ui
