// Picture decoding for textures: raster files through QImageReader, metafiles through SVG
// (libwmf, libemf2svg) rasterised by QtSvg. See picture_texture.h.
#include "assets/pictures/picture_texture.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>

#include "assets/pictures/isolated_call.h"
#include "assets/pictures/wmf_svg.h"
#include "engine/asset_paths.h"
#include "engine/byte_reader.h"

#include <emf2svg.h>

namespace vl::assets {
namespace {

constexpr uint32_t kPlaceableWmfKey = 0x9AC6CDD7;
constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"

// Fonts (metafile text drawn by QtSvg) need a QGuiApplication. The program has one; the
// command-line tool and the tests get a window-less one on first use.
void EnsureGuiApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 3;
  static char arg0[] = "vantaloop", arg1[] = "-platform", arg2[] = "offscreen";
  static char* argv[] = {arg0, arg1, arg2, nullptr};
  static QGuiApplication* app = new QGuiApplication(argc, argv);
  (void)app;
}

LoadError Error(std::string_view name, std::string message, std::optional<uint64_t> offset = {},
                std::string field = {}) {
  return LoadError{std::string(name), std::move(message), offset, std::move(field)};
}

enum class Kind { kRaster, kPlaceableWmf, kPlainWmf, kEmf };

Kind Sniff(std::span<const uint8_t> bytes) {
  ByteReader in(bytes);
  uint32_t key = 0;
  if (!in.Read(key)) return Kind::kRaster;
  if (key == kPlaceableWmfKey) return Kind::kPlaceableWmf;
  if (key == 1 && bytes.size() >= 44) {
    uint32_t signature = 0;
    std::memcpy(&signature, bytes.data() + 40, 4);
    if (signature == kEmfSignature) return Kind::kEmf;
  }
  // A plain metafile header: type 1 (memory) or 2 (disk), header size 9 words, version 1 or 3.
  uint16_t type = uint16_t(key), header_words = uint16_t(key >> 16), version = 0;
  if ((type == 1 || type == 2) && header_words == 9 && in.Read(version) && (version == 0x100 || version == 0x300))
    return Kind::kPlainWmf;
  return Kind::kRaster;
}

// A picture opened and sized, not yet drawn.
struct OpenedPicture {
  Kind kind = Kind::kRaster;
  HimetricSize natural;
  QByteArray svg;  // metafiles
};

Expected<OpenedPicture> OpenPicture(std::span<const uint8_t> bytes, std::string_view name) {
  OpenedPicture p;
  p.kind = Sniff(bytes);
  switch (p.kind) {
    case Kind::kRaster: {
      QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<qsizetype>(bytes.size()));
      QBuffer buffer(&data);
      buffer.open(QIODevice::ReadOnly);
      QImageReader reader(&buffer);
      const QSize size = reader.size();
      if (!size.isValid() || size.isEmpty())
        return Error(name, "not a picture that can be read (" + reader.errorString().toStdString() + ")");
      p.natural = {PixelsToHimetric(size.width()), PixelsToHimetric(size.height())};
      return p;
    }
    case Kind::kPlaceableWmf: {
      // Placeable header: key, handle, bounding box (left, top, right, bottom) in metafile
      // units, units per inch, reserved, checksum; the plain header follows.
      ByteReader in(bytes);
      uint32_t key;
      uint16_t handle, inch;
      int16_t left, top, right, bottom;
      if (!in.Read(key) || !in.Read(handle) || !in.Read(left) || !in.Read(top) || !in.Read(right) ||
          !in.Read(bottom) || !in.Read(inch))
        return Error(name, "file ends inside the placeable metafile header", in.offset(), "placeable header");
      if (inch == 0) return Error(name, "placeable metafile gives 0 units per inch", 14, "inch");
      const int64_t w = std::abs(int64_t(right) - left), h = std::abs(int64_t(bottom) - top);
      p.natural = {int32_t((w * 2540 + inch / 2) / inch), int32_t((h * 2540 + inch / 2) / inch)};
      break;
    }
    case Kind::kEmf: {
      // EMF header: type, size, bounds (device units), then the frame in HIMETRIC.
      ByteReader in(bytes);
      uint32_t type, header_size;
      int32_t bounds[4], frame[4];
      if (!in.Read(type) || !in.Read(header_size) || !in.Read(bounds) || !in.Read(frame))
        return Error(name, "file ends inside the EMF header", in.offset(), "header");
      p.natural = {int32_t(std::min<int64_t>(std::abs(int64_t(frame[2]) - frame[0]), INT32_MAX)),
                   int32_t(std::min<int64_t>(std::abs(int64_t(frame[3]) - frame[1]), INT32_MAX))};
      break;
    }
    case Kind::kPlainWmf:
      break;  // sized by the decoder below
  }

