#include "render/glyph_lists.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <fontconfig/fontconfig.h>
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

// ---- Face matching --------------------------------------------------------------------------

namespace {

struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string PatternString(const FcPattern* p, const char* object, int n = 0) {
  FcChar8* s = nullptr;
  if (FcPatternGetString(p, object, n, &s) != FcResultMatch || !s) return {};
  return reinterpret_cast<const char*>(s);
}

// True when any of the font's family or full names is `name`.
bool HasName(const FcPattern* font, const std::string& name) {
  for (const char* object : {FC_FAMILY, FC_FULLNAME}) {
    for (int n = 0;; ++n) {
      FcChar8* s = nullptr;
      if (FcPatternGetString(font, object, n, &s) != FcResultMatch || !s) break;
      if (SameName(reinterpret_cast<const char*>(s), name)) return true;
    }
  }
  return false;
}

// Windows weights run 1..1000 with 0 meaning "the default"; they are OpenType weights.
int WindowsWeight(int32_t weight) { return weight <= 0 ? 400 : std::min<int32_t>(weight, 1000); }

struct FontSetDeleter {
  void operator()(FcFontSet* s) const { FcFontSetDestroy(s); }
};
using FontSetPtr = std::unique_ptr<FcFontSet, FontSetDeleter>;

// Families listed best first, at a weight, slant and (when not 0) fontconfig width.
PatternPtr MakePattern(const std::vector<std::string>& families, int windows_weight, bool italic, int width = 0) {
  PatternPtr p(FcPatternCreate());
  for (const std::string& family : families)
    FcPatternAddString(p.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddDouble(p.get(), FC_WEIGHT, FcWeightFromOpenTypeDouble(windows_weight));
  FcPatternAddInteger(p.get(), FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  if (width > 0) FcPatternAddInteger(p.get(), FC_WIDTH, width);
  FcPatternAddBool(p.get(), FC_OUTLINE, FcTrue);
  FcPatternAddBool(p.get(), FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, p.get(), FcMatchPattern);
  FcDefaultSubstitute(p.get());
  return p;
}

// Untrimmed: trimming drops faces that add no new characters, and a face asked for by its full
// name, or the one stand-in of the right width, may be one of them.
FontSetPtr SortedFonts(const FcPattern* pattern) {
  FcResult result = FcResultNoMatch;
  return FontSetPtr(FcFontSort(nullptr, const_cast<FcPattern*>(pattern), FcFalse, nullptr, &result));
}

// The families the configuration binds to the pattern's name as firmly as the name itself: the
// name, its metric twins ("Arial" -> "Liberation Sans") and the faces it stands for ("Dingbats"
// -> "D050000L"). The weakly bound rest is the configuration's guess at a generic class.
std::vector<std::string> BoundFamilies(const FcPattern* pattern) {
  std::vector<std::string> names;
  for (int n = 0;; ++n) {
    FcValue v;
    FcValueBinding binding = FcValueBindingWeak;
    if (FcPatternGetWithBinding(pattern, FC_FAMILY, n, &v, &binding) != FcResultMatch) break;
    if (binding != FcValueBindingWeak && v.type == FcTypeString)
      names.emplace_back(reinterpret_cast<const char*>(v.u.s));
  }
  return names;
}

// The characters a stand-in must have: every printable one of the text (up to the NUL where the
// drawn string ends) and the Latin letters, so that a face without letters never stands in.
struct Needs {
  std::vector<FcChar32> chars;
};

Needs NeedsOf(std::string_view text) {
  Needs needs;
  for (FcChar32 c = 'A'; c <= 'Z'; ++c) needs.chars.insert(needs.chars.end(), {c, c + 32});
  for (char ch : text.substr(0, text.find('\0'))) {
    const uint32_t u = Windows1252ToUnicode(static_cast<uint8_t>(ch));
    if (u <= 0x20 || (u >= 0x7F && u <= 0xA0)) continue;  // spaces and controls draw no ink
    if (std::find(needs.chars.begin(), needs.chars.end(), u) == needs.chars.end()) needs.chars.push_back(u);
  }
  return needs;
}

// How many of the needed characters the font lacks.
size_t Missing(const FcPattern* font, const Needs& needs) {
  FcCharSet* cs = nullptr;
  if (FcPatternGetCharSet(font, FC_CHARSET, 0, &cs) != FcResultMatch || !cs) return needs.chars.size();
  return static_cast<size_t>(std::count_if(needs.chars.begin(), needs.chars.end(),
                                           [&](FcChar32 c) { return !FcCharSetHasChar(cs, c); }));
}

bool HasLatinLetters(const FcPattern* font) {
  FcCharSet* cs = nullptr;
  if (FcPatternGetCharSet(font, FC_CHARSET, 0, &cs) != FcResultMatch || !cs) return false;
  for (FcChar32 c = 'A'; c <= 'Z'; ++c)
    if (!FcCharSetHasChar(cs, c) || !FcCharSetHasChar(cs, c + 32)) return false;
  return true;
}

// Some picture fonts claim the letters: a symbol cmap's U+F020.. reads as U+0020.. to fontconfig,
// and the OpenType dingbats of the URW set map the Latin letters themselves to pictures. Where
// the face names its glyphs, the glyph at a letter is named after it ("H", "H.alt", "uni0048").
bool DrawsPicturesAtLetters(const std::string& file, int index) {
  static std::mutex mutex;
  static std::map<std::pair<std::string, int>, bool> known;
  const std::lock_guard lock(mutex);
  const auto key = std::make_pair(file, index);
  if (auto it = known.find(key); it != known.end()) return it->second;
  bool pictures = false;
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) == 0) {
    FT_Face face = nullptr;
    if (FT_New_Face(library, file.c_str(), index, &face) == 0) {
      bool unicode = false, ms_symbol = false;
      for (int i = 0; i < face->num_charmaps; ++i) {
        if (face->charmaps[i]->encoding == FT_ENCODING_UNICODE) unicode = true;
        if (face->charmaps[i]->encoding == FT_ENCODING_MS_SYMBOL) ms_symbol = true;
      }
      pictures = ms_symbol && !unicode;
      if (unicode && FT_HAS_GLYPH_NAMES(face) && FT_Select_Charmap(face, FT_ENCODING_UNICODE) == 0) {
        for (char letter : std::string_view("AHOaeo")) {
          char name[64] = {};
          const FT_UInt glyph = FT_Get_Char_Index(face, static_cast<FT_ULong>(letter));
          if (glyph == 0 || FT_Get_Glyph_Name(face, glyph, name, sizeof name) != 0) continue;
          char uni[8];
          std::snprintf(uni, sizeof uni, "uni%04X", static_cast<unsigned>(letter));
          const bool named = (name[0] == letter && (name[1] == '\0' || name[1] == '.' || name[1] == '_')) ||
                             std::strncmp(name, uni, 7) == 0;
          if (!named) pictures = true;
        }
      }
      FT_Done_Face(face);
    }
    FT_Done_FreeType(library);
  }
  known.emplace(key, pictures);
  return pictures;
}

bool IsSymbolFont(const FcPattern* font) {
  if (!HasLatinLetters(font)) return true;
  const std::string file = PatternString(font, FC_FILE);
  int index = 0;
  FcPatternGetInteger(font, FC_INDEX, 0, &index);
  return !file.empty() && DrawsPicturesAtLetters(file, index);
}

// The font prepared for the pattern (so that the synthetic oblique and emboldening of the system
// configuration are filled in); nothing for a bitmap face or one without a file.
std::optional<FontChoice> Prepare(const FcPattern* pattern, FcPattern* listed, FontMatch match) {
  PatternPtr font(FcFontRenderPrepare(nullptr, const_cast<FcPattern*>(pattern), listed));
  if (!font) return std::nullopt;
  FcBool outline = FcFalse;
  if (FcPatternGetBool(font.get(), FC_OUTLINE, 0, &outline) != FcResultMatch || !outline) return std::nullopt;
  FontChoice c;
  c.file = PatternString(font.get(), FC_FILE);
  if (c.file.empty()) return std::nullopt;
  FcPatternGetInteger(font.get(), FC_INDEX, 0, &c.index);
  c.family = PatternString(font.get(), FC_FAMILY);
  c.style = PatternString(font.get(), FC_STYLE);
  c.match = match;
  c.exact = match == FontMatch::kExact;
  c.symbol = IsSymbolFont(listed);
  FcBool embolden = FcFalse;
  if (FcPatternGetBool(font.get(), FC_EMBOLDEN, 0, &embolden) == FcResultMatch) c.embolden = embolden;
  FcMatrix* m = nullptr;
  if (FcPatternGetMatrix(font.get(), FC_MATRIX, 0, &m) == FcResultMatch && m) c.matrix = {m->xx, m->xy, m->yx, m->yy};
  return c;
}

bool Listed(const std::vector<FontChoice>& out, const FcPattern* font) {
  const std::string file = PatternString(font, FC_FILE);
  int index = 0;
  FcPatternGetInteger(font, FC_INDEX, 0, &index);
  return std::any_of(out.begin(), out.end(), [&](const FontChoice& o) { return o.file == file && o.index == index; });
}

bool HasAnyName(const FcPattern* font, const std::vector<std::string>& names) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return HasName(font, n); });
}

