// The key-colour outline of the splash window and its lifetime.
#include <QFontInfo>
#include <QKeyEvent>
#include <QPainterPath>
#include <QPointer>
#include <QRawFont>

#include "tests/ui/ui_fixtures.h"
#include "render/glyph_lists.h"
#include "ui/splash_screen.h"

namespace vl::ui {
namespace {

const QColor kKey(255, 0, 255);

TEST(Splash, RegionRunsAndTheRightEdge) {
  // Row 0: key, shape, shape, key, shape (right edge) -> runs [1,3) and [4,5).
  // Row 1: shape ... key at the right edge -> run [0,4).
  QImage img(5, 2, QImage::Format_RGB32);
  img.fill(Qt::white);
  img.setPixel(0, 0, kKey.rgb());
  img.setPixel(3, 0, kKey.rgb());
  img.setPixel(4, 1, kKey.rgb());
  const QRegion r = CSplashScreenEx::BuildKeyRegion(img, kKey);
  EXPECT_FALSE(r.contains(QPoint(0, 0)));
  EXPECT_TRUE(r.contains(QPoint(1, 0)));
  EXPECT_TRUE(r.contains(QPoint(2, 0)));
  EXPECT_FALSE(r.contains(QPoint(3, 0)));
  EXPECT_TRUE(r.contains(QPoint(4, 0)));  // right-most column kept when not key-coloured
  EXPECT_TRUE(r.contains(QPoint(3, 1)));
  EXPECT_FALSE(r.contains(QPoint(4, 1)));  // a key-coloured right edge is cut like any other

  QImage all_key(4, 4, QImage::Format_RGB32);
  all_key.fill(kKey);
  EXPECT_TRUE(CSplashScreenEx::BuildKeyRegion(all_key, kKey).isEmpty());
}

TEST(Splash, LoadingPictureOutlineAndNoKey) {
  const QImage bitmap = CSplashScreenEx::LoadingBitmap();
  EXPECT_EQ(bitmap.size(), QSize(343, 122));
  auto* splash = new CSplashScreenEx;
  ASSERT_TRUE(splash->CreateSplash(nullptr, "Please Wait:", 0, SPLASH_CENTER_SCREEN));
  ASSERT_TRUE(splash->LoadBackground(bitmap, 255, 0, 255));
  EXPECT_FALSE(splash->region().contains(QPoint(0, 0)));    // magenta corner cut away
  EXPECT_TRUE(splash->region().contains(QPoint(171, 60)));  // the middle kept
  splash->HideSplash();

  auto* plain = new CSplashScreenEx;
  plain->CreateSplash(nullptr, "", 0, 0);
  ASSERT_TRUE(plain->LoadBackground(bitmap, 255, -1, 255));
  EXPECT_TRUE(plain->region().isEmpty());  // rectangular window
  EXPECT_FALSE(plain->LoadBackground(QImage(), 255, 0, 255));
  plain->HideSplash();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The splash writes in "Impact", which this system lacks; Qt's own matching took the dingbats.
TEST(Splash, ImpactIsDrawnInLettersOfTheTextsStandIn) {
  auto* splash = new CSplashScreenEx;
  splash->CreateSplash(nullptr, "Please Wait:", 0, 0);
  splash->ChooseFont("Impact", 100, 0);
  const QFont font = splash->font();
  splash->HideSplash();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

  const auto faces = render::FindFontCandidates({"Impact", 400, false});
  ASSERT_FALSE(faces.empty());
  EXPECT_EQ(QFontInfo(font).family().toStdString(), faces.front().family);
  EXPECT_EQ(QFontInfo(font).styleName().toStdString(), faces.front().style);
  EXPECT_DOUBLE_EQ(font.pointSizeF(), 10.0);
  // Letters: one outline for H, an outer and an inner one for o.
  const QRawFont raw = QRawFont::fromFont(font);
  ASSERT_TRUE(raw.isValid());
  const QList<quint32> glyphs = raw.glyphIndexesForString("Ho");
  ASSERT_EQ(glyphs.size(), 2);
  EXPECT_EQ(raw.pathForGlyph(glyphs[0]).toSubpathPolygons().size(), 1);
  EXPECT_EQ(raw.pathForGlyph(glyphs[1]).toSubpathPolygons().size(), 2);
}

TEST(Splash, HideOnInputOnceAndTimeout) {
  QPointer<CSplashScreenEx> splash = new CSplashScreenEx;
  splash->CreateSplash(nullptr, "hello", 0, SPLASH_HIDE_ON_INPUT);
  splash->LoadBackground(CSplashScreenEx::LoadingBitmap(), -1, -1, -1);
  splash->ShowSplash();
  EXPECT_TRUE(splash->isVisible());
  QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
  QCoreApplication::sendEvent(splash, &press);
  EXPECT_FALSE(splash->isVisible());
  QCoreApplication::sendEvent(splash, &press);  // later input does nothing more
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(splash.isNull());  // deleted itself

  QPointer<CSplashScreenEx> timed = new CSplashScreenEx;
  timed->CreateSplash(nullptr, "", 50, 0);
  timed->LoadBackground(CSplashScreenEx::LoadingBitmap(), -1, -1, -1);
  timed->ShowSplash();
  EXPECT_TRUE(test::WaitFor([&] { return timed.isNull(); }, 3000));
}

TEST(Splash, LoadingSplashFollowsTheModelLoad) {
  LoadingSplash loading(0);
  loading.Show("Please Wait:");
  QPointer<CSplashScreenEx> splash = loading.splash();
  ASSERT_TRUE(splash);
  EXPECT_EQ(splash->text(), "Please Wait:");
  loading.Message("model/Tardis.3ds");
  EXPECT_EQ(splash->text(), "model/Tardis.3ds");
  loading.Message("Is Now Loading");
  loading.Hide();
  loading.Hide();  // twice is harmless
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(splash.isNull());
}

}  // namespace
}  // namespace vl::ui