  if (p.kind == Kind::kPlaceableWmf || p.kind == Kind::kPlainWmf) {
    // libwmf runs in a child process: a damaged file can make it read or write out of bounds.
    // The child sends the drawing's width and height (two uint32) followed by the SVG.
    const IsolatedResult run = RunIsolated([&](std::string& out) {
      char* svg = nullptr;
      size_t svg_size = 0;
      unsigned size[2] = {0, 0};
      char why[256] = {};
      if (VlWmfToSvg(bytes.data(), bytes.size(), &svg, &svg_size, &size[0], &size[1], why, sizeof why) != 0) {
        out = why;
        return false;
      }
      out.assign(reinterpret_cast<const char*>(size), sizeof size);
      out.append(svg, svg_size);
      std::free(svg);
      return true;
    });
    if (!run.ok || run.output.size() <= 2 * sizeof(unsigned))
      return Error(name, "cannot decode the metafile: " + (run.ok ? std::string("no drawing") : run.failure));
    unsigned size[2];
    std::memcpy(size, run.output.data(), sizeof size);
    p.svg = QByteArray(run.output.data() + sizeof size, static_cast<qsizetype>(run.output.size() - sizeof size));
    if (p.kind == Kind::kPlainWmf)
      p.natural = {PixelsToHimetric(int32_t(std::min<unsigned>(size[0], 1u << 20))),
                   PixelsToHimetric(int32_t(std::min<unsigned>(size[1], 1u << 20)))};
  } else if (p.kind == Kind::kEmf) {
    // libemf2svg runs in a child process: damaged headers make it read out of bounds.
    const IsolatedResult run = RunIsolated([&](std::string& out) {
      generatorOptions options{};
      options.nameSpace = const_cast<char*>("svg");
      options.svgDelimiter = true;
      options.emfplus = true;
      char* svg = nullptr;
      size_t svg_size = 0;
      // emf2svg takes a mutable buffer; give it a copy.
      std::vector<char> copy(bytes.begin(), bytes.end());
      const int ok = emf2svg(copy.data(), copy.size(), &svg, &svg_size, &options);
      if (!ok || !svg || svg_size == 0) {
        std::free(svg);
        return false;
      }
      out.assign(svg, svg_size);
      std::free(svg);
      return true;
    });
    if (!run.ok) return Error(name, "cannot decode the enhanced metafile: " + run.failure);
    p.svg = QByteArray(run.output.data(), static_cast<qsizetype>(run.output.size()));
  }
  return p;
}

// Draws the picture stretched over width x height, over black (what shows through transparent
// parts), and stores it bottom row first as R, G, B with alpha still to be set.
Status RenderPicture(std::span<const uint8_t> bytes, std::string_view name, const OpenedPicture& picture,
                     int32_t width, int32_t height, std::vector<uint8_t>& rgba) {
  QImage image;
  if (picture.kind == Kind::kRaster) {
    QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setScaledSize(QSize(width, height));
    if (!reader.read(&image))
      return Error(name, "cannot decode the picture: " + reader.errorString().toStdString());
    if (image.width() != width || image.height() != height)
      image = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // Premultiplied colour is the colour drawn over black.
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  } else {
    EnsureGuiApplication();
    QSvgRenderer renderer(picture.svg);
    if (!renderer.isValid()) return Error(name, "the metafile's drawing could not be rendered");
    renderer.setAspectRatioMode(Qt::IgnoreAspectRatio);
    image = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) return Error(name, "no memory for a " + std::to_string(width) + " x " +
                                              std::to_string(height) + " picture");
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter, QRectF(0, 0, width, height));
  }
  if (image.isNull() || image.width() != width || image.height() != height)
    return Error(name, "cannot draw the picture at " + std::to_string(width) + " x " + std::to_string(height));

  try {
    rgba.assign(size_t(width) * size_t(height) * 4, 0);
  } catch (const std::bad_alloc&) {
    return Error(name, "no memory for a " + std::to_string(width) + " x " + std::to_string(height) + " texture");
  }
  for (int32_t y = 0; y < height; ++y) {
    const QRgb* src = reinterpret_cast<const QRgb*>(image.constScanLine(height - 1 - y));
    uint8_t* dst = rgba.data() + size_t(y) * size_t(width) * 4;
    for (int32_t x = 0; x < width; ++x) {
      dst[4 * x + 0] = uint8_t(qRed(src[x]));
      dst[4 * x + 1] = uint8_t(qGreen(src[x]));
      dst[4 * x + 2] = uint8_t(qBlue(src[x]));
    }
  }
  return std::nullopt;
}

}  // namespace

