// Glyph display lists for the outline text: 256 consecutive lists, one per Windows-1252 code,
// each drawing one glyph an em high (extruded solid or outlined) and then stepping right by its
// cell increment, so that calling lists one after another lays out a line. Faces are found with
// fontconfig, outlines read with FreeType and filled with the GLU tessellator. Only Build and
// Delete need a current GL context; matching, outlines and tessellation are plain CPU work.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/load_error.h"

namespace vl::render {

inline constexpr int kGlyphListCount = 256;
inline constexpr int kConvertedGlyphs = 255;    // codes 0..254; the list of code 255 stays empty
inline constexpr float kGlyphExtrusion = 0.1f;  // back face at z = -0.1
// Largest distance, in ems, between a flattened curve and the true curve. Fine enough that a
// glyph filling the frame shows no facets on its bowls.
inline constexpr double kFlatness = 1.0 / 2048.0;
// Windows keeps face names in a 32-byte field with its terminator; longer names are cut there.
inline constexpr size_t kFaceNameLimit = 31;

// Per code, in ems: the ink box, its upper-left corner relative to the pen, and the pen step.
struct GlyphMetrics {
  float black_box_x = 0, black_box_y = 0;
  float origin_x = 0, origin_y = 0;
  float cell_inc_x = 0, cell_inc_y = 0;
};
using GlyphMetricsTable = std::array<GlyphMetrics, kGlyphListCount>;

// Loops were authored on Windows: their text is Windows-1252, whose 0x80..0x9F are printable
// (0x80 is the euro sign). The five codes that page leaves undefined map to the C1 controls.
uint32_t Windows1252ToUnicode(uint8_t code);
std::string Windows1252ToUtf8(std::string_view bytes);

// What the scene asks for. weight is the Windows scale (0 = default, 400 normal, 900 black).
struct FontRequest {
  FontRequest() = default;
  FontRequest(std::string face_, int32_t weight_ = 0, bool italic_ = false, std::string text_ = {})
      : face(std::move(face_)), weight(weight_), italic(italic_), text(std::move(text_)) {}
  std::string face;  // Windows-1252 bytes as stored in the loop
  int32_t weight = 0;
  bool italic = false;
  std::string text;  // Windows-1252 bytes a stand-in face must show; the Latin letters always
};

// How a face came to stand for the request.
enum class FontMatch {
  kExact,     // the system has the requested face itself
  kAlias,     // the system's font configuration names it for the face (metric twins, "Dingbats")
  kSimilar,   // a face known to be close to a common Windows face: same class, weight and width
  kFallback,  // the closest the system's matching offers for a name it knows nothing about
};

// A face file fontconfig offers for a request, with the synthetic styling it asks for.
struct FontChoice {
  std::string file;
  int index = 0;  // face within the file
  std::string family;
  std::string style;
  bool exact = false;  // the system has the requested face itself
  FontMatch match = FontMatch::kFallback;
  bool symbol = false;                       // a picture font (dingbats, symbols): taken only when asked for by name
  bool embolden = false;                     // no bold enough face: thicken the outlines
  std::array<double, 4> matrix{1, 0, 0, 1};  // xx, xy, yx, yy; a shear for synthetic italics
};

// Outline fonts for the request, best first: the requested face if the system has it; a face the
// font configuration binds to that name; for common Windows faces the closest installed face of
// the same class, weight and width ("X Black" is family X at black weight); then what fontconfig's
// matching prefers. Every stand-in shows all the characters of the request's text and is never a
// picture font unless the name asked for one. Empty when no outline font qualifies.
std::vector<FontChoice> FindFontCandidates(const FontRequest& request);

// "DejaVu Sans Condensed Bold": the family and its style, for people.
std::string FontFaceName(const FontChoice& choice);
// Why a stand-in was taken, in a few words ("the closest face installed"); empty for kExact.
std::string_view FontMatchReason(FontMatch match);
// What a reader of messages should know about the face drawn for `request` (UTF-8): which face
// stands in and why. Empty for the face itself and for the one the system's configuration gives
// for its name (a metric twin draws the same layout; a picture font was asked for by name).
std::string FontSubstituteNote(const FontRequest& request, const FontChoice& choice);

struct Vec2 {
  double x = 0, y = 0;
};

// One glyph in ems, pen at the origin, y up.
struct GlyphShape {
  std::vector<std::vector<Vec2>> contours;  // flattened; closed implicitly; no repeated points
  bool fill_right = true;                   // the filled side of every contour, looking along its direction
  std::vector<Vec2> triangles;              // the face, three points per triangle, counter-clockwise
  bool fill_failed = false;                 // the tessellator refused the outline; no face, walls only
  GlyphMetrics metrics;
};

// Fills contours with the non-zero winding rule into counter-clockwise triangles (seen from +z).
// False when the tessellator reports an error; *triangles then holds nothing.
bool TessellateNonZero(const std::vector<std::vector<Vec2>>& contours, std::vector<Vec2>* triangles);

// An opened scalable face, ready to give shapes by Windows-1252 code.
class OutlineFont {
 public:
  static Expected<OutlineFont> Open(const FontChoice& choice);
  // A font file already in memory (kept by the font); `name` is for messages.
  static Expected<OutlineFont> OpenBytes(std::vector<uint8_t> bytes, const std::string& name);
  OutlineFont(OutlineFont&&) noexcept;
  OutlineFont& operator=(OutlineFont&&) noexcept;
  ~OutlineFont();

  // Flattened and tessellated; a code the face lacks gives the face's missing-glyph shape.
  GlyphShape Shape(uint8_t code) const;
  const FontChoice& choice() const;

 private:
  struct Impl;
  explicit OutlineFont(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// One side wall of a solid glyph: the front-face edge from a to b and its outward normal, which
// is the left side of a -> b. The quad a, b, b', a' (primes on the back face) is counter-clockwise
// seen from outside.
struct GlyphWall {
  Vec2 a, b, normal;
};
std::vector<GlyphWall> GlyphWalls(const GlyphShape& shape);

enum class GlyphFormat {
  kPolygons,  // front and back faces plus side walls
  kLines,     // the contours as line loops on both faces
};

// The GL commands of one glyph, pen step included (to be compiled into a list).
void EmitGlyph(const GlyphShape& shape, GlyphFormat format);

struct GlyphBuildReport {
  bool font_found = false;
  FontChoice font;
  int glyphs_with_outline = 0;
  int fill_failures = 0;
  std::string message;  // why the lists are empty, when they are
};

class GlyphLists {
 public:
  // Replaces the previous lists with 256 new ones in the same name range (a first build takes one).
  // With no usable font the lists exist but draw nothing and the metrics are zero; the report
  // says why and so does stderr. Lists of the same face in the same form are kept (the text a
  // stand-in face must show changed, the face did not). Needs a current context.
  GlyphBuildReport Build(const FontRequest& request, GlyphFormat format);
  // Deletes the 256 lists from base(). Needs the context they were made in.
  void Delete();

  uint32_t base() const { return base_; }  // 0 until built
  const GlyphMetricsTable& metrics() const { return metrics_; }

 private:
  uint32_t base_ = 0;
  GlyphMetricsTable metrics_{};
  std::optional<GlyphBuildReport> built_;  // what the lists hold, when a face was found
  GlyphFormat built_format_ = GlyphFormat::kPolygons;
};

}  // namespace vl::render
