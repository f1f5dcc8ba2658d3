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

#include <sys/mman.h>

#include <cerrno>

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

// A picture opened and sized, not yet drawn. Metafiles are only looked at here: their header
// gives the size of placeable WMFs and EMFs; plain WMFs are sized by their decoder.
struct OpenedPicture {
  Kind kind = Kind::kRaster;
  HimetricSize natural;
};

Expected<OpenedPicture> OpenPicture(std::span<const uint8_t> bytes, std::string_view name) {
  OpenedPicture p;
  p.kind = Sniff(bytes);
  switch (p.kind) {
    case Kind::kRaster: {
      QByteArray data =
          QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
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
      if (!in.Read(key) || !in.Read(handle) || !in.Read(left) || !in.Read(top) || !in.Read(right) || !in.Read(bottom) ||
          !in.Read(inch))
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
    case Kind::kPlainWmf: break;  // sized by the decoder
  }
  return p;
}

// The texture size of a picture of this natural size, or nothing when it converts to no pixels.
struct TextureSize {
  int32_t pixel_width = 0, pixel_height = 0;  // at kPictureDpi, before rounding
  int32_t width = 0, height = 0;
};
TextureSize SizeTexture(HimetricSize natural, int32_t max_side) {
  TextureSize t;
  t.pixel_width = HimetricToPixels(natural.width);
  t.pixel_height = HimetricToPixels(natural.height);
  if (t.pixel_width >= 1 && t.pixel_height >= 1) {
    t.width = RoundTextureSide(t.pixel_width, max_side);
    t.height = RoundTextureSide(t.pixel_height, max_side);
  }
  return t;
}

// What the metafile child shares with the loader: a small header, then the drawing.
struct MetafileShare {
  int32_t decoded = 0;  // 1 once the decoder made a drawing of the file
  HimetricSize natural;
  int32_t width = 0, height = 0;  // what was drawn
  // kMaxMetafileSide^2 ARGB32 premultiplied pixels follow, top row first.
};
// What a metafile's decoding and drawing may map beyond the drawing itself.
constexpr size_t kMetafileMemoryBudget = size_t{512} << 20;
constexpr size_t kMetafileShareBytes = sizeof(MetafileShare) + size_t{kMaxMetafileSide} * size_t{kMaxMetafileSide} * 4;

// Pages shared with the child; untouched pages cost nothing.
class SharedPages {
 public:
  explicit SharedPages(size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
  }
  ~SharedPages() {
    if (data_) ::munmap(data_, size_);
  }
  SharedPages(const SharedPages&) = delete;
  SharedPages& operator=(const SharedPages&) = delete;
  uint8_t* data() const { return data_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Turns a metafile into SVG (in the child). Fails with a reason in `why`.
bool MetafileToSvg(std::span<const uint8_t> bytes, Kind kind, QByteArray& svg, HimetricSize& natural,
                   std::string& why) {
  if (kind == Kind::kEmf) {
    generatorOptions options{};
    options.nameSpace = const_cast<char*>("svg");
    options.svgDelimiter = true;
    options.emfplus = true;
    char* out = nullptr;
    size_t out_size = 0;
    // emf2svg takes a mutable buffer; give it a copy.
    std::vector<char> copy(bytes.begin(), bytes.end());
    const int ok = emf2svg(copy.data(), copy.size(), &out, &out_size, &options);
    if (!ok || !out || out_size == 0) {
      std::free(out);
      why = "the enhanced metafile could not be decoded";
      return false;
    }
    svg = QByteArray(out, static_cast<qsizetype>(out_size));
    std::free(out);
    return true;
  }
  char* out = nullptr;
  size_t out_size = 0;
  unsigned size[2] = {0, 0};
  char reason[256] = {};
  if (VlWmfToSvg(bytes.data(), bytes.size(), &out, &out_size, &size[0], &size[1], reason, sizeof reason) != 0) {
    why = reason;
    return false;
  }
  svg = QByteArray(out, static_cast<qsizetype>(out_size));
  std::free(out);
  if (kind == Kind::kPlainWmf)
    natural = {PixelsToHimetric(int32_t(std::min<unsigned>(size[0], 1u << 20))),
               PixelsToHimetric(int32_t(std::min<unsigned>(size[1], 1u << 20)))};
  return true;
}

// Decodes a metafile and, unless only its size is wanted, draws it at its texture size. All of it
// runs in one child process under one time limit: the decoders trust their input (a damaged file
// can make them read or write out of bounds), and a small file can describe a drawing that takes
// minutes. The child draws straight into pages shared with this process.
struct MetafileRun {
  std::optional<HimetricSize> natural;  // set when the file decoded
  Status failure;
};
MetafileRun RunMetafile(std::span<const uint8_t> bytes, std::string_view name, const OpenedPicture& picture,
                        int32_t max_side, std::vector<uint8_t>* rgba, int time_ms = kMetafileTimeoutMs) {
  MetafileRun result;
  time_ms = std::min(time_ms, kMetafileTimeoutMs);
  if (time_ms <= 0) {
    result.failure = Error(name, "not drawn: the time for drawing metafiles (" +
                                     std::to_string(kMetafileTimeoutMs / 1000) + " s a loop) is spent");
    return result;
  }
  SharedPages shared(kMetafileShareBytes);
  if (!shared.data()) {
    result.failure = Error(name, std::string("cannot set up the metafile decoder: ") + std::strerror(errno));
    return result;
  }
  auto* share = new (shared.data()) MetafileShare;
  uint8_t* pixels = shared.data() + sizeof(MetafileShare);
  EnsureGuiApplication();  // made here, once, and inherited by every child

  const IsolatedResult run = RunIsolated(
      [&](std::string& out) {
        QByteArray svg;
        HimetricSize natural = picture.natural;
        if (!MetafileToSvg(bytes, picture.kind, svg, natural, out)) return false;
        share->natural = natural;
        share->decoded = 1;
        if (!rgba) return true;
        const TextureSize size = SizeTexture(natural, max_side);
        if (size.width < 1) return true;  // nothing to draw; the loader says so
        QSvgRenderer renderer(svg);
        if (!renderer.isValid()) {
          out = "the metafile's drawing could not be rendered";
          return false;
        }
        renderer.setAspectRatioMode(Qt::IgnoreAspectRatio);
        QImage image(pixels, size.width, size.height, size.width * 4, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter, QRectF(0, 0, size.width, size.height));
        painter.end();
        share->width = size.width;
        share->height = size.height;
        return true;
      },
      time_ms, /*max_output=*/4096, kMetafileMemoryBudget);

  if (share->decoded) result.natural = share->natural;
  if (!run.ok) {
    result.failure = Error(name, "cannot decode and draw the metafile: " + run.failure);
    return result;
  }
  if (!rgba || !result.natural) return result;
  const TextureSize size = SizeTexture(*result.natural, max_side);
  if (size.width < 1) return result;
  if (share->width != size.width || share->height != size.height) {
    result.failure = Error(name, "the metafile decoder did not draw the picture");
    return result;
  }
  // Bottom row first, colour over black (premultiplied colour is just that).
  try {
    rgba->assign(size_t(size.width) * size_t(size.height) * 4, 0);
  } catch (const std::bad_alloc&) {
    result.failure =
        Error(name, "no memory for a " + std::to_string(size.width) + " x " + std::to_string(size.height) + " texture");
    return result;
  }
  for (int32_t y = 0; y < size.height; ++y) {
    const QRgb* src = reinterpret_cast<const QRgb*>(pixels + size_t(size.height - 1 - y) * size_t(size.width) * 4);
    uint8_t* dst = rgba->data() + size_t(y) * size_t(size.width) * 4;
    for (int32_t x = 0; x < size.width; ++x) {
      dst[4 * x + 0] = uint8_t(qRed(src[x]));
      dst[4 * x + 1] = uint8_t(qGreen(src[x]));
      dst[4 * x + 2] = uint8_t(qBlue(src[x]));
    }
  }
  return result;
}

// Decodes a raster picture stretched over width x height and stores it bottom row first as
// R, G, B over black, with alpha still to be set. At most the picture and the texture are held
// at once.
Status RenderRaster(std::span<const uint8_t> bytes, std::string_view name, int32_t width, int32_t height,
                    std::vector<uint8_t>& rgba) {
  QImage image;
  {
    QByteArray data =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setScaledSize(QSize(width, height));
    // Qt refuses pictures over 128 MB decoded, an 8k photo among them. Allowed instead: twice the
    // texture, since a decoder that cannot scale while it reads decodes the natural size first,
    // and rounding to the texture size shrinks a side by less than a factor of 1.42 (unless GL's
    // limit clamps it: such pictures are refused, as the texture size itself is bounded).
    const uint64_t texture_bytes = uint64_t(width) * uint64_t(height) * 4;
    reader.setAllocationLimit(int(std::max<uint64_t>(128, (2 * texture_bytes + (uint64_t{1} << 20) - 1) >> 20)));
    if (!reader.read(&image)) return Error(name, "cannot decode the picture: " + reader.errorString().toStdString());
  }
  if (image.width() != width || image.height() != height)
    image = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  // Premultiplied colour is the colour drawn over black; converted in place where Qt can.
  image.convertTo(QImage::Format_ARGB32_Premultiplied);
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
  if (opened->kind == Kind::kRaster) return opened->natural;
  MetafileRun run = RunMetafile(bytes, name, *opened, kMaxMetafileSide, nullptr);
  if (run.failure) return *run.failure;
  return *run.natural;
}

PictureLoad DecodePictureTexture(std::span<const uint8_t> bytes, std::string_view name, PictureLoader loader,
                                 int32_t max_texture_size, int metafile_time_ms) {
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

  PictureTexture t;
  t.upload = loader == PictureLoader::kMipmapped ? PictureUpload::kMipmapsRgb : PictureUpload::kSingleLevelRgba;
  const bool raster = opened->kind == Kind::kRaster;
  // A vector picture holds no detail that a texture larger than kMaxMetafileSide could show.
  const int32_t max_side = raster ? max_texture_size : std::min(max_texture_size, kMaxMetafileSide);
  MetafileRun metafile;
  if (raster) {
    load.natural_size = opened->natural;
  } else {
    // Decoded, sized and drawn in one go; the size is known once the file decoded.
    metafile = RunMetafile(bytes, name, *opened, max_side, &t.rgba, metafile_time_ms);
    load.natural_size = metafile.natural;
    if (metafile.failure) {
      load.texture = *metafile.failure;
      return load;
    }
  }
  t.natural = *load.natural_size;
  const TextureSize size = SizeTexture(t.natural, max_side);
  t.pixel_width = size.pixel_width;
  t.pixel_height = size.pixel_height;
  if (size.width < 1) {
    load.texture = Error(name, "picture is " + std::to_string(t.pixel_width) + " x " + std::to_string(t.pixel_height) +
                                   " pixels: nothing to draw");
    return load;
  }
  t.width = size.width;
  t.height = size.height;
  if (raster) {
    if (Status s = RenderRaster(bytes, name, t.width, t.height, t.rgba)) {
      load.texture = *s;
      return load;
    }
  }
  ApplyPictureAlpha(t.rgba, loader);
  load.texture = std::move(t);
  return load;
}

PictureLoad LoadPictureTexture(std::string_view name, PictureLoader loader, int32_t max_texture_size,
                               int32_t custom_image_mode, const std::filesystem::path& base, int metafile_time_ms) {
  PictureLoad load;
  auto path = FindPictureFile(name, custom_image_mode, base);
  if (!path) {
    load.texture = path.error();
    return load;
  }
  auto bytes = ReadFileBytes(*path);
  if (!bytes) {
    load.texture = bytes.error();
    return load;
  }
  return DecodePictureTexture(*bytes, path->string(), loader, max_texture_size, metafile_time_ms);
}

}  // namespace vl::assets
