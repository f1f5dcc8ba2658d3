#include "render/loop_findings.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "assets/particle_system.h"
#include "engine/asset_paths.h"
#include "engine/numeric.h"
#include "engine/sequence_format.h"
#include "engine/sequence_loader.h"
#include "engine/track_layers.h"
#include "render/frame_renderer.h"
#include "render/glyph_lists.h"
#include "render/image_layers.h"
#include "render/track_periods.h"

namespace vl::render {

namespace {

using namespace vl::engine;
using vl::AboveOne;
using vl::IsOn;
using Finding = LoopFinding;

std::string Quoted(const std::string& loop_bytes) { return "\"" + vl::render::Windows1252ToUtf8(loop_bytes) + "\""; }

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// ---- Asset names, resolved as the player resolves them ----------------------------------------

// The field of the loop a texture slot's name comes from.
std::string FieldOf(TextureSlot slot) {
  if (slot == TextureSlot::text_texture || slot == TextureSlot::custom_image_texture) return "sequence_texture_name";
  return std::string(TextureSlotName(slot)) + "_name";
}

// Takes the loader's requests in the order it makes them and checks each name with the resolver
// the renderer's loads use, under the scene's custom_image_mode at that moment.
class AssetProbe : public SequenceAssets {
 public:
  explicit AssetProbe(std::vector<Finding>& out) : out_(out) {}

  void LoadPictureTexture(SceneState& s, const std::string& name, TextureSlot slot) override {
    Picture(s, name, FieldOf(slot));
  }
  void LoadPictureTextureMipmapped(SceneState& s, const std::string& name, TextureSlot slot) override {
    Picture(s, name, FieldOf(slot));
  }
  void LoadPhotoTextureA(SceneState& s, const std::string& name) override { Picture(s, name, "photo_a_name"); }
  void LoadPhotoTextureB(SceneState& s, const std::string& name) override { Picture(s, name, "photo_b_name"); }
  void LoadParticleTexture(SceneState&, const std::string& name) override {
    if (auto found = vl::FindAssetFile(name, vl::AssetBaseFor(name)); !found)
      Missing("particle_texture_name", "particle texture " + Quoted(name), found.error());
  }
  void LoadModel(SceneState&, int slot, const std::string& file) override {
    const std::string field = "model_" + std::to_string(slot + 1) + "_file_name";
    if (auto found = vl::FindAssetFile(file, vl::AssetBaseFor(file)); !found)
      Missing(field, "model " + Quoted(file), found.error());
    else models_loaded_[slot] = true;
  }
  bool model_loaded(int slot) const { return models_loaded_[static_cast<size_t>(slot)]; }

 private:
  void Picture(const SceneState& s, const std::string& name, const std::string& field) {
    if (name.empty()) return;  // the player skips an empty name without a word
    auto found = vl::FindPictureFile(name, s.custom_image_mode, vl::PictureBaseFor(name, s.custom_image_mode));
    if (found) return;
    std::string note;
    if (name.find("http://") != std::string::npos) note = " (web addresses are not fetched)";
    else if (s.custom_image_mode < vl::kPictureNamesAsGiven &&
             (name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos))
      note = " (a loop's picture names are taken inside it)";
    Missing(field, "picture " + Quoted(name), found.error(), note);
  }
  // A name that finds nothing is "not in" the library; one that finds something the player will
  // not open (a folder, FIFO or device) says what it found.
  void Missing(const std::string& field, const std::string& what, const vl::LoadError& why,
               const std::string& note = "") {
    if (!reported_.insert(field + "\n" + what).second) return;
    const bool absent = why.message.rfind("no such file under", 0) == 0 ||
                        why.message.rfind("no such file (", 0) == 0 || why.message == "no such file" ||
                        why.message == "no file named";
    out_.push_back(
        {true, "missing-asset",
         field + ": " + what + (absent ? " is not in " + vl::ProgramFolder().string() + note : ": " + why.message)});
  }