int32_t HimetricToPixels(int32_t himetric, int dpi) {
  const int64_t num = int64_t(himetric) * dpi;
  const int64_t q = (std::abs(num) + 1270) / 2540;
  return int32_t(num < 0 ? -q : q);
}

int32_t PixelsToHimetric(int32_t pixels, int dpi) {
  if (dpi <= 0) return 0;
  const int64_t num = int64_t(pixels) * 2540;
  const int64_t q = (std::abs(num) + dpi / 2) / dpi;
  return int32_t(std::min<int64_t>(num < 0 ? -q : q, INT32_MAX));
}

int32_t RoundTextureSide(int32_t d, int32_t max_texture_size) {
  if (d > max_texture_size) return max_texture_size;
  if (d < 1) return 1;
  const int exponent = int(std::floor(std::log(double(d)) / std::log(2.0) + 0.5));
  return std::min<int32_t>(int32_t(1) << exponent, max_texture_size);
}

void ApplyPictureAlpha(std::span<uint8_t> rgba, PictureLoader loader) {
  const bool keyed = loader == PictureLoader::kColourKeyed || loader == PictureLoader::kMipmapped;
  for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
    rgba[i + 3] = (keyed && rgba[i] == 0 && rgba[i + 1] == 0 && rgba[i + 2] == 0) ? 0 : 255;
  }
}

Expected<HimetricSize> ReadPictureSize(std::span<const uint8_t> bytes, std::string_view name) {
  auto opened = OpenPicture(bytes, name);
  if (!opened) return opened.error();
  return opened->natural;
}

PictureLoad DecodePictureTexture(std::span<const uint8_t> bytes, std::string_view name, PictureLoader loader,
                                 int32_t max_texture_size) {
  PictureLoad load;
  if (max_texture_size < 1) {
    load.texture = Error(name, "maximum texture size " + std::to_string(max_texture_size) + " is not usable");
    return load;
  }
  auto opened = OpenPicture(bytes, name);
  if (!opened) {
    load.texture = opened.error();
    return load;
  }
  load.natural_size = opened->natural;

  PictureTexture t;
  t.natural = opened->natural;
  t.pixel_width = HimetricToPixels(t.natural.width);
  t.pixel_height = HimetricToPixels(t.natural.height);
  if (t.pixel_width < 1 || t.pixel_height < 1) {
    load.texture = Error(name, "picture is " + std::to_string(t.pixel_width) + " x " +
                                   std::to_string(t.pixel_height) + " pixels: nothing to draw");
    return load;
  }
  t.width = RoundTextureSide(t.pixel_width, max_texture_size);
  t.height = RoundTextureSide(t.pixel_height, max_texture_size);
  t.upload = loader == PictureLoader::kMipmapped ? PictureUpload::kMipmapsRgb : PictureUpload::kSingleLevelRgba;
  if (Status s = RenderPicture(bytes, name, *opened, t.width, t.height, t.rgba)) {
    load.texture = *s;
    return load;
  }
  ApplyPictureAlpha(t.rgba, loader);
  load.texture = std::move(t);
  return load;
}

PictureLoad LoadPictureTexture(std::string_view name, PictureLoader loader, int32_t max_texture_size,
                               int32_t custom_image_mode, const std::filesystem::path& base) {
  PictureLoad load;
  if (name.find("http://") != std::string_view::npos) {
    load.texture = Error(name, "no such file (web addresses are not fetched)");
    return load;
  }
  auto path = ResolvePicturePath(name, custom_image_mode, base);
  if (!path) {
    load.texture = Error(name, custom_image_mode < kPictureNamesAsGiven && !name.empty() &&
                                       (name.front() == '/' || name.front() == '\\' ||
                                        name.find(':') != std::string_view::npos)
                                   ? "no such file under " + base.string() + " (picture names are taken relative to it)"
                                   : "no such file under " + base.string());
    return load;
  }
  auto bytes = ReadFileBytes(*path);
  if (!bytes) {
    load.texture = bytes.error();
    return load;
  }
  return DecodePictureTexture(*bytes, path->string(), loader, max_texture_size);
}

}  // namespace vl::assets
