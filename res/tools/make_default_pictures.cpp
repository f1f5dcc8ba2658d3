// Draws the default pictures the program loads at start-up and on a new project, all original
// and procedural, so the same sources always give the same files:
//   make_default_pictures OUTDIR          writes OUTDIR/Images/video-girl.jpg,
//       Images/sleeping-dog.jpg, Particles/Envroll.bmp, Textures/Gold.jpg, Particles/particle.tga
//   make_default_pictures --builtin FILE  writes the 64 x 64 built-in bitmap (res/builtin_image.bmp)
// Uses QtGui's QImage and QPainter (no window) and writes TGA and the built-in BMP by hand.
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Deterministic value noise from an integer hash (no library random generator).
uint32_t Hash(int32_t x, int32_t y, uint32_t seed) {
  uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return h ^ (h >> 16);
}

double Lattice(int32_t x, int32_t y, uint32_t seed) { return (Hash(x, y, seed) & 0xFFFF) / 65535.0; }

double Smooth(double t) { return t * t * (3 - 2 * t); }

double ValueNoise(double x, double y, uint32_t seed) {
  const int32_t xi = int32_t(std::floor(x)), yi = int32_t(std::floor(y));
  const double fx = Smooth(x - xi), fy = Smooth(y - yi);
  const double a = Lattice(xi, yi, seed), b = Lattice(xi + 1, yi, seed);
  const double c = Lattice(xi, yi + 1, seed), d = Lattice(xi + 1, yi + 1, seed);
  return (a + (b - a) * fx) + ((c + (d - c) * fx) - (a + (b - a) * fx)) * fy;
}

double Fbm(double x, double y, uint32_t seed, int octaves) {
  double sum = 0, amp = 0.5, norm = 0;
  for (int i = 0; i < octaves; ++i) {
    sum += amp * ValueNoise(x, y, seed + uint32_t(i) * 101u);
    norm += amp;
    x *= 2.03;
    y *= 2.03;
    amp *= 0.5;
  }
  return sum / norm;
}

int Clamp255(double v) { return std::clamp(int(std::lround(v)), 0, 255); }

bool Save(const QImage& image, const fs::path& path, const char* format, int quality = -1) {
  fs::create_directories(path.parent_path());
  if (!image.save(QString::fromStdString(path.string()), format, quality)) {
    std::fprintf(stderr, "make_default_pictures: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// Brushed gold: warm base, fine horizontal streaks, a few soft highlights.
QImage Gold() {
  const int n = 256;
  QImage img(n, n, QImage::Format_RGB32);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const double streak = Fbm(x / 96.0, y / 2.5, 11, 4);
      const double grain = Fbm(x / 8.0, y / 8.0, 23, 3);
      const double glow = 0.5 + 0.5 * std::sin((x + y) / 40.0 + 3 * Fbm(x / 64.0, y / 64.0, 5, 3));
      const double v = 0.55 + 0.3 * streak + 0.1 * grain + 0.25 * glow * glow;
      img.setPixel(x, y, qRgb(Clamp255(230 * v), Clamp255(180 * v), Clamp255(60 * v * v)));
    }
  return img;
}

// A sphere-mapped environment: what a mirror ball would show of a bright sky, a low sun, a
// horizon and a chequered floor, so reflective text picks up moving highlights.
QImage Envroll() {
  const int n = 256;
  QImage img(n, n, QImage::Format_RGB32);
  const double sun[3] = {0.45, 0.55, 0.70};
  const double sun_len = std::sqrt(sun[0] * sun[0] + sun[1] * sun[1] + sun[2] * sun[2]);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const double u = (x + 0.5) / n * 2 - 1, v = 1 - (y + 0.5) / n * 2;
      const double r2 = u * u + v * v;
      if (r2 > 1) {
        img.setPixel(x, y, qRgb(8, 10, 16));
        continue;
      }
      // Normal of the ball at (u, v), viewer along +z; reflected direction r = 2 n.z n - z.
      const double nz = std::sqrt(1 - r2);
      const double rx = 2 * nz * u, ry = 2 * nz * v, rz = 2 * nz * nz - 1;
      double cr, cg, cb;
      if (ry >= 0) {
        const double t = std::pow(ry, 0.6);
        cr = 150 + (40 - 150) * t;
        cg = 190 + (90 - 190) * t;
        cb = 235 + (190 - 235) * t;
        const double cloud = Fbm(rx * 3 + 7, rz * 3 + 3, 41, 5);
        const double c = std::clamp((cloud - 0.5) * 3, 0.0, 1.0) * (1 - t);
        cr += (245 - cr) * c;
        cg += (245 - cg) * c;
        cb += (250 - cb) * c;
      } else {
        const double d = -1 / std::min(ry, -0.02);
        const int check = (int(std::floor(rx * d * 1.5)) + int(std::floor(rz * d * 1.5))) & 1;
        const double fade = std::clamp(-ry * 3, 0.0, 1.0);
        const double base = check ? 70 : 120;
        cr = 150 + (base - 150) * fade;
        cg = 160 + (base * 0.9 - 160) * fade;
        cb = 170 + (base * 0.8 - 170) * fade;
      }
      const double dot = (rx * sun[0] + ry * sun[1] + rz * sun[2]) / sun_len;
      const double s = std::pow(std::max(dot, 0.0), 200) * 255 + std::pow(std::max(dot, 0.0), 12) * 60;
      img.setPixel(x, y, qRgb(Clamp255(cr + s), Clamp255(cg + s), Clamp255(cb + s * 0.9)));
    }
  return img;
}

void AddGrain(QImage& img, uint32_t seed, double amount) {
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      const double g = (Lattice(x, y, seed) - 0.5) * amount;
      img.setPixel(x, y, qRgb(Clamp255(qRed(p) + g), Clamp255(qGreen(p) + g), Clamp255(qBlue(p) + g)));
    }
}