  std::vector<Finding>& out_;
  std::set<std::string> reported_;
  std::array<bool, 3> models_loaded_{};
};

void CheckFont(const SceneState& scene, std::vector<Finding>& out) {
  const auto& set = scene.settings;
  if (!IsOn(set.text_on) && !IsOn(set.fx_text)) return;
  const vl::render::FontRequest request{set.text_font_face, set.text_font_weight, set.text_font_italic != 0,
                                        set.text_string};
  const auto found = vl::render::FindFontCandidates(request);
  if (found.empty()) {
    out.push_back({true, "missing-asset",
                   "text_font_face: font " + Quoted(set.text_font_face) +
                       " is not on this system and no face can stand in (the text draws nothing)"});
    return;
  }
  // The system's own stand-in (a metric twin) is no finding; a face of the same class, weight and
  // width is a warning; a name known nowhere is as missing as a missing picture.
  const std::string note = vl::render::FontSubstituteNote(request, found.front());
  if (note.empty()) return;
  const bool known = found.front().match != vl::render::FontMatch::kFallback;
  out.push_back({!known, known ? "font-substitute" : "missing-asset", "text_font_face: " + note});
}

// ---- Values over the loop ------------------------------------------------------------------------

struct Range {
  int first = 0, end = 0;  // frames played: first .. end - 1
};

Range Played(const SceneState& scene) { return {0, std::clamp(PlayedFrameCount(scene), 0, kFrameSlots)}; }

const float* Values(const SceneState& scene, Track t) { return scene.track(t).frame_values; }

template <typename Pred>
bool AllFrames(const SceneState& /*scene*/, Range r, Pred pred) {
  for (int f = r.first; f < r.end; ++f)
    if (!pred(f)) return false;
  return true;
}

// Which switch a track's values show through; tracks of layers that are off cannot make a seam.
bool TrackShown(const SceneState& scene, Track t) {
  const auto& st = scene.settings;
  switch (LayerOfTrack(t)) {
    case TrackLayer::kBackground: return true;
    case TrackLayer::kText: return IsOn(st.text_on) || IsOn(st.fx_text) || IsOn(st.text_chrome);
    case TrackLayer::kSceneEcho: return IsOn(st.scene_echo_on);
    case TrackLayer::kSprites: return IsOn(st.sprites_on);
    case TrackLayer::kSpriteTint: return IsOn(st.sprites_on) && IsOn(st.sprite_tinted);
    case TrackLayer::kParticles: return IsOn(st.particles_on);
    case TrackLayer::kVortex: return IsOn(st.vortex_on);
    case TrackLayer::kTunnel: return IsOn(st.tunnel_on);
    case TrackLayer::kBackdrops: return IsOn(st.backdrop_on);
    case TrackLayer::kTrail: return IsOn(st.trail_on);
    case TrackLayer::kPhotos: return IsOn(st.photo_on);
    case TrackLayer::kModel1: return IsOn(st.model_1_on);
    case TrackLayer::kModel2: return IsOn(st.model_2_on);
    case TrackLayer::kModel3: return IsOn(st.model_3_on);
    case TrackLayer::kModel1Echo: return IsOn(st.echo_model_1_on);
    case TrackLayer::kModel2Echo: return IsOn(st.echo_model_2_on);
    case TrackLayer::kModel3Echo: return IsOn(st.echo_model_3_on);
  }
  return true;
}

// Playback runs the first segment from the initial values, so frame 0 carries on from them: a
// seamless loop's last frame holds the initial value again (up to whole turns of what wraps).
struct SeamJump {
  Track track;
  double jump, last, start;
};
std::vector<SeamJump> SeamJumps(const SceneState& scene, Range r) {
  std::vector<SeamJump> jumps;
  if (r.end < 2) return jumps;
  for (int i = 0; i < kTrackCount; ++i) {
    const Track t = static_cast<Track>(i);
    if (!TrackShown(scene, t)) continue;
    const double last = Values(scene, t)[r.end - 1];
    const double start = scene.track(t).initial_value;
    if (!std::isfinite(last) || !std::isfinite(start)) continue;  // reported as bounded
    double jump = last - start;
    if (const double period = TrackPeriod(t); period > 0) jump = std::remainder(jump, period);
    if (std::fabs(jump) <= 1e-3 * std::max({1.0, std::fabs(last), std::fabs(start)})) continue;
    jumps.push_back({t, jump, last, start});
  }
  return jumps;
}

void CheckSeam(const SceneState& scene, Range r, std::vector<Finding>& out) {
  const std::vector<SeamJump> jumps = SeamJumps(scene, r);
  if (jumps.empty()) return;
  std::string list;
  const size_t count = jumps.size();
  for (size_t i = 0; i < count && i < 12; ++i) {
    const SeamJump& j = jumps[i];
    list += std::string(list.empty() ? "" : ", ") + TrackName(j.track) + " by " + Number(std::fabs(j.jump)) + " (" +
            Number(j.last) + " on frame " + std::to_string(r.end - 1) + ", " + Number(j.start) + " at the start)";
  }
  if (count > 12) list += " and " + std::to_string(count - 12) + " more";
  out.push_back({false, "seam", "the loop jumps where it repeats: " + list});
}

void Invisible(std::vector<Finding>& out, const std::string& message) {
  out.push_back({false, "invisible-layer", message});
}

void CheckInvisible(const SceneState& scene, Range r, const AssetProbe& /*probe*/, std::vector<Finding>& out) {
  const auto& st = scene.settings;
  if (r.end < 1) return;
  if (IsOn(st.text_on)) {
    if (st.text_string.empty()) Invisible(out, "text is on but text_string is empty");
    else if (st.text_style != 1.0f &&
             AllFrames(scene, r, [&](int f) { return !(Values(scene, Track::text_alpha)[f] > 0.0f); }))
      Invisible(out, "text is on but text_alpha is 0 or less on every frame (the text is blended away)");
  }
  if (IsOn(st.sprites_on)) {
    const float* count = Values(scene, Track::sprite_count);
    const float* alpha = Values(scene, Track::sprite_alpha);
    const bool tinted = IsOn(st.sprite_tinted);
    auto effective = [&](int f) { return vl::render::SpriteAlpha(alpha[f]); };
    if (AllFrames(scene, r, [&](int f) { return !(count[f] > 0.0f); }))
      Invisible(out, "sprites are on but sprite_count is never above 0");
    else if (AllFrames(scene, r, [&](int f) {
               return tinted ? effective(f) <= 1.0f : vl::render::UntintedSpriteAlpha(effective(f)) == 0;
             }))
      Invisible(out, std::string("sprites are on but sprite_alpha leaves them transparent on every frame") +
                         (tinted ? "" : " (untinted sprites draw with half the alpha, cut to 0 .. 255)"));
  }
  if (IsOn(st.vortex_on)) {
    const float* emit = Values(scene, Track::vortex_emit);
    const float* spacing = Values(scene, Track::vortex_spacing);
    auto draws = [&](int f) {
      const float s = vl::render::VortexSpacing(spacing[f]);
      return vl::render::VortexElementCount(s) > 0 && vl::render::FountainStep(emit[f], s) > 0;
    };
    if (AllFrames(scene, r, [&](int f) { return !draws(f); }))
      Invisible(out,
                "the vortex is on but draws nothing: its fountain step 2 + vortex_emit + vortex_spacing - 1 is "
                "never positive, or vortex_spacing of 245 or more leaves no element");
  }
  if (IsOn(st.particles_on) && st.particle_count == 0) Invisible(out, "particles are on but particle_count is 0");
  const int slots = scene.sequence_version >= 5.0f ? 3 : 1;
  const float model_on[3] = {st.model_1_on, st.model_2_on, st.model_3_on};
  const float model_load[3] = {st.model_1_load, st.model_2_load, st.model_3_load};
  const float echo_on[3] = {st.echo_model_1_on, st.echo_model_2_on, st.echo_model_3_on};
  const Track echo_layers[3] = {Track::model_1_echo_layers, Track::model_2_echo_layers, Track::model_3_echo_layers};
  for (int m = 0; m < 3; ++m) {
    const std::string n = std::to_string(m + 1);
    const bool loads = m < slots && IsOn(model_load[m]);
    if (IsOn(model_on[m]) && !loads)
      Invisible(out, "model " + n + " is on but the loop loads no model into it (model_" + n + "_load is off)");
    if (IsOn(echo_on[m])) {
      if (!loads) Invisible(out, "the model " + n + " echo is on but the loop loads no model " + n);
      else if (AllFrames(scene, r,
                         [&](int f) { return vl::render::EchoLayerCount(Values(scene, echo_layers[m])[f]) == 0; }))
        Invisible(out, "the model " + n + " echo is on but model_" + n + "_echo_layers counts to 0 on every frame");
    }
  }
  if (IsOn(st.scene_echo_on)) {
    if (!vl::render::SceneEchoFed(st))
      Invisible(out,
                "the scene echo is on but nothing feeds it (fx_text, fx_sprites, fx_particles, fx_vortex and "
                "fx_model_2 are all off)");
    else if (AllFrames(scene, r, [&](int f) {
               return vl::render::EchoLayerCount(Values(scene, Track::scene_echo_layers)[f]) == 0;
             }))
      Invisible(out, "the scene echo is on but scene_echo_layers counts to 0 on every frame");
  }
  if (IsOn(st.photo_on) && st.photo_a_name.empty() && st.photo_b_name.empty())
    Invisible(out, "photos are on but the loop names no picture (photo_a_name and photo_b_name are empty)");
  if (IsOn(st.backdrop_on) && AboveOne(st.backdrop_1_hidden) && AboveOne(st.backdrop_2_hidden))
    Invisible(out, "backdrops are on but both planes are hidden");
}

void Bounded(std::vector<Finding>& out, const std::string& message) { out.push_back({false, "bounded", message}); }

void CheckBounded(const SceneState& scene, Range r, std::vector<Finding>& out) {
  const auto& st = scene.settings;
  if (st.particle_count < 0 || st.particle_count > vl::assets::kMaxParticles)
    Bounded(out, "particle_count " + std::to_string(st.particle_count) + " is refused (0 .. " +
                     std::to_string(vl::assets::kMaxParticles) + "); the previous particle pool is kept");
  auto peak = [&](Track t) {
    float m = -INFINITY;
    for (int f = r.first; f < r.end; ++f) m = std::max(m, Values(scene, t)[f]);
    return m;
  };
  if (IsOn(st.sprites_on) && r.end > 0 && peak(Track::sprite_count) > static_cast<float>(vl::render::kMaxSprites))
    Bounded(out, "sprite_count reaches " + Number(peak(Track::sprite_count)) + "; at most " +
                     std::to_string(vl::render::kMaxSprites) + " sprites are drawn");
  struct Echo {
    bool on;
    Track layers;
  };
  const Echo echoes[] = {{IsOn(st.scene_echo_on), Track::scene_echo_layers},
                         {IsOn(st.echo_model_1_on), Track::model_1_echo_layers},
                         {IsOn(st.echo_model_2_on), Track::model_2_echo_layers},
                         {IsOn(st.echo_model_3_on), Track::model_3_echo_layers}};
  for (const Echo& e : echoes) {
    if (!e.on || r.end < 1) continue;
    const float p = peak(e.layers);
    if (const int32_t asked = EchoLayersAsked(p); asked > kMaxEchoLayers)
      Bounded(out, std::string(TrackName(e.layers)) + " reaches " + Number(p) + ", " + std::to_string(asked) +
                       " layers; at most " + std::to_string(kMaxEchoLayers) + " are drawn");
  }
  if (IsOn(st.vortex_on) && r.end > 0 && !AllFrames(scene, r, [&](int f) {
        const float keyed = Values(scene, Track::vortex_spacing)[f];
        return vl::render::VortexSpacing(keyed) == keyed;
      }))
    Bounded(out, "vortex_spacing is 116 or less on some frames, where the vortex uses 118");
  // NaN or infinite values anywhere the loop sets them.
  std::string bad;
  int count = 0;
  const auto& keys = *scene.keyframe_frame;
  for (int i = 0; i < kTrackCount; ++i) {
    const Track t = static_cast<Track>(i);
    bool finite = std::isfinite(scene.track(t).initial_value);
    for (int32_t k = 0; k <= scene.keyframe_count && finite; ++k)
      finite = std::isfinite(scene.track(t).key_values[keys[static_cast<size_t>(k)]]);
    for (int f = r.first; f < r.end && finite; ++f) finite = std::isfinite(Values(scene, t)[f]);
    if (finite) continue;
    if (++count <= 12) bad += std::string(bad.empty() ? "" : ", ") + TrackName(t);
  }
  if (count > 12) bad += " and " + std::to_string(count - 12) + " more";
  if (count) Bounded(out, "NaN or infinite values in " + bad);
  // Settings are read as they are: a switch that is NaN is neither on nor off.
  std::string settings;
  for (int i = 0; i < kSettingCount; ++i) {
    const auto s = static_cast<Setting>(i);
    if (kSettingCatalogue[static_cast<size_t>(i)].type != SettingType::F) continue;
    if (!std::isfinite(*st.FloatField(s))) settings += std::string(settings.empty() ? "" : ", ") + SettingName(s);
  }
  if (!std::isfinite(scene.work.particle_fog_near))
    settings += std::string(settings.empty() ? "" : ", ") + "particle_fog_near";
  if (!settings.empty()) Bounded(out, "NaN or infinite settings: " + settings);
}

// ---- Fields the player does not use --------------------------------------------------------------

void Ignored(std::vector<Finding>& out, const std::string& message) {
  out.push_back({false, "ignored-field", message});
}

// Names cut to their length field: the bytes past it are never read.
void CheckCutNames(const SceneState& scene, std::vector<Finding>& out) {
  const auto& st = scene.settings;
  struct Name {
    const char* field;
    const std::string& name;
    float length;
  };
  const Name names[] = {
      {"sequence_texture_name", st.sequence_texture_name, st.sequence_texture_name_length},
      {"sprite_texture_name", st.sprite_texture_name, st.sprite_texture_name_length},
      {"particle_texture_name", st.particle_texture_name, st.particle_texture_name_length},
      {"fountain_texture_name", st.fountain_texture_name, st.fountain_texture_name_length},
      {"tunnel_texture_name", st.tunnel_texture_name, st.tunnel_texture_name_length},
      {"backdrop_1_texture_name", st.backdrop_1_texture_name, st.backdrop_1_texture_name_length},
      {"backdrop_2_texture_name", st.backdrop_2_texture_name, st.backdrop_2_texture_name_length},
  };
  for (const Name& n : names) {
    const std::string used = CutName(n.name, n.length);
    if (used.size() < n.name.size())
      Ignored(out, std::string(n.field) + " is " + Quoted(n.name) + " but its length field " + Number(n.length) +
                       " keeps only " + Quoted(used));
  }
}

// A key record names some tracks twice; the later float wins and the earlier one is never used.
void CheckShadowedKeys(const ParsedSequence& seq, std::vector<Finding>& out) {
  std::set<std::string> shadowed;
  size_t at = 0;
  for (int32_t k = 0; k <= seq.keyframe_count; ++k) {
    std::vector<std::pair<Track, float>> record;
    for (const KeyGroup& g : KeyLayout()) {
      if (!IsPresent(g.gate, seq.version)) continue;
      for (Track t : g.tracks) record.emplace_back(t, at < seq.key_floats.size() ? seq.key_floats[at++] : 0.0f);
    }
    for (size_t i = 0; i < record.size(); ++i)
      for (size_t j = i + 1; j < record.size(); ++j)
        if (record[i].first == record[j].first && !(record[i].second == record[j].second) &&
            !(std::isnan(record[i].second) && std::isnan(record[j].second)))
          shadowed.insert(TrackName(record[i].first));
  }
  if (shadowed.empty()) return;
  std::string list;
  for (const std::string& s : shadowed) list += (list.empty() ? "" : ", ") + s;
  Ignored(out, "key records hold a second, different value for " + list +
                   " in a slot the player overwrites with the later one");
}

bool SettingStored(Setting s, float version) {
  for (const HeaderField& f : HeaderLayout())
    if (f.kind == HeaderFieldKind::kSetting && f.setting == s && IsPresent(f.gate, version)) return true;
  return false;
}

bool InitialStored(Track t, float version) {
  for (const HeaderField& f : HeaderLayout()) {
    if (f.kind != HeaderFieldKind::kInitialValues || !IsPresent(f.gate, version)) continue;
    const int first = static_cast<int>(f.first);
    if (static_cast<int>(t) >= first && static_cast<int>(t) < first + f.count) return true;
  }
  return false;
}

// Settings and initial values a source sets that a file of its version does not store.
void CheckSourceFields(const std::string& text, float version, std::vector<Finding>& out) {
  std::istringstream in(text);
  std::string line, section;
  std::vector<std::string> dropped;
  while (std::getline(in, line)) {
    const size_t a = line.find_first_not_of(" \t\r");
    if (a == std::string::npos || line[a] == '#') continue;
    if (line[a] == '[') {
      section = line.substr(a, line.find(']', a) + 1 - a);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(a, eq - a);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (section == "[settings]") {
      if (auto s = FindSetting(key); s && !SettingStored(*s, version)) dropped.push_back(key);
    } else if (section == "[initial]") {
      if (auto t = FindTrack(key); t && !InitialStored(*t, version) && !(version >= 6.0f && key == "particle_fog_near"))
        dropped.push_back(key);
    }
  }
  if (dropped.empty()) return;
  std::string list;
  for (const std::string& d : dropped) list += (list.empty() ? "" : ", ") + d;
  Ignored(out, "a version " + Number(version) + " loop does not store " + list);
}

}  // namespace

std::vector<LoopFinding> CheckLoop(const ParsedSequence& seq, const std::string& source) {
  std::vector<LoopFinding> findings;
  auto scene = std::make_unique<SceneState>();
  AssetProbe probe(findings);
  ApplySequence(*scene, seq, probe);
  CheckFont(*scene, findings);
  if (!HasFramesToPlay(*scene))
    findings.push_back(
        {true, "no-frames",
         std::string(kNothingToPlay) + " (" +
             (scene->keyframe_count == 0
                  ? std::string("it has a single key")
                  : "its keys do not move forward: the first is on frame " +
                        std::to_string((*scene->keyframe_frame)[0]) + ", the last on frame " +
                        std::to_string((*scene->keyframe_frame)[static_cast<size_t>(scene->keyframe_count)])) +
             "); the player, render and export refuse it"});
  for (const std::string& w : seq.warnings) findings.push_back({false, "source", w});
  const Range r = Played(*scene);
  CheckSeam(*scene, r, findings);
  CheckInvisible(*scene, r, probe, findings);
  CheckCutNames(*scene, findings);
  CheckShadowedKeys(seq, findings);
  if (!source.empty()) CheckSourceFields(source, seq.version, findings);
  CheckBounded(*scene, r, findings);
  // Errors first, then warnings, each in the order found.
  std::stable_sort(findings.begin(), findings.end(),
                   [](const LoopFinding& a, const LoopFinding& b) { return a.error > b.error; });
  return findings;
}

std::vector<SeamValue> SeamValues(const SceneState& scene) {
  std::vector<SeamValue> out;
  for (const SeamJump& j : SeamJumps(scene, Played(scene)))
    out.push_back({j.track, static_cast<float>(j.last - j.jump)});
  return out;
}

}  // namespace vl::render