// The best-ranked face of the sorted set carrying one of `names` that can stand in: one that
// shows every needed character and is no picture font, or any face at all when `take_symbols`
// (the name itself asked for it).
void AppendNamed(const FcPattern* pattern, const FcFontSet* set, const std::vector<std::string>& names,
                 const Needs& needs, FontMatch match, std::vector<FontChoice>& out) {
  for (int i = 0; set && i < set->nfont; ++i) {
    FcPattern* f = set->fonts[i];
    if (!HasAnyName(f, names) || Listed(out, f)) continue;
    const bool asked = match == FontMatch::kExact || (match == FontMatch::kAlias && IsSymbolFont(f));
    if (!asked && (Missing(f, needs) > 0 || IsSymbolFont(f))) continue;
    if (auto c = Prepare(pattern, f, match)) {
      out.push_back(std::move(*c));
      return;
    }
  }
}

// Common faces of Windows systems and where the installed stand-ins for them are, closest
// first: metric twins where the system has them, then faces of the same class, weight and width.
struct SimilarFaces {
  std::string_view face;
  std::vector<std::string> families;
  int weight = 0;  // at least this heavy (Windows scale); 0: as asked
  int width = 0;   // fontconfig width; 0: normal
};

const std::vector<SimilarFaces>& SimilarFaceTable() {
  static const std::vector<SimilarFaces> table = {
      {"Arial", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}},
      {"Helvetica", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}},
      {"Arial Black", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}, 900},
      {"Arial Narrow", {"Liberation Sans Narrow", "Nimbus Sans Narrow", "DejaVu Sans Condensed"}, 0, FC_WIDTH_CONDENSED},
      // A heavy, condensed poster face: the heaviest condensed sans there is.
      {"Impact", {"Liberation Sans Narrow", "DejaVu Sans Condensed", "Nimbus Sans Narrow", "DejaVu Sans"}, 900,
       FC_WIDTH_CONDENSED},
      {"Haettenschweiler", {"Liberation Sans Narrow", "DejaVu Sans Condensed", "Nimbus Sans Narrow"}, 900,
       FC_WIDTH_CONDENSED},
      {"Franklin Gothic Medium", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}, 500},
      {"Verdana", {"DejaVu Sans", "Liberation Sans"}},
      {"Tahoma", {"DejaVu Sans", "Liberation Sans"}},
      {"Trebuchet MS", {"DejaVu Sans", "Liberation Sans"}},
      {"Segoe UI", {"DejaVu Sans", "Liberation Sans"}},
      {"MS Sans Serif", {"Liberation Sans", "DejaVu Sans"}},
      {"Microsoft Sans Serif", {"Liberation Sans", "DejaVu Sans"}},
      {"Lucida Sans Unicode", {"DejaVu Sans", "Liberation Sans"}},
      {"Calibri", {"Carlito", "Liberation Sans", "DejaVu Sans"}},
      {"Century Gothic", {"URW Gothic", "DejaVu Sans"}},
      {"Comic Sans MS", {"Comic Neue", "DejaVu Sans"}},
      {"Times New Roman", {"Liberation Serif", "Nimbus Roman", "DejaVu Serif"}},
      {"Times", {"Liberation Serif", "Nimbus Roman", "DejaVu Serif"}},
      {"MS Serif", {"Liberation Serif", "DejaVu Serif"}},
      {"Georgia", {"Gelasio", "DejaVu Serif", "Liberation Serif"}},
      {"Cambria", {"Caladea", "Liberation Serif", "DejaVu Serif"}},
      {"Garamond", {"C059", "Liberation Serif", "DejaVu Serif"}},
      {"Book Antiqua", {"P052", "Liberation Serif", "DejaVu Serif"}},
      {"Palatino Linotype", {"P052", "Liberation Serif", "DejaVu Serif"}},
      {"Bookman Old Style", {"URW Bookman", "Liberation Serif", "DejaVu Serif"}},
      {"Century Schoolbook", {"C059", "Liberation Serif", "DejaVu Serif"}},
      {"Courier New", {"Liberation Mono", "Nimbus Mono PS", "DejaVu Sans Mono"}},
      {"Courier", {"Liberation Mono", "Nimbus Mono PS", "DejaVu Sans Mono"}},
      {"Lucida Console", {"DejaVu Sans Mono", "Liberation Mono"}},
      {"Consolas", {"DejaVu Sans Mono", "Liberation Mono"}},
  };
  return table;
}

