#include "render/glyph_lists.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

namespace vl::render {

// ---- Code page ------------------------------------------------------------------------------

namespace {
// 0x80..0x9F of Windows-1252; the undefined 0x81, 0x8D, 0x8F, 0x90 and 0x9D pass through.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
}  // namespace

uint32_t Windows1252ToUnicode(uint8_t code) {
  if (code >= 0x80 && code <= 0x9F) return kCp1252High[code - 0x80];
  return code;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const uint32_t u = Windows1252ToUnicode(static_cast<uint8_t>(ch));
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

// ---- Tessellation ---------------------------------------------------------------------------

namespace {

using Vertex3 = std::array<double, 3>;

struct TessState {
  std::vector<Vec2>* triangles;
  std::deque<Vertex3> combined;  // vertices the tessellator invents at crossings
  bool failed = false;
};

void TessBegin(GLenum, void*) {}
void TessEdgeFlag(GLboolean, void*) {}  // its presence makes GLU emit plain triangles
void TessVertex(void* vertex, void* data) {
  const auto* v = static_cast<const double*>(vertex);
  static_cast<TessState*>(data)->triangles->push_back({v[0], v[1]});
}
void TessEnd(void*) {}
void TessCombine(GLdouble coords[3], void* [4], GLfloat[4], void** out, void* data) {
  auto* st = static_cast<TessState*>(data);
  st->combined.push_back({coords[0], coords[1], coords[2]});
  *out = st->combined.back().data();
}
void TessError(GLenum, void* data) { static_cast<TessState*>(data)->failed = true; }

}  // namespace

bool TessellateNonZero(const std::vector<std::vector<Vec2>>& contours, std::vector<Vec2>* triangles) {
  triangles->clear();
  size_t total = 0;
  for (const auto& c : contours) total += c.size();
  if (total == 0) return true;

  std::vector<Vertex3> points;
  points.reserve(total);  // gluTessVertex keeps the pointers until the polygon ends
  TessState st{triangles, {}, false};

  GLUtesselator* tess = gluNewTess();
  if (!tess) return false;
  using Fn = _GLUfuncptr;
  gluTessCallback(tess, GLU_TESS_BEGIN_DATA, reinterpret_cast<Fn>(TessBegin));
  gluTessCallback(tess, GLU_TESS_EDGE_FLAG_DATA, reinterpret_cast<Fn>(TessEdgeFlag));
  gluTessCallback(tess, GLU_TESS_VERTEX_DATA, reinterpret_cast<Fn>(TessVertex));
  gluTessCallback(tess, GLU_TESS_END_DATA, reinterpret_cast<Fn>(TessEnd));
  gluTessCallback(tess, GLU_TESS_COMBINE_DATA, reinterpret_cast<Fn>(TessCombine));
  gluTessCallback(tess, GLU_TESS_ERROR_DATA, reinterpret_cast<Fn>(TessError));
  gluTessProperty(tess, GLU_TESS_WINDING_RULE, GLU_TESS_WINDING_NONZERO);
  gluTessNormal(tess, 0.0, 0.0, 1.0);

  gluTessBeginPolygon(tess, &st);
  for (const auto& c : contours) {
    gluTessBeginContour(tess);
    for (const Vec2& p : c) {
      points.push_back({p.x, p.y, 0.0});
      gluTessVertex(tess, points.back().data(), points.back().data());
    }
    gluTessEndContour(tess);
  }
  gluTessEndPolygon(tess);
  gluDeleteTess(tess);

  if (st.failed || triangles->size() % 3 != 0) {
    triangles->clear();
    return false;
  }
  // The tessellator orients its output by the normal given; make sure of it, since a flipped
  // triangle would be culled or lit from behind.
  for (size_t i = 0; i < triangles->size(); i += 3) {
    const Vec2 a = (*triangles)[i], b = (*triangles)[i + 1], c = (*triangles)[i + 2];
    if ((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x) < 0.0)
      std::swap((*triangles)[i + 1], (*triangles)[i + 2]);
  }
  return true;
}

// ---- Outlines -------------------------------------------------------------------------------

struct OutlineFont::Impl {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  FontChoice choice;
  std::vector<uint8_t> bytes;  // the face reads from here when opened from memory
  ~Impl() {
    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
  }
};

OutlineFont::OutlineFont(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
OutlineFont::OutlineFont(OutlineFont&&) noexcept = default;
OutlineFont& OutlineFont::operator=(OutlineFont&&) noexcept = default;
OutlineFont::~OutlineFont() = default;
const FontChoice& OutlineFont::choice() const { return impl_->choice; }

namespace {

Status FinishOpening(FT_Face face, const std::string& name) {
  if (!FT_IS_SCALABLE(face) || face->units_per_EM == 0)
    return LoadError{name, "the face has no scalable outlines", {}, "units_per_EM"};
  // Prefer a Unicode map; symbol fonts only have their own, indexed by the byte itself.
  if (FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0 && face->num_charmaps > 0)
    FT_Set_Charmap(face, face->charmaps[0]);
  return std::nullopt;
}

}  // namespace

Expected<OutlineFont> OutlineFont::Open(const FontChoice& choice) {
  auto impl = std::make_unique<Impl>();
  impl->choice = choice;
  if (FT_Init_FreeType(&impl->library) != 0) return LoadError{choice.file, "FreeType would not start", {}, ""};
  if (FT_New_Face(impl->library, choice.file.c_str(), choice.index, &impl->face) != 0)
    return LoadError{choice.file, "not a font FreeType can read", {}, ""};
  if (Status bad = FinishOpening(impl->face, choice.file)) return *bad;
  return OutlineFont(std::move(impl));
}

Expected<OutlineFont> OutlineFont::OpenBytes(std::vector<uint8_t> bytes, const std::string& name) {
  auto impl = std::make_unique<Impl>();
  impl->choice.file = name;
  impl->bytes = std::move(bytes);
  if (FT_Init_FreeType(&impl->library) != 0) return LoadError{name, "FreeType would not start", {}, ""};
  if (FT_New_Memory_Face(impl->library, impl->bytes.data(), static_cast<FT_Long>(impl->bytes.size()), 0, &impl->face) !=
      0)
    return LoadError{name, "not a font FreeType can read", {}, ""};
  if (Status bad = FinishOpening(impl->face, name)) return *bad;
  return OutlineFont(std::move(impl));
}

namespace {

// Collects flattened contours from FT_Outline_Decompose, in font units.
struct Flattener {
  std::vector<std::vector<Vec2>>* contours;
  double tolerance;  // font units
  Vec2 pen;

  void Add(Vec2 p) {
    auto& c = contours->back();
    if (c.empty() || c.back().x != p.x || c.back().y != p.y) c.push_back(p);
    pen = p;
  }
  // Segments for a curve whose second derivative is bounded by `bend`: the chord of a curve
  // piece of parameter length h strays at most bend * h^2 / 8.
  int Steps(double bend) const {
    const double n = std::ceil(std::sqrt(bend / (8.0 * tolerance)));
    return static_cast<int>(std::clamp(n, 1.0, 64.0));
  }
};

Vec2 ToVec(const FT_Vector* v) { return {static_cast<double>(v->x), static_cast<double>(v->y)}; }
double Len(double x, double y) { return std::sqrt(x * x + y * y); }

int MoveTo(const FT_Vector* to, void* user) {
  auto* f = static_cast<Flattener*>(user);
  f->contours->emplace_back();
  f->Add(ToVec(to));
  return 0;
}
int LineTo(const FT_Vector* to, void* user) {
  static_cast<Flattener*>(user)->Add(ToVec(to));
  return 0;
}
int ConicTo(const FT_Vector* control, const FT_Vector* to, void* user) {
  auto* f = static_cast<Flattener*>(user);
  const Vec2 p0 = f->pen, p1 = ToVec(control), p2 = ToVec(to);
  const int n = f->Steps(2.0 * Len(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y));
  for (int i = 1; i <= n; ++i) {
    const double t = static_cast<double>(i) / n, u = 1.0 - t;
    f->Add({u * u * p0.x + 2 * u * t * p1.x + t * t * p2.x, u * u * p0.y + 2 * u * t * p1.y + t * t * p2.y});
  }
  return 0;
}
int CubicTo(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
  auto* f = static_cast<Flattener*>(user);
  const Vec2 p0 = f->pen, p1 = ToVec(c1), p2 = ToVec(c2), p3 = ToVec(to);
  const double bend = 6.0 * std::max(Len(p0.x - 2 * p1.x + p2.x, p0.y - 2 * p1.y + p2.y),
                                     Len(p1.x - 2 * p2.x + p3.x, p1.y - 2 * p2.y + p3.y));
  const int n = f->Steps(bend);
  for (int i = 1; i <= n; ++i) {
    const double t = static_cast<double>(i) / n, u = 1.0 - t;
    const double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
    f->Add({a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y});
  }
  return 0;
}

}  // namespace

GlyphShape OutlineFont::Shape(uint8_t code) const {
  GlyphShape shape;
  FT_Face face = impl_->face;
  const FT_UInt index = FT_Get_Char_Index(face, Windows1252ToUnicode(code));
  if (FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) return shape;
  FT_GlyphSlot slot = face->glyph;
  const double em = face->units_per_EM;
  double advance = static_cast<double>(slot->metrics.horiAdvance);

  if (slot->format == FT_GLYPH_FORMAT_OUTLINE && slot->outline.n_points > 0) {
    FT_Outline* outline = &slot->outline;
    const FontChoice& ch = impl_->choice;
    if (ch.matrix != std::array<double, 4>{1, 0, 0, 1}) {
      FT_Matrix m{static_cast<FT_Fixed>(ch.matrix[0] * 65536.0), static_cast<FT_Fixed>(ch.matrix[1] * 65536.0),
                  static_cast<FT_Fixed>(ch.matrix[2] * 65536.0), static_cast<FT_Fixed>(ch.matrix[3] * 65536.0)};
      FT_Outline_Transform(outline, &m);
    }
    if (ch.embolden) {
      // The same thickening FreeType's own synthetic bold uses: a 24th of the em, and the pen
      // step grows with it.
      const FT_Pos strength = face->units_per_EM / 24;
      FT_Outline_Embolden(outline, strength);
      advance += static_cast<double>(strength);
    }
    shape.fill_right = FT_Outline_Get_Orientation(outline) != FT_ORIENTATION_POSTSCRIPT;

    Flattener f{&shape.contours, kFlatness * em, {}};
    const FT_Outline_Funcs funcs{MoveTo, LineTo, ConicTo, CubicTo, 0, 0};
    if (FT_Outline_Decompose(outline, &funcs, &f) != 0) shape.contours.clear();

    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    for (auto& c : shape.contours) {
      if (c.size() > 1 && c.front().x == c.back().x && c.front().y == c.back().y) c.pop_back();
      for (Vec2& p : c) {
        p.x /= em;
        p.y /= em;
        x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
      }
    }
    std::erase_if(shape.contours, [](const auto& c) { return c.size() < 3; });
    if (!shape.contours.empty()) {
      shape.metrics.black_box_x = static_cast<float>(x1 - x0);
      shape.metrics.black_box_y = static_cast<float>(y1 - y0);
      shape.metrics.origin_x = static_cast<float>(x0);
      shape.metrics.origin_y = static_cast<float>(y1);
      shape.fill_failed = !TessellateNonZero(shape.contours, &shape.triangles);
    }
  }
  shape.metrics.cell_inc_x = static_cast<float>(advance / em);
  return shape;
}

// ---- Display lists --------------------------------------------------------------------------

std::vector<GlyphWall> GlyphWalls(const GlyphShape& shape) {
  std::vector<GlyphWall> walls;
  for (const auto& c : shape.contours) {
    for (size_t i = 0; i < c.size(); ++i) {
      Vec2 a = c[i], b = c[(i + 1) % c.size()];
      // Walk every edge with the filled side on the right, so that outside is on the left.
      if (!shape.fill_right) std::swap(a, b);
      const double nx = -(b.y - a.y), ny = b.x - a.x;
      const double len = std::sqrt(nx * nx + ny * ny);
      if (len == 0.0) continue;
      walls.push_back({a, b, {nx / len, ny / len}});
    }
  }
  return walls;
}

void EmitGlyph(const GlyphShape& shape, GlyphFormat format) {
  const double back = -static_cast<double>(kGlyphExtrusion);
  if (format == GlyphFormat::kLines) {
    for (double z : {0.0, back}) {
      glNormal3d(0.0, 0.0, z == 0.0 ? 1.0 : -1.0);
      for (const auto& c : shape.contours) {
        glBegin(GL_LINE_LOOP);
        for (const Vec2& p : c) glVertex3d(p.x, p.y, z);
        glEnd();
      }
    }
  } else if (!shape.contours.empty()) {
    glBegin(GL_TRIANGLES);
    glNormal3d(0.0, 0.0, 1.0);
    for (const Vec2& p : shape.triangles) glVertex3d(p.x, p.y, 0.0);
    // The back face is the same fill turned round, so it faces -z counter-clockwise too.
    glNormal3d(0.0, 0.0, -1.0);
    for (size_t i = 0; i + 2 < shape.triangles.size(); i += 3) {
      glVertex3d(shape.triangles[i].x, shape.triangles[i].y, back);
      glVertex3d(shape.triangles[i + 2].x, shape.triangles[i + 2].y, back);
      glVertex3d(shape.triangles[i + 1].x, shape.triangles[i + 1].y, back);
    }
    glEnd();

    // Walls: one flat quad per edge, so curves stay faceted like the flattened outline.
    glBegin(GL_QUADS);
    for (const GlyphWall& w : GlyphWalls(shape)) {
      glNormal3d(w.normal.x, w.normal.y, 0.0);
      glVertex3d(w.a.x, w.a.y, 0.0);
      glVertex3d(w.b.x, w.b.y, 0.0);
      glVertex3d(w.b.x, w.b.y, back);
      glVertex3d(w.a.x, w.a.y, back);
    }
    glEnd();
  }
  glTranslatef(shape.metrics.cell_inc_x, shape.metrics.cell_inc_y, 0.0f);
}

void GlyphLists::Delete() {
  if (base_ != 0) glDeleteLists(base_, kGlyphListCount);
  base_ = 0;
  metrics_ = {};
  built_.reset();
}

namespace {
// Whether two choices open to the same outlines.
bool SameFace(const FontChoice& a, const FontChoice& b) {
  return a.file == b.file && a.index == b.index && a.embolden == b.embolden && a.matrix == b.matrix;
}
}  // namespace

GlyphBuildReport GlyphLists::Build(const FontRequest& request, GlyphFormat format) {
  GlyphBuildReport report;
  // A rebuild compiles over the lists it already has, which is deleting them and taking the
  // same range again: GL implementations need not hand a freed range back out (Mesa does not),
  // and callers count on the text staying at one range for the program's life.
  if (base_ == 0 || !glIsList(base_) || !glIsList(base_ + kGlyphListCount - 1)) {
    Delete();
    base_ = glGenLists(kGlyphListCount);
  }
  if (base_ == 0) {
    report.message = "text: no display lists available for the glyphs; the text draws nothing";
    std::fprintf(stderr, "%s\n", report.message.c_str());
    return report;
  }

  std::optional<OutlineFont> font;
  std::string why = "fontconfig offers no outline font";
  for (const FontChoice& c : FindFontCandidates(request)) {
    auto opened = OutlineFont::Open(c);
    if (opened) {
      font.emplace(std::move(opened.value()));
      break;
    }
    why = opened.error().ToString();
  }
  if (font) {
    report.font_found = true;
    report.font = font->choice();
  } else {
    report.message = "text: no outline font for face \"" + Windows1252ToUtf8(request.face) + "\" (" + why +
                     "); the text draws nothing";
    std::fprintf(stderr, "%s\n", report.message.c_str());
  }

  // Lists of the same face in the same form (a new text that face shows too) hold already: a
  // letter typed in the editor need not cost a frame's time.
  if (font && built_ && built_format_ == format && SameFace(built_->font, font->choice())) {
    GlyphBuildReport again = *built_;
    again.font = font->choice();
    return again;
  }
  built_.reset();
  metrics_ = {};
  for (int code = 0; code < kGlyphListCount; ++code) {
    glNewList(base_ + code, GL_COMPILE);
    if (font && code < kConvertedGlyphs) {
      const GlyphShape shape = font->Shape(static_cast<uint8_t>(code));
      if (!shape.contours.empty()) ++report.glyphs_with_outline;
      if (shape.fill_failed) ++report.fill_failures;
      metrics_[code] = shape.metrics;
      EmitGlyph(shape, format);
    }
    glEndList();
  }
  if (font) built_ = report, built_format_ = format;
  return report;
}

}  // namespace vl::render
