// Face matching for the outline text: which installed face stands in for the face a loop names,
// found with fontconfig (and FreeType, to tell picture fonts from lettered ones). No GL here.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "render/glyph_lists.h"

namespace vl::render {

namespace {

struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
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
  return static_cast<size_t>(
      std::count_if(needs.chars.begin(), needs.chars.end(), [&](FcChar32 c) { return !FcCharSetHasChar(cs, c); }));
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
      {"Arial Narrow",
       {"Liberation Sans Narrow", "Nimbus Sans Narrow", "DejaVu Sans Condensed"},
       0,
       FC_WIDTH_CONDENSED},
      // A heavy, condensed poster face: the heaviest condensed sans there is.
      {"Impact",
       {"Liberation Sans Narrow", "DejaVu Sans Condensed", "Nimbus Sans Narrow", "DejaVu Sans"},
       900,
       FC_WIDTH_CONDENSED},
      {"Haettenschweiler",
       {"Liberation Sans Narrow", "DejaVu Sans Condensed", "Nimbus Sans Narrow"},
       900,
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
  const std::string face = Windows1252ToUtf8(std::string_view(request.face).substr(0, kFaceNameLimit));
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
    const PatternPtr p =
        MakePattern(similar->families, std::max(similar_weight, similar->weight), request.italic, similar->width);
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

}  // namespace vl::render