const SimilarFaces* SimilarTo(std::string_view face) {
  for (const SimilarFaces& s : SimilarFaceTable())
    if (SameName(s.face, face)) return &s;
  return nullptr;
}

// "X Black" and "X Heavy" are families of their own on Windows but a weight of the plain family
// elsewhere.
std::optional<std::string> HeavyBase(const std::string& face) {
  for (std::string_view suffix : {std::string_view(" Black"), std::string_view(" Heavy")}) {
    if (face.size() > suffix.size() && SameName(std::string_view(face).substr(face.size() - suffix.size()), suffix))
      return face.substr(0, face.size() - suffix.size());
  }
  return std::nullopt;
}

}  // namespace

std::vector<FontChoice> FindFontCandidates(const FontRequest& request) {
  std::vector<FontChoice> out;
  if (!FcInit()) return out;
  const std::string face =
      Windows1252ToUtf8(std::string_view(request.face).substr(0, kFaceNameLimit));
  const int weight = WindowsWeight(request.weight);
  const Needs needs = NeedsOf(request.text);

  // The face itself, whatever it draws: the loop asked for it.
  const PatternPtr pattern = MakePattern({face}, weight, request.italic);
  const FontSetPtr sorted = SortedFonts(pattern.get());
  AppendNamed(pattern.get(), sorted.get(), {face}, needs, FontMatch::kExact, out);

  // What the configuration binds to the name; for "X Black" to X, at black weight.
  const std::optional<std::string> base = HeavyBase(face);
  const int base_weight = std::max(weight, 900);
  AppendNamed(pattern.get(), sorted.get(), BoundFamilies(pattern.get()), needs, FontMatch::kAlias, out);
  if (out.empty() && base) {
    const PatternPtr heavy = MakePattern({*base}, base_weight, request.italic);
    AppendNamed(heavy.get(), SortedFonts(heavy.get()).get(), BoundFamilies(heavy.get()), needs, FontMatch::kAlias, out);
  }

  // A face of the same class, weight and width as a common Windows face.
  const SimilarFaces* similar = SimilarTo(face);
  int similar_weight = weight;
  if (!similar && base && (similar = SimilarTo(*base))) similar_weight = base_weight;
  if (similar) {
    const PatternPtr p = MakePattern(similar->families, std::max(similar_weight, similar->weight), request.italic,
                                     similar->width);
    AppendNamed(p.get(), SortedFonts(p.get()).get(), similar->families, needs, FontMatch::kSimilar, out);
  }

  // What fontconfig's matching prefers (its class guesses for the name, then its defaults), and
  // a few more, enough to get past a file that will not open.
  constexpr size_t kFallbacks = 4;
  size_t taken = 0;
  const FcPattern* closest = nullptr;  // the one lacking fewest characters, when none has all
  size_t closest_missing = SIZE_MAX;
  for (int i = 0; sorted && i < sorted->nfont && taken < kFallbacks; ++i) {
    FcPattern* f = sorted->fonts[i];
    if (Listed(out, f) || IsSymbolFont(f)) continue;
    if (const size_t missing = Missing(f, needs); missing > 0) {
      if (missing < closest_missing) closest = f, closest_missing = missing;
      continue;
    }
    if (auto c = Prepare(pattern.get(), f, FontMatch::kFallback)) {
      out.push_back(std::move(*c));
      ++taken;
    }
  }
  if (out.empty() && closest) {
    if (auto c = Prepare(pattern.get(), const_cast<FcPattern*>(closest), FontMatch::kFallback))
      out.push_back(std::move(*c));
  }
  return out;
}

