// One QApplication for every desktop test. With an X display the GL window tests run on it;
// without one everything runs on the offscreen platform and those tests skip.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>
#include <QSurfaceFormat>

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The library lists read the user's own loops: the tester's own must not show up in them.
  setenv("XDG_DATA_HOME", "/nonexistent/vantaloop-tests", 1);
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setVersion(2, 1);
  format.setDepthBufferSize(24);
  format.setStencilBufferSize(8);
  QSurfaceFormat::setDefaultFormat(format);
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
