// render_icon DRAWING.svg SIZE OUT.png: the icon at one of the sizes menus and file managers look
// for, drawn from the one drawing at build time so that the sizes never disagree with it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: render_icon DRAWING.svg SIZE OUT.png\n");
    return 2;
  }
  const int size = std::atoi(argv[2]);
  if (size < 1 || size > 4096) {
    std::fprintf(stderr, "render_icon: %s: not a size\n", argv[2]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
  if (!svg.isValid()) {
    std::fprintf(stderr, "render_icon: %s: cannot read the drawing\n", argv[1]);
    return 1;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
  }
  if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "render_icon: %s: cannot write the picture\n", argv[3]);
    return 1;
  }
  return 0;
}
