#include "engine/loop_edit.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <tuple>

#include "engine/keyframes.h"
#include "engine/numeric.h"
#include "engine/sequence_format.h"

namespace vl::engine {
namespace {

using Kind = LoopEdit::Kind;
using Target = std::tuple<int, int, int>;

LoadError Refused(std::string message) { return LoadError{"", std::move(message), std::nullopt, ""}; }

std::string FloatText(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

const std::bitset<kTrackCount>& KeyedTracks() {
  static const std::bitset<kTrackCount> keyed = [] {
    std::bitset<kTrackCount> b;
    for (const KeyGroup& g : KeyLayout())
      for (Track t : g.tracks) b.set(static_cast<size_t>(t));
    return b;
  }();
  return keyed;
}

auto& Keys(SceneState& scene) { return *scene.keyframe_frame; }
const auto& Keys(const SceneState& scene) { return *scene.keyframe_frame; }
int32_t KeyFrame(const SceneState& scene, int32_t k) { return Keys(scene)[static_cast<size_t>(k)]; }

// The setting that holds a string setting's length, if it has one.
std::optional<Setting> LengthField(Setting s) { return FindSetting(std::string(SettingName(s)) + "_length"); }

// The key row of the keyed tracks at one frame slot.
std::vector<float> RowAt(const SceneState& scene, int32_t frame) {
  std::vector<float> row(kTrackCount, 0.0f);
  for (int t = 0; t < kTrackCount; ++t)
    row[static_cast<size_t>(t)] = scene.tracks[static_cast<size_t>(t)].key_values[frame];
  return row;
}

void PutRow(SceneState& scene, int32_t frame, const std::vector<float>& row) {
  const auto& keyed = KeyedTracks();
  for (int t = 0; t < kTrackCount; ++t)
    if (keyed.test(static_cast<size_t>(t)))
      scene.tracks[static_cast<size_t>(t)].key_values[frame] = row[static_cast<size_t>(t)];
}

// The totals and cursor the load's expansion leaves, for the scene's key list as it stands.
void RecountFrames(SceneState& scene) {
  const int32_t count = scene.keyframe_count;
  int32_t total = 0;
  for (int32_t k = 0; k < count; ++k) {
    const int32_t start = KeyFrame(scene, k), end = KeyFrame(scene, k + 1);
    total += end - start;
    scene.bake_frame = end > start ? end : start;
    scene.bake_segment_end = end;
    scene.bake_segment_length = end - start;
  }
  scene.frame_count = total;
  scene.baked_frame_count = total;
  scene.bake_segment = count;
  // Playback advances one frame at a time and rewinds only on reaching the end exactly, so a
  // playhead left beyond a loop made shorter would never move again: it starts over, as at the end.
  if (scene.current_frame >= PlayedFrameCount(scene) || scene.current_frame < 0) scene.current_frame = 0;
}

// Frame slots an older key list expanded and the new one does not are cleared, as a load of the
// edited loop into a cleared scene would leave them; the played frames are all rewritten anyway.
struct Span {
  int32_t first, end;  // [first, end)
};
Span Expanded(const SceneState& scene) {
  if (scene.keyframe_count < 1) return {0, 0};
  int32_t lo = kFrameSlots, hi = 0;
  for (int32_t k = 0; k < scene.keyframe_count; ++k) {
    const int32_t s = KeyFrame(scene, k), e = KeyFrame(scene, k + 1);
    if (e > s) lo = std::min(lo, s), hi = std::max(hi, e);
  }
  return lo < hi ? Span{lo, hi} : Span{0, 0};
}

void ClearVacated(SceneState& scene, Span before, Span after) {
  for (int32_t f = before.first; f < before.end; ++f) {
    if (f >= after.first && f < after.end) continue;
    for (int t = 0; t < kTrackCount; ++t) scene.tracks[static_cast<size_t>(t)].frame_values[f] = 0.0f;
  }
}

// Every track from one segment on, through the load's own expansion (which carries tracks along
// in blocks): it resumes from the targets the segment before left.
void ExpandAll(SceneState& scene, int32_t from_segment) {
  from_segment = std::clamp(from_segment, 0, std::max(0, scene.keyframe_count));
  int32_t before = 0;
  for (int32_t k = 0; k < from_segment; ++k) before += KeyFrame(scene, k + 1) - KeyFrame(scene, k);
  if (from_segment > 0) {
    const int32_t s = KeyFrame(scene, 0), e = KeyFrame(scene, 1);
    for (int t = 0; t < kTrackCount; ++t) {
      ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
      track.previous_target = from_segment == 1 ? (e > s ? track.frame_values[e - 1] : track.initial_value)
                                                : track.key_values[KeyFrame(scene, from_segment)];
    }
  }
  scene.bake_segment = from_segment;
  scene.frame_count = scene.baked_frame_count = before;
  ExpandKeyframes(scene);
  RecountFrames(scene);
}

// ---- Checks ---------------------------------------------------------------------------------

Status CheckFinite(float v, const std::string& what) {
  if (!std::isfinite(v)) return Refused(what + " must be a finite number, not " + FloatText(v));
  return std::nullopt;
}

Status CheckKeyIndex(const SceneState& scene, int32_t key) {
  if (key < 0 || key > scene.keyframe_count)
    return Refused("there is no key " + std::to_string(key) + " (the loop has keys 0 .. " +
                   std::to_string(scene.keyframe_count) + ")");
  return std::nullopt;
}

Status CheckFrame(int32_t frame) {
  if (frame < 0 || frame > kMaxKeyFrame)
    return Refused("frame " + std::to_string(frame) + " is outside 0 .. " + std::to_string(kMaxKeyFrame));
  return std::nullopt;
}

// What the expansion needs of every key, checked even for an undo: a frame it can index, and no
// segment after the first starting on frame 0 (it reads the frame before).
Status CheckKeyFrameSafe(int32_t key, int32_t frame, int32_t count) {
  if (Status bad = CheckFrame(frame)) return bad;
  if (frame == 0 && key >= 1 && key < count)
    return Refused("key " + std::to_string(key) + " cannot be on frame 0: only the first and the last key may");
  return std::nullopt;
}

// Key `key` on `frame` keeps the keys in ascending order with its neighbours.
Status CheckBetweenNeighbours(const SceneState& scene, int32_t key, int32_t frame, int32_t count) {
  if (key > 0 && frame <= KeyFrame(scene, key - 1))
    return Refused("a key on frame " + std::to_string(frame) + " would not come after key " + std::to_string(key - 1) +
                   " on frame " + std::to_string(KeyFrame(scene, key - 1)));
  if (key < count && frame >= KeyFrame(scene, key + 1))
    return Refused("a key on frame " + std::to_string(frame) + " would not come before key " + std::to_string(key + 1) +
                   " on frame " + std::to_string(KeyFrame(scene, key + 1)));
  return std::nullopt;
}

Status CheckKeyFrames(const SceneState& scene, const std::vector<int32_t>& frames) {
  if (static_cast<int64_t>(frames.size()) != int64_t{scene.keyframe_count} + 1)
    return Refused("the loop has " + std::to_string(scene.keyframe_count + 1) + " keys, not " +
                   std::to_string(frames.size()));
  for (size_t k = 0; k < frames.size(); ++k) {
    if (Status bad = CheckFrame(frames[k])) return bad;
    if (k > 0 && frames[k] <= frames[k - 1])
      return Refused("key " + std::to_string(k) + " on frame " + std::to_string(frames[k]) +
                     " would not come after frame " + std::to_string(frames[k - 1]));
  }
  return std::nullopt;
}

// The key list must be ascending around the place an edit works on.
Status CheckOrdered(const SceneState& scene) {
  for (int32_t k = 1; k <= scene.keyframe_count; ++k)
    if (KeyFrame(scene, k) <= KeyFrame(scene, k - 1))
      return Refused("the loop's key frames are not in ascending order (key " + std::to_string(k) + " on frame " +
                     std::to_string(KeyFrame(scene, k)) + "); fix their order first");
  return std::nullopt;
}

// Where a key on `frame` goes in an ascending key list: its index.
int32_t InsertPosition(const SceneState& scene, int32_t frame) {
  int32_t p = 0;
  while (p <= scene.keyframe_count && KeyFrame(scene, p) < frame) ++p;
  return p;
}

// ---- Asset reloads --------------------------------------------------------------------------

void ReloadFor(SceneState& scene, Setting s, SequenceAssets& assets) {
  const SequenceSettings& st = scene.settings;
  auto picture = [&](const std::string& name, float length, TextureSlot slot) {
    assets.LoadPictureTexture(scene, CutName(name, length), slot);
  };
  auto model = [&](int i, float load, const std::string& file) {
    if (vl::IsOn(load)) assets.LoadModel(scene, i, WholeName(file));
  };
  auto model_texture = [&](float mode, const std::string& name, TextureSlot slot) {
    if (mode <= 1.0f) assets.LoadPictureTextureMipmapped(scene, WholeName(name), slot);
    else if (mode >= 2.0f) assets.LoadPictureTexture(scene, WholeName(name), slot);
  };
  switch (s) {
    case Setting::text_string:
    case Setting::text_font_face:
    case Setting::text_font_weight:
    case Setting::text_font_italic:
    case Setting::text_wireframe: assets.RebuildGlyphLists(scene); break;
    case Setting::sequence_texture_name:
    case Setting::sequence_texture_name_length:
    case Setting::sequence_texture_mode: {
      const std::string name = st.sequence_texture_mode <= 1.0f
                                   ? CutName(st.sequence_texture_name, st.sequence_texture_name_length)
                                   : std::string("Textures/Gold.jpg");
      if (st.sequence_texture_mode <= 1.0f || st.sequence_texture_mode >= 2.0f) {
        assets.LoadPictureTextureMipmapped(scene, name, TextureSlot::text_texture);
        assets.LoadPictureTextureMipmapped(scene, name, TextureSlot::custom_image_texture);
      }
      break;
    }
    case Setting::sprite_texture_name:
    case Setting::sprite_texture_name_length:
      picture(st.sprite_texture_name, st.sprite_texture_name_length, TextureSlot::sprite_texture);
      break;
    case Setting::particle_texture_name:
    case Setting::particle_texture_name_length:
    case Setting::particle_texture_mode:
      if (vl::IsOn(st.particle_texture_mode))
        assets.LoadParticleTexture(scene, CutName(st.particle_texture_name, st.particle_texture_name_length));
      break;
    case Setting::fountain_texture_name:
    case Setting::fountain_texture_name_length:
      picture(st.fountain_texture_name, st.fountain_texture_name_length, TextureSlot::fountain_texture);
      break;
    case Setting::tunnel_texture_name:
    case Setting::tunnel_texture_name_length:
      picture(st.tunnel_texture_name, st.tunnel_texture_name_length, TextureSlot::tunnel_texture);
      break;
    case Setting::backdrop_1_texture_name:
    case Setting::backdrop_1_texture_name_length:
      picture(st.backdrop_1_texture_name, st.backdrop_1_texture_name_length, TextureSlot::backdrop_1_texture);
      break;
    case Setting::backdrop_2_texture_name:
    case Setting::backdrop_2_texture_name_length:
      picture(st.backdrop_2_texture_name, st.backdrop_2_texture_name_length, TextureSlot::backdrop_2_texture);
      break;
    case Setting::model_1_file_name:
    case Setting::model_1_load: model(0, st.model_1_load, st.model_1_file_name); break;
    case Setting::model_2_file_name:
    case Setting::model_2_load: model(1, st.model_2_load, st.model_2_file_name); break;
    case Setting::model_3_file_name:
    case Setting::model_3_load: model(2, st.model_3_load, st.model_3_file_name); break;
    case Setting::model_1_texture_name:
    case Setting::model_1_texture_mode:
      model_texture(st.model_1_texture_mode, st.model_1_texture_name, TextureSlot::model_1_texture);
      break;
    case Setting::model_2_texture_name:
    case Setting::model_2_texture_mode:
      model_texture(st.model_2_texture_mode, st.model_2_texture_name, TextureSlot::model_2_texture);
      break;
    case Setting::model_3_texture_name:
    case Setting::model_3_texture_mode:
      model_texture(st.model_3_texture_mode, st.model_3_texture_name, TextureSlot::model_3_texture);
      break;
    case Setting::photo_a_name: assets.LoadPhotoTextureA(scene, WholeName(st.photo_a_name)); break;
    case Setting::photo_b_name: assets.LoadPhotoTextureB(scene, WholeName(st.photo_b_name)); break;
    default: break;
  }
}

// ---- Applying -------------------------------------------------------------------------------

class Applier {
 public:
  Applier(SceneState& scene, SequenceAssets* assets, bool check) : scene_(scene), assets_(assets), check_(check) {}

  Expected<AppliedEdit> Apply(const LoopEdit& e) {
    // An undo puts back what was there, which may be a value no edit would be allowed to write
    // (a NaN read from a file, keys out of order): it is not checked again.
    const bool outer = check_;
    if (e.restores) check_ = false;
    auto done = Dispatch(e);
    check_ = outer;
    return done;
  }

 private:
  Expected<AppliedEdit> Dispatch(const LoopEdit& e) {
    switch (e.kind) {
      case Kind::kSetSetting: return SetSetting(e);
      case Kind::kSetInitial: return SetInitial(e);
      case Kind::kSetKeyValue: return SetKeyValue(e);
      case Kind::kInsertKey: return InsertKey(e);
      case Kind::kDeleteKey: return DeleteKey(e);
      case Kind::kMoveKey: return MoveKey(e);
      case Kind::kSetKeyFrames: return SetKeyFrames(e, e.frames, e.description);
      case Kind::kSetLength: return SetLength(e);
      case Kind::kGroup: return Group(e);
    }
    return Refused("unknown edit");
  }

  bool Checking() const { return check_; }

  AppliedEdit Done(LoopEdit redo, LoopEdit undo) {
    AppliedEdit a;
    undo.restores = true;
    if (undo.description.empty()) undo.description = redo.description;
    a.redo = std::move(redo);
    a.undo = std::move(undo);
    return a;
  }

  Expected<AppliedEdit> SetSetting(const LoopEdit& e) {
    const size_t index = static_cast<size_t>(e.setting);
    if (index >= kSettingCatalogue.size()) return Refused("unknown setting");
    const std::string name = SettingName(e.setting);
    SequenceSettings& st = scene_.settings;
    LoopEdit undo;
    AppliedEdit applied;
    switch (kSettingCatalogue[index].type) {
      case SettingType::F:
        if (Checking())
          if (Status bad = CheckFinite(e.number, name)) return *bad;
        undo = SetFloatSettingEdit(e.setting, *st.FloatField(e.setting));
        *st.FloatField(e.setting) = e.number;
        break;
      case SettingType::I:
        undo = SetIntSettingEdit(e.setting, *st.IntField(e.setting));
        *st.IntField(e.setting) = e.integer;
        break;
      case SettingType::S: {
        if (Checking()) {
          if (e.bytes.size() > kMaxSettingBytes)
            return Refused(name + " of " + std::to_string(e.bytes.size()) + " bytes is longer than " +
                           std::to_string(kMaxSettingBytes) + " bytes");
          if (e.bytes.find('\0') != std::string::npos) return Refused(name + " cannot hold a NUL character");
        }
        const auto length = LengthField(e.setting);
        std::vector<LoopEdit> back{SetStringSettingEdit(e.setting, *st.StringField(e.setting))};
        if (length) {
          back.push_back(SetFloatSettingEdit(*length, *st.FloatField(*length)));
          *st.FloatField(*length) = static_cast<float>(e.bytes.size());
          applied.settings.set(static_cast<size_t>(*length));
        }
        *st.StringField(e.setting) = e.bytes;
        undo = back.size() == 1 ? std::move(back[0]) : GroupEdit(std::move(back), e.description);
        break;
      }
    }
    applied.settings.set(index);
    if (assets_) ReloadFor(scene_, e.setting, *assets_);
    AppliedEdit out = Done(e, std::move(undo));
    out.settings = applied.settings;
    return out;
  }

  Expected<AppliedEdit> SetInitial(const LoopEdit& e) {
    if (static_cast<size_t>(e.track) >= kTrackCatalogue.size()) return Refused("unknown track");
    if (Checking())
      if (Status bad = CheckFinite(e.value, std::string("the initial value of ") + TrackName(e.track))) return *bad;
    ParameterTrack& track = scene_.track(e.track);
    LoopEdit undo = SetInitialEdit(e.track, track.initial_value);
    track.initial_value = e.value;
    ExpandTrack(scene_, e.track, 0);
    AppliedEdit out = Done(e, std::move(undo));
    out.tracks.set(static_cast<size_t>(e.track));
    return out;
  }

  Expected<AppliedEdit> SetKeyValue(const LoopEdit& e) {
    if (static_cast<size_t>(e.track) >= kTrackCatalogue.size()) return Refused("unknown track");
    if (Status bad = CheckKeyIndex(scene_, e.key)) return *bad;
    if (Checking()) {
      if (!IsKeyedTrack(e.track))
        return Refused(std::string(TrackName(e.track)) +
                       " has no values at keys in a loop file, only an initial value");
      if (Status bad = CheckFinite(e.value, std::string("a value of ") + TrackName(e.track))) return *bad;
    }
    float& slot = scene_.track(e.track).key_values[KeyFrame(scene_, e.key)];
    LoopEdit undo = SetKeyValueEdit(e.track, e.key, slot);
    slot = e.value;
    ExpandTrack(scene_, e.track, std::max(0, e.key - 1));
    AppliedEdit out = Done(e, std::move(undo));
    out.tracks.set(static_cast<size_t>(e.track));
    return out;
  }

  Expected<AppliedEdit> InsertKey(const LoopEdit& e) {
    const int32_t count = scene_.keyframe_count;
    if (Status bad = CheckFrame(e.frame)) return *bad;
    if (count + 1 > kMaxKeyframeCount)
      return Refused("the loop already has the most keys a loop file holds (" + std::to_string(count + 1) + ")");
    if (!e.row.empty() && e.row.size() != static_cast<size_t>(kTrackCount))
      return Refused("a key row needs one value for each of the " + std::to_string(kTrackCount) + " tracks");
    // Taking back a deletion puts the key back where it was, whatever the order around it.
    int32_t p = e.key;
    if (Checking()) {
      if (Status bad = CheckOrdered(scene_)) return *bad;
      if (auto at = FindKeyAtFrame(scene_, e.frame))
        return Refused("there is already a key on frame " + std::to_string(e.frame) + " (key " + std::to_string(*at) +
                       ")");
      if (e.frame < KeyFrame(scene_, 0))
        return Refused("frame " + std::to_string(e.frame) + " comes before the first key (frame " +
                       std::to_string(KeyFrame(scene_, 0)) + "); move the first key instead");
      p = InsertPosition(scene_, e.frame);
    } else if (p < 0 || p > count + 1) {
      return Refused("there is no place " + std::to_string(p) + " for a key");
    }
    if (Status bad = CheckKeyFrameSafe(p, e.frame, count + 1)) return *bad;
    if (p == count + 1 && count >= 1 && KeyFrame(scene_, count) == 0)
      return Refused("the last key is on frame 0, so no key can come after it");
    // Every track keeps its motion: inside a segment the new key takes the value already played
    // on the frame before it (where a key's value lands); after the last key, the value the last
    // segment aims at, so the new segment holds still.
    std::vector<float> row = e.row;
    if (row.empty()) {
      row.assign(kTrackCount, 0.0f);
      const int32_t last = KeyFrame(scene_, count);
      for (int t = 0; t < kTrackCount; ++t) {
        const ParameterTrack& track = scene_.tracks[static_cast<size_t>(t)];
        float v;
        if (p <= count && e.frame > 0) v = track.frame_values[e.frame - 1];
        else if (count == 0) v = track.initial_value;
        else if (count == 1) v = last > KeyFrame(scene_, 0) ? track.frame_values[last - 1] : track.initial_value;
        else v = track.key_values[last];
        row[static_cast<size_t>(t)] = v;
      }
    }
    const Span before = Expanded(scene_);
    auto& keys = Keys(scene_);
    std::copy_backward(keys.begin() + p, keys.begin() + count + 1, keys.begin() + count + 2);
    keys[static_cast<size_t>(p)] = e.frame;
    scene_.keyframe_count = count + 1;
    PutRow(scene_, e.frame, row);
    ExpandAll(scene_, std::max(0, p - 1));
    ClearVacated(scene_, before, Expanded(scene_));
    LoopEdit redo = e;
    redo.row = std::move(row);
    redo.key = p;
    LoopEdit undo = DeleteKeyEdit(p);
    AppliedEdit out = Done(std::move(redo), std::move(undo));
    out.tracks.set();
    out.keys_changed = true;
    return out;
  }

  Expected<AppliedEdit> DeleteKey(const LoopEdit& e) {
    const int32_t count = scene_.keyframe_count;
    if (Status bad = CheckKeyIndex(scene_, e.key)) return *bad;
    if (count < 1) return Refused("key " + std::to_string(e.key) + " is the loop's only key");
    if (Checking() && count < 2)
      return Refused("a loop needs at least two keys; key " + std::to_string(e.key) + " is one of its last two");
    const int32_t frame = KeyFrame(scene_, e.key);
    std::vector<float> row = RowAt(scene_, frame);
    const Span before = Expanded(scene_);
    auto& keys = Keys(scene_);
    std::copy(keys.begin() + e.key + 1, keys.begin() + count + 1, keys.begin() + e.key);
    keys[static_cast<size_t>(count)] = 0;
    scene_.keyframe_count = count - 1;
    ExpandAll(scene_, std::max(0, e.key - 1));
    ClearVacated(scene_, before, Expanded(scene_));
    LoopEdit undo = InsertKeyEdit(frame);
    undo.row = std::move(row);
    undo.key = e.key;  // where it goes back, for loops whose frames are not ascending
    undo.description = e.description;
    AppliedEdit out = Done(e, std::move(undo));
    out.tracks.set();
    out.keys_changed = true;
    return out;
  }

  Expected<AppliedEdit> MoveKey(const LoopEdit& e) {
    const int32_t count = scene_.keyframe_count;
    if (Status bad = CheckKeyIndex(scene_, e.key)) return *bad;
    if (Status bad = CheckFrame(e.frame)) return *bad;
    if (Status bad = CheckKeyFrameSafe(e.key, e.frame, count)) return *bad;
    const int32_t from = KeyFrame(scene_, e.key);
    if (Checking()) {
      if (Status bad = CheckBetweenNeighbours(scene_, e.key, e.frame, count)) return *bad;
    }
    const Span before = Expanded(scene_);
    if (e.frame != from) PutRow(scene_, e.frame, RowAt(scene_, from));
    Keys(scene_)[static_cast<size_t>(e.key)] = e.frame;
    ExpandAll(scene_, std::max(0, e.key - 1));
    ClearVacated(scene_, before, Expanded(scene_));
    LoopEdit undo = MoveKeyEdit(e.key, from);
    undo.description = e.description;
    AppliedEdit out = Done(e, std::move(undo));
    out.tracks.set();
    out.keys_changed = true;
    return out;
  }

  Expected<AppliedEdit> SetKeyFrames(const LoopEdit& e, const std::vector<int32_t>& frames, const std::string& what) {
    if (Checking()) {
      if (Status bad = CheckKeyFrames(scene_, frames)) return *bad;
    } else if (static_cast<int64_t>(frames.size()) != int64_t{scene_.keyframe_count} + 1) {
      return Refused("key count changed");
    }
    for (size_t k = 0; k < frames.size(); ++k)
      if (Status bad = CheckKeyFrameSafe(static_cast<int32_t>(k), frames[k], scene_.keyframe_count)) return *bad;
    const int32_t count = scene_.keyframe_count;
    std::vector<int32_t> old(static_cast<size_t>(count) + 1);
    std::vector<std::vector<float>> rows;
    rows.reserve(old.size());
    for (int32_t k = 0; k <= count; ++k) {
      old[static_cast<size_t>(k)] = KeyFrame(scene_, k);
      rows.push_back(RowAt(scene_, old[static_cast<size_t>(k)]));
    }
    const Span before = Expanded(scene_);
    for (int32_t k = 0; k <= count; ++k) {
      Keys(scene_)[static_cast<size_t>(k)] = frames[static_cast<size_t>(k)];
      PutRow(scene_, frames[static_cast<size_t>(k)], rows[static_cast<size_t>(k)]);
    }
    ExpandAll(scene_, 0);
    ClearVacated(scene_, before, Expanded(scene_));
    LoopEdit redo = SetKeyFramesEdit(frames);
    redo.description = what.empty() ? e.description : what;
    LoopEdit undo = SetKeyFramesEdit(std::move(old));
    AppliedEdit out = Done(std::move(redo), std::move(undo));
    out.tracks.set();
    out.keys_changed = true;
    return out;
  }

  Expected<AppliedEdit> SetLength(const LoopEdit& e) {
    const int32_t count = scene_.keyframe_count;
    if (count < 1) return Refused("the loop has a single key; add a key to give it a length");
    if (Status bad = CheckOrdered(scene_)) return *bad;
    if (e.frame < 1) return Refused("a loop's length must be at least 1 frame, not " + std::to_string(e.frame));
    const int32_t first = KeyFrame(scene_, 0);
    if (int64_t{first} + e.frame > kMaxKeyFrame)
      return Refused("a length of " + std::to_string(e.frame) + " frames from frame " + std::to_string(first) +
                     " runs past frame " + std::to_string(kMaxKeyFrame));
    std::vector<int32_t> frames(static_cast<size_t>(count) + 1);
    const int64_t old_length = KeyFrame(scene_, count) - first;
    for (int32_t k = 0; k <= count; ++k) {
      const int64_t offset = KeyFrame(scene_, k) - first;
      int64_t to = offset;
      if (k == count) to = e.frame;
      else if (e.stretch) to = (offset * e.frame * 2 + old_length) / (old_length * 2);  // rounded
      frames[static_cast<size_t>(k)] = static_cast<int32_t>(first + to);
    }
    for (int32_t k = 1; k <= count; ++k)
      if (frames[static_cast<size_t>(k)] <= frames[static_cast<size_t>(k - 1)])
        return Refused(e.stretch ? "a length of " + std::to_string(e.frame) + " frames is too short to keep the " +
                                       std::to_string(count + 1) + " keys on frames of their own"
                                 : "a length of " + std::to_string(e.frame) +
                                       " frames would put the last key on or before key " + std::to_string(count - 1) +
                                       " (frame " + std::to_string(KeyFrame(scene_, count - 1)) + ")");
    return SetKeyFrames(e, frames, e.description);
  }

  Expected<AppliedEdit> Group(const LoopEdit& e) {
    AppliedEdit all;
    std::vector<LoopEdit> redo, undo;
    for (const LoopEdit& step : e.steps) {
      auto done = Apply(step);
      if (!done) {
        // Take back what the group already did, last first, so a refused group changes nothing.
        Applier back(scene_, assets_, false);
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) (void)back.Apply(*it);
        return done.error();
      }
      all.tracks |= done->tracks;
      all.settings |= done->settings;
      all.keys_changed |= done->keys_changed;
      redo.push_back(std::move(done->redo));
      undo.push_back(std::move(done->undo));
    }
    std::reverse(undo.begin(), undo.end());
    all.redo = GroupEdit(std::move(redo), e.description);
    all.undo = GroupEdit(std::move(undo), e.description);
    all.undo.restores = true;
    return all;
  }

  SceneState& scene_;
  SequenceAssets* assets_;
  bool check_;
};

// A number as dump prints it: finite, and within a float's range.
std::optional<double> ParseNumber(std::string_view text) {
  const std::string s(text);
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  // (A value too small for a double is taken as 0; one too large comes back infinite.)
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace

// ---- Making edits ---------------------------------------------------------------------------

LoopEdit SetFloatSettingEdit(Setting setting, float value) {
  LoopEdit e;
  e.kind = Kind::kSetSetting;
  e.setting = setting;
  e.number = value;
  e.description = std::string("Set ") + SettingName(setting);
  return e;
}

LoopEdit SetIntSettingEdit(Setting setting, int32_t value) {
  LoopEdit e = SetFloatSettingEdit(setting, 0.0f);
  e.integer = value;
  return e;
}

LoopEdit SetStringSettingEdit(Setting setting, std::string bytes) {
  LoopEdit e = SetFloatSettingEdit(setting, 0.0f);
  e.bytes = std::move(bytes);
  return e;
}

LoopEdit SetInitialEdit(Track track, float value) {
  LoopEdit e;
  e.kind = Kind::kSetInitial;
  e.track = track;
  e.value = value;
  e.description = std::string("Set the initial value of ") + TrackName(track);
  return e;
}

LoopEdit SetKeyValueEdit(Track track, int32_t key, float value) {
  LoopEdit e;
  e.kind = Kind::kSetKeyValue;
  e.track = track;
  e.key = key;
  e.value = value;
  e.description = std::string("Set ") + TrackName(track) + " at key " + std::to_string(key);
  return e;
}

LoopEdit InsertKeyEdit(int32_t frame) {
  LoopEdit e;
  e.kind = Kind::kInsertKey;
  e.frame = frame;
  e.description = "Add a key on frame " + std::to_string(frame);
  return e;
}

LoopEdit DeleteKeyEdit(int32_t key) {
  LoopEdit e;
  e.kind = Kind::kDeleteKey;
  e.key = key;
  e.description = "Delete key " + std::to_string(key);
  return e;
}

LoopEdit MoveKeyEdit(int32_t key, int32_t to_frame) {
  LoopEdit e;
  e.kind = Kind::kMoveKey;
  e.key = key;
  e.frame = to_frame;
  e.description = "Move key " + std::to_string(key) + " to frame " + std::to_string(to_frame);
  return e;
}

LoopEdit SetKeyFramesEdit(std::vector<int32_t> frames) {
  LoopEdit e;
  e.kind = Kind::kSetKeyFrames;
  e.frames = std::move(frames);
  e.description = "Move the keys";
  return e;
}

LoopEdit SetLengthEdit(int32_t frames, bool stretch) {
  LoopEdit e;
  e.kind = Kind::kSetLength;
  e.frame = frames;
  e.stretch = stretch;
  e.description = "Set the length to " + std::to_string(frames) + " frames";
  return e;
}

LoopEdit GroupEdit(std::vector<LoopEdit> steps, std::string description) {
  LoopEdit e;
  e.kind = Kind::kGroup;
  e.steps = std::move(steps);
  e.description = std::move(description);
  return e;
}

LoopEdit SetValueAtFrameEdit(const SceneState& scene, Track track, int32_t frame, float value) {
  if (auto key = FindKeyAtFrame(scene, frame)) return SetKeyValueEdit(track, *key, value);
  // Where the new key will be once inserted (an insert that cannot be made refuses the group).
  const int32_t index = InsertPosition(scene, frame);
  LoopEdit e = GroupEdit({InsertKeyEdit(frame), SetKeyValueEdit(track, index, value)}, "");
  e.description = std::string("Set ") + TrackName(track) + " on frame " + std::to_string(frame);
  return e;
}

namespace {
// The characters Windows-1252 puts on 0x80 .. 0x9F (0 where it leaves the byte undefined).
constexpr uint16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void AppendUtf8(std::string& out, uint32_t u) {
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}
}  // namespace

std::string SettingText(const SceneState& scene, Setting setting) {
  const SequenceSettings& st = scene.settings;
  switch (kSettingCatalogue[static_cast<size_t>(setting)].type) {
    case SettingType::F: return FloatText(*st.FloatField(setting));
    case SettingType::I: return std::to_string(*st.IntField(setting));
    case SettingType::S: {
      std::string out;
      for (const char ch : *st.StringField(setting)) {
        const auto c = static_cast<unsigned char>(ch);
        AppendUtf8(out, c >= 0x80 && c <= 0x9F && kHigh[c - 0x80] ? kHigh[c - 0x80] : c);
      }
      return out;
    }
  }
  return {};
}

std::optional<std::string> Utf8ToWindows1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(utf8[k]); };
    const unsigned char c = b(i);
    uint32_t u;
    size_t n;
    if (c < 0x80) u = c, n = 1;
    else if (c >= 0xC2 && c <= 0xDF) u = c & 0x1Fu, n = 2;
    else if (c >= 0xE0 && c <= 0xEF) u = c & 0x0Fu, n = 3;
    else if (c >= 0xF0 && c <= 0xF4) u = c & 0x07u, n = 4;
    else return std::nullopt;
    if (i + n > utf8.size()) return std::nullopt;
    for (size_t k = 1; k < n; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) return std::nullopt;
      u = (u << 6) | (b(i + k) & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((n == 3 && u < 0x800) || (n == 4 && (u < 0x10000 || u > 0x10FFFF)) || (u >= 0xD800 && u <= 0xDFFF))
      return std::nullopt;
    i += n;
    if (u == 0) return std::nullopt;
    if (u <= 0xFF) {
      out += static_cast<char>(u);
      continue;
    }
    const uint16_t* hit = std::find(std::begin(kHigh), std::end(kHigh), u);
    if (u > 0xFFFF || hit == std::end(kHigh)) return std::nullopt;
    out += static_cast<char>(0x80 + (hit - std::begin(kHigh)));
  }
  return out;
}

Expected<Track> ParseTrackName(std::string_view name) {
  if (auto t = FindTrack(name)) return *t;
  if (FindSetting(name)) return Refused("'" + EscapeControl(name) + "' is a setting, not a track");
  return Refused("unknown track '" + EscapeControl(name) + "'");
}

Expected<float> ParseTrackValue(std::string_view value) {
  const auto v = ParseNumber(value);
  if (!v) return Refused("'" + EscapeControl(value) + "' is not a finite number");
  if (std::fabs(*v) > std::numeric_limits<float>::max())
    return Refused("'" + EscapeControl(value) + "' is too large for a float (at most 3.40282347e+38)");
  return static_cast<float>(*v);
}

Expected<LoopEdit> ParseSettingEdit(std::string_view name, std::string_view value) {
  const auto s = FindSetting(name);
  if (!s) {
    if (FindTrack(name)) return Refused("'" + EscapeControl(name) + "' is a track, not a setting");
    return Refused("unknown setting '" + EscapeControl(name) + "'");
  }
  switch (kSettingCatalogue[static_cast<size_t>(*s)].type) {
    case SettingType::F: {
      auto v = ParseTrackValue(value);
      if (!v) return Refused(std::string(SettingName(*s)) + ": " + v.error().message);
      return SetFloatSettingEdit(*s, *v);
    }
    case SettingType::I: {
      const std::string text(value);
      errno = 0;
      char* end = nullptr;
      const long long v =
          text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ? 0 : std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
          v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return Refused(std::string(SettingName(*s)) + ": '" + EscapeControl(value) +
                       "' is not a whole number from -2147483648 to 2147483647");
      return SetIntSettingEdit(*s, static_cast<int32_t>(v));
    }
    case SettingType::S: {
      auto bytes = Utf8ToWindows1252(value);
      if (!bytes)
        return Refused(std::string(SettingName(*s)) + ": '" + EscapeControl(value) +
                       "' has characters a loop file's 8-bit (Windows-1252) text cannot hold");
      if (bytes->size() > kMaxSettingBytes)
        return Refused(std::string(SettingName(*s)) + ": " + std::to_string(bytes->size()) +
                       " characters are more than the " + std::to_string(kMaxSettingBytes) + " a name can have");
      return SetStringSettingEdit(*s, std::move(*bytes));
    }
  }
  return Refused("unknown setting type");
}

// ---- Applying -------------------------------------------------------------------------------

Expected<AppliedEdit> ApplyEdit(SceneState& scene, const LoopEdit& edit, SequenceAssets* assets) {
  return Applier(scene, assets, true).Apply(edit);
}

void ExpandTrack(SceneState& scene, Track t, int32_t from_segment) {
  // The load's expansion, for one track: the same double steps, the same float accumulation.
  const int32_t count = scene.keyframe_count;
  const auto& keys = Keys(scene);
  ParameterTrack& track = scene.track(t);
  float* values = track.frame_values;
  if (from_segment < 0) from_segment = 0;
  if (from_segment >= count) return;
  float running = track.running_value;
  float previous = track.previous_target;
  float target = track.segment_target;
  if (from_segment == 1) {
    const int32_t s = keys[0], e = keys[1];
    previous = e > s ? values[e - 1] : track.initial_value;
  } else if (from_segment > 1) {
    previous = track.key_values[keys[static_cast<size_t>(from_segment)]];
  }
  for (int32_t k = from_segment; k < count; ++k) {
    const int32_t start = keys[static_cast<size_t>(k)];
    const int32_t end = keys[static_cast<size_t>(k) + 1];
    const int32_t length = end - start;
    double step;
    if (k == 0) {
      running = track.initial_value;
      step = static_cast<double>(track.key_values[end]) - static_cast<double>(track.initial_value);
    } else {
      running = values[start - 1];
      target = track.key_values[end];
      step = static_cast<double>(target) - static_cast<double>(previous);
    }
    if (length > 0) {
      step /= static_cast<double>(length);
      for (int32_t f = start; f < end; ++f) {
        running = static_cast<float>(static_cast<double>(running) + step);
        values[f] = running;
      }
    }
    previous = k == 0 ? running : target;
  }
  track.running_value = running;
  track.previous_target = previous;
  track.segment_target = target;
}

// ---- Reading --------------------------------------------------------------------------------

std::optional<int32_t> FindKeyAtFrame(const SceneState& scene, int32_t frame) {
  for (int32_t k = 0; k <= scene.keyframe_count; ++k)
    if (KeyFrame(scene, k) == frame) return k;
  return std::nullopt;
}

bool IsKeyedTrack(Track track) { return KeyedTracks().test(static_cast<size_t>(track)); }

std::vector<KeyMarker> KeyMarkers(const SceneState& scene, Track track) {
  std::vector<KeyMarker> out;
  out.reserve(static_cast<size_t>(scene.keyframe_count) + 1);
  for (int32_t k = 0; k <= scene.keyframe_count; ++k) {
    const int32_t frame = KeyFrame(scene, k);
    out.push_back({k, frame, scene.track(track).key_values[frame], k == 0 ? frame : std::max(0, frame - 1)});
  }
  return out;
}

// ---- Undo -----------------------------------------------------------------------------------

namespace {

// What an edit sets, by key index: settings, initial values, key values, key frames. False for
// edits that add or remove keys, after which indices mean other keys.
bool SetterTargets(const LoopEdit& e, std::set<Target>& out) {
  switch (e.kind) {
    case Kind::kSetSetting:
      out.insert({0, static_cast<int>(e.setting), 0});
      if (kSettingCatalogue[static_cast<size_t>(e.setting)].type == SettingType::S)
        if (auto length = LengthField(e.setting)) out.insert({0, static_cast<int>(*length), 0});
      return true;
    case Kind::kSetInitial: out.insert({1, static_cast<int>(e.track), 0}); return true;
    case Kind::kSetKeyValue: out.insert({2, static_cast<int>(e.track), e.key}); return true;
    case Kind::kMoveKey: out.insert({3, e.key, 0}); return true;
    case Kind::kSetKeyFrames:
      for (size_t k = 0; k < e.frames.size(); ++k) out.insert({3, static_cast<int>(k), 0});
      return true;
    case Kind::kGroup:
      for (const LoopEdit& step : e.steps)
        if (!SetterTargets(step, out)) return false;
      return true;
    default: return false;
  }
}

void Append(LoopEdit& into, LoopEdit add, bool front) {
  if (into.kind != Kind::kGroup) {
    std::string description = into.description;
    const bool restores = into.restores;
    std::vector<LoopEdit> steps;
    steps.push_back(std::move(into));
    into = GroupEdit(std::move(steps), std::move(description));
    into.restores = restores;
  }
  if (front) into.steps.insert(into.steps.begin(), std::move(add));
  else into.steps.push_back(std::move(add));
}

}  // namespace

void QueueEdit(std::vector<LoopEdit>& queue, LoopEdit edit) {
  std::set<Target> sets;
  if (SetterTargets(edit, sets)) {
    for (size_t i = queue.size(); i-- > 0;) {
      std::set<Target> earlier;
      if (!SetterTargets(queue[i], earlier)) break;  // key indices may mean other keys before it
      if (std::includes(sets.begin(), sets.end(), earlier.begin(), earlier.end()))
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  queue.push_back(std::move(edit));
}

Expected<AppliedEdit> EditHistory::Apply(SceneState& scene, const LoopEdit& edit, SequenceAssets* assets, bool merge) {
  auto done = ApplyEdit(scene, edit, assets);
  if (!done) return done;
  if (saved_ > static_cast<std::ptrdiff_t>(position_)) saved_ = -1;
  steps_.resize(position_);
  const bool join = merge && position_ > 0 && saved_ != static_cast<std::ptrdiff_t>(position_);
  if (join) {
    Step& last = steps_.back();
    const std::string description = last.redo.description;
    // Redo runs the old then the new; undo takes back the new then the old. When the new edit
    // only sets again what the step already set (a drag), the step's undo already puts all of
    // it back, and with the very same things set the new edit alone redoes the step: a long
    // drag stays one short step instead of growing with every move.
    std::set<Target> old_targets, new_targets;
    const bool setters = SetterTargets(last.redo, old_targets) && SetterTargets(done->redo, new_targets);
    const bool covered =
        setters && std::includes(old_targets.begin(), old_targets.end(), new_targets.begin(), new_targets.end());
    if (covered && old_targets == new_targets) last.redo = done->redo;
    else Append(last.redo, done->redo, false);
    if (!covered) Append(last.undo, done->undo, true);
    last.redo.description = last.undo.description = description;
  } else {
    steps_.push_back({done->redo, done->undo});
    ++position_;
  }
  return done;
}

std::optional<AppliedEdit> EditHistory::Undo(SceneState& scene, SequenceAssets* assets) {
  if (!CanUndo()) return std::nullopt;
  const Step& step = steps_[position_ - 1];
  auto done = Applier(scene, assets, false).Apply(step.undo);
  if (!done) return std::nullopt;
  --position_;
  return std::move(*done);
}

std::optional<AppliedEdit> EditHistory::Redo(SceneState& scene, SequenceAssets* assets) {
  if (!CanRedo()) return std::nullopt;
  const Step& step = steps_[position_];
  auto done = Applier(scene, assets, false).Apply(step.redo);
  if (!done) return std::nullopt;
  ++position_;
  return std::move(*done);
}

std::vector<std::string> EditHistory::UndoDescriptions() const {
  std::vector<std::string> out;
  for (size_t i = position_; i > 0; --i) out.push_back(steps_[i - 1].redo.description);
  return out;
}

std::vector<std::string> EditHistory::RedoDescriptions() const {
  std::vector<std::string> out;
  for (size_t i = position_; i < steps_.size(); ++i) out.push_back(steps_[i].redo.description);
  return out;
}

void EditHistory::Clear() {
  steps_.clear();
  position_ = 0;
  saved_ = 0;
}

}  // namespace vl::engine