// A figure with a camera on her shoulder against an evening city sky.
QImage VideoGirl() {
  QImage img(512, 384, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 384);
  sky.setColorAt(0, QColor(38, 30, 84));
  sky.setColorAt(0.55, QColor(214, 96, 88));
  sky.setColorAt(0.8, QColor(250, 190, 110));
  p.fillRect(img.rect(), sky);
  // Skyline.
  for (int i = 0; i < 24; ++i) {
    const int w = 14 + int(Hash(i, 1, 3) % 26), h = 40 + int(Hash(i, 2, 3) % 110);
    const int x = i * 22 - 10;
    p.fillRect(x, 384 - 70 - h, w, h + 70, QColor(30, 24, 48));
    for (int wy = 384 - 70 - h + 6; wy < 384 - 80; wy += 9)
      for (int wx = x + 3; wx < x + w - 3; wx += 6)
        if (Hash(wx, wy, 9) % 5 == 0) p.fillRect(wx, wy, 3, 4, QColor(255, 214, 130));
  }
  p.fillRect(0, 384 - 60, 512, 60, QColor(22, 18, 34));
  // The figure: hair, face, shoulders, a camera.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(52, 36, 40));
  p.drawEllipse(QPointF(250, 150), 62, 70);
  QPainterPath body;
  body.moveTo(150, 384);
  body.cubicTo(160, 280, 200, 250, 250, 248);
  body.cubicTo(300, 250, 340, 280, 350, 384);
  p.setBrush(QColor(60, 110, 150));
  p.drawPath(body);
  QRadialGradient skin(QPointF(240, 150), 60);
  skin.setColorAt(0, QColor(246, 204, 170));
  skin.setColorAt(1, QColor(200, 140, 112));
  p.setBrush(skin);
  p.drawEllipse(QPointF(250, 165), 42, 52);
  p.setBrush(QColor(52, 36, 40));
  p.drawChord(QRectF(206, 108, 88, 70), 0, 180 * 16);
  p.setBrush(QColor(40, 40, 46));
  p.drawRoundedRect(QRectF(300, 200, 110, 56), 8, 8);
  p.setBrush(QColor(20, 20, 24));
  p.drawEllipse(QPointF(410, 228), 24, 24);
  p.setBrush(QColor(90, 130, 200));
  p.drawEllipse(QPointF(410, 228), 12, 12);
  p.setBrush(QColor(230, 40, 40));
  p.drawEllipse(QPointF(318, 212), 5, 5);
  p.end();
  // Video look: faint scanlines and grain.
  for (int y = 0; y < img.height(); y += 2)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb c = img.pixel(x, y);
      img.setPixel(x, y, qRgb(qRed(c) * 7 / 8, qGreen(c) * 7 / 8, qBlue(c) * 7 / 8));
    }
  AddGrain(img, 77, 14);
  return img;
}