std::string FontFaceName(const FontChoice& choice) {
  const std::string& style = choice.style;
  if (style.empty() || SameName(style, "Regular") || SameName(style, "Book") || SameName(style, "Roman") ||
      SameName(style, "Normal"))
    return choice.family;
  return choice.family + " " + style;
}

std::string_view FontMatchReason(FontMatch match) {
  switch (match) {
    case FontMatch::kExact: return {};
    case FontMatch::kAlias: return "the face this system gives for it";
    case FontMatch::kSimilar: return "the closest face installed";
    case FontMatch::kFallback: break;
  }
  return "the system's default: no face like it is known here";
}

std::string FontSubstituteNote(const FontRequest& request, const FontChoice& choice) {
  if (choice.match == FontMatch::kExact || choice.match == FontMatch::kAlias) return {};
  return "font \"" + Windows1252ToUtf8(std::string_view(request.face).substr(0, kFaceNameLimit)) +
         "\" is not on this system; the text is drawn in " + FontFaceName(choice) + ", " +
         std::string(FontMatchReason(choice.match));
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
void TessCombine(GLdouble coords[3], void*[4], GLfloat[4], void** out, void* data) {
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
  if (FT_New_Memory_Face(impl->library, impl->bytes.data(), static_cast<FT_Long>(impl->bytes.size()), 0,
                         &impl->face) != 0)
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
}

GlyphBuildReport GlyphLists::Build(const FontRequest& request, GlyphFormat format) {
  GlyphBuildReport report;
  metrics_ = {};
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
  return report;
}

}  // namespace vl::render