// A curled-up dog asleep on a rug under a lamp.
QImage SleepingDog() {
  QImage img(512, 384, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient room(QPointF(256, 120), 420);
  room.setColorAt(0, QColor(236, 206, 150));
  room.setColorAt(1, QColor(90, 62, 44));
  p.fillRect(img.rect(), room);
  // Floorboards.
  for (int i = 0; i < 12; ++i) {
    const int y = 250 + i * 12;
    p.fillRect(0, y, 512, 11, QColor(120 + int(Hash(i, 0, 5) % 20), 80, 50));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(150, 40, 48));
  p.drawEllipse(QPointF(256, 300), 200, 62);
  p.setBrush(QColor(190, 150, 70));
  p.drawEllipse(QPointF(256, 300), 170, 48);
  // The dog: body, curled tail, head resting on paws, ear, closed eye.
  const QColor fur(176, 118, 62), dark(120, 76, 40);
  p.setBrush(fur);
  p.drawEllipse(QPointF(250, 262), 120, 58);
  p.setBrush(dark);
  p.drawEllipse(QPointF(150, 270), 40, 26);
  p.setBrush(fur);
  p.drawEllipse(QPointF(330, 280), 56, 36);
  p.drawEllipse(QPointF(372, 296), 34, 18);
  p.setBrush(dark);
  p.drawEllipse(QPointF(300, 262), 22, 34);
  p.setBrush(QColor(30, 20, 16));
  p.drawEllipse(QPointF(398, 292), 8, 6);
  p.setPen(QPen(QColor(50, 30, 20), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(335, 268, 22, 12), 200 * 16, 140 * 16);
  p.end();
  // Soft fur texture.
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb c = img.pixel(x, y);
      const double f = (Fbm(x / 3.0, y / 9.0, 61, 2) - 0.5) * 18;
      img.setPixel(x, y, qRgb(Clamp255(qRed(c) + f), Clamp255(qGreen(c) + f), Clamp255(qBlue(c) + f)));
    }
  return img;
}

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

bool WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f) ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::fprintf(stderr, "make_default_pictures: cannot write %s\n", path.c_str());
  return ok;
}

// A soft round particle: warm white, alpha falling off smoothly to the rim. 32-bit uncompressed
// TGA, bottom row first, so it loads as an RGBA texture with its own alpha.
bool WriteParticle(const fs::path& path) {
  const int n = 64;
  std::vector<uint8_t> b = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Put16(b, n);
  Put16(b, n);
  b.push_back(32);
  b.push_back(8);  // 8 alpha bits, bottom-left origin
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const double dx = (x + 0.5 - n / 2.0) / (n / 2.0), dy = (y + 0.5 - n / 2.0) / (n / 2.0);
      const double r2 = std::min(dx * dx + dy * dy, 1.0);
      const double a = std::pow(1 - r2, 2.2);
      const double core = std::pow(1 - r2, 8);
      b.push_back(uint8_t(Clamp255(190 + 65 * core)));  // blue
      b.push_back(uint8_t(Clamp255(225 + 30 * core)));  // green
      b.push_back(255);                                 // red
      b.push_back(uint8_t(Clamp255(255 * a)));
    }
  return WriteFile(path, b);
}

// The built-in 64 x 64 picture: a loop of light on a deep blue field. A 24-bit bottom-up BMP.
bool WriteBuiltin(const fs::path& path) {
  const int n = 64;
  const uint32_t row = n * 3;  // already a multiple of 4
  std::vector<uint8_t> b = {'B', 'M'};
  Put32(b, 54 + row * n);
  Put32(b, 0);
  Put32(b, 54);
  Put32(b, 40);
  Put32(b, n);
  Put32(b, n);
  Put16(b, 1);
  Put16(b, 24);
  Put32(b, 0);
  Put32(b, row * n);
  Put32(b, 2835);
  Put32(b, 2835);
  Put32(b, 0);
  Put32(b, 0);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const double u = (x + 0.5) / n * 2 - 1, v = (y + 0.5) / n * 2 - 1;
      const double r = std::sqrt(u * u + v * v), ang = std::atan2(v, u);
      const double ring = std::exp(-std::pow((r - 0.62 - 0.08 * std::sin(3 * ang)) / 0.09, 2));
      const double hue = 0.5 + 0.5 * std::sin(ang);
      const double rr = 20 + 200 * ring * hue, gg = 30 + 160 * ring, bb = 90 + 60 * (1 - r) + 120 * ring * (1 - hue);
      b.push_back(uint8_t(Clamp255(bb)));
      b.push_back(uint8_t(Clamp255(gg)));
      b.push_back(uint8_t(Clamp255(rr)));
    }
  return WriteFile(path, b);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--builtin") return WriteBuiltin(argv[2]) ? 0 : 1;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_default_pictures OUTDIR | --builtin FILE\n");
    return 2;
  }
  const fs::path out = argv[1];
  bool ok = Save(VideoGirl(), out / "Images" / "video-girl.jpg", "JPEG", 88);
  ok = Save(SleepingDog(), out / "Images" / "sleeping-dog.jpg", "JPEG", 88) && ok;
  ok = Save(Envroll().convertToFormat(QImage::Format_RGB888), out / "Particles" / "Envroll.bmp", "BMP") && ok;
  ok = Save(Gold(), out / "Textures" / "Gold.jpg", "JPEG", 90) && ok;
  ok = WriteParticle(out / "Particles" / "particle.tga") && ok;
  return ok ? 0 : 1;
}
