#include "engine/sequence_loader.h"

#include <algorithm>

#include "engine/asset_paths.h"
#include "engine/keyframes.h"
#include "engine/numeric.h"
#include "engine/sequence_format.h"
#include "engine/sequence_text.h"

namespace vl::engine {

std::string CutName(const std::string& name, float length_field) {
  const int32_t n = TruncToInt(length_field);
  const size_t keep = n <= 0 ? 0 : std::min({static_cast<size_t>(n), name.size(), kNameBufferLimit});
  return name.substr(0, keep);
}

std::string WholeName(const std::string& name) { return name.substr(0, kWholeNameLimit); }

namespace {

constexpr const char* kGoldTexture = "Textures/Gold.jpg";

void CopySetting(SequenceSettings& to, const SequenceSettings& from, Setting s) {
  switch (kSettingCatalogue[static_cast<size_t>(s)].type) {
    case SettingType::F: *to.FloatField(s) = *from.FloatField(s); break;
    case SettingType::I: *to.IntField(s) = *from.IntField(s); break;
    case SettingType::S: *to.StringField(s) = *from.StringField(s); break;
  }
}

void LoadModelsAndTextures(SceneState& scene, float version, SequenceAssets& assets) {
  const SequenceSettings& st = scene.settings;
  const int slots = version >= 5.0f ? 3 : 1;
  const float load[3] = {st.model_1_load, st.model_2_load, st.model_3_load};
  const std::string* files[3] = {&st.model_1_file_name, &st.model_2_file_name, &st.model_3_file_name};
  for (int i = 0; i < slots; ++i)
    if (IsOn(load[i])) assets.LoadModel(scene, i, WholeName(*files[i]));

  const float mode[3] = {st.model_1_texture_mode, st.model_2_texture_mode, st.model_3_texture_mode};
  const std::string* textures[3] = {&st.model_1_texture_name, &st.model_2_texture_name, &st.model_3_texture_name};
  const TextureSlot slot[3] = {TextureSlot::model_1_texture, TextureSlot::model_2_texture,
                               TextureSlot::model_3_texture};
  for (int i = 0; i < slots; ++i) {
    // A mode strictly between 1 and 2 (or NaN) loads nothing.
    if (mode[i] <= 1.0f) assets.LoadPictureTextureMipmapped(scene, WholeName(*textures[i]), slot[i]);
    else if (mode[i] >= 2.0f) assets.LoadPictureTexture(scene, WholeName(*textures[i]), slot[i]);
  }
}

// The asset work a field triggers once it has been read, in file order.
void AfterField(SceneState& scene, Setting s, SequenceAssets& assets) {
  SequenceSettings& st = scene.settings;
  switch (s) {
    case Setting::text_wireframe:
      if (IsOn(st.text_wireframe)) assets.RebuildGlyphLists(scene);
      break;
    case Setting::sequence_texture_name: {
      scene.custom_image_mode = 0;
      if (st.sequence_texture_mode <= 1.0f) {
        const std::string name = CutName(st.sequence_texture_name, st.sequence_texture_name_length);
        assets.LoadPictureTextureMipmapped(scene, name, TextureSlot::text_texture);
        assets.LoadPictureTextureMipmapped(scene, name, TextureSlot::custom_image_texture);
      } else if (st.sequence_texture_mode >= 2.0f) {
        assets.LoadPictureTextureMipmapped(scene, kGoldTexture, TextureSlot::text_texture);
        assets.LoadPictureTextureMipmapped(scene, kGoldTexture, TextureSlot::custom_image_texture);
      }
      break;
    }
    case Setting::sprite_texture_name:
      assets.LoadPictureTexture(scene, CutName(st.sprite_texture_name, st.sprite_texture_name_length),
                                TextureSlot::sprite_texture);
      break;
    case Setting::particle_texture_mode:
      if (IsOn(st.particle_texture_mode))
        assets.LoadParticleTexture(scene, CutName(st.particle_texture_name, st.particle_texture_name_length));
      break;
    case Setting::fountain_texture_name:
      assets.LoadPictureTexture(scene, CutName(st.fountain_texture_name, st.fountain_texture_name_length),
                                TextureSlot::fountain_texture);
      break;
    // These names are stored before their length fields: they load once the length is read, so
    // that the cut uses this file's length and not the one left by the previous loop.
    case Setting::tunnel_texture_name_length:
      assets.LoadPictureTexture(scene, CutName(st.tunnel_texture_name, st.tunnel_texture_name_length),
                                TextureSlot::tunnel_texture);
      break;
    case Setting::backdrop_1_texture_name_length:
      assets.LoadPictureTexture(scene, CutName(st.backdrop_1_texture_name, st.backdrop_1_texture_name_length),
                                TextureSlot::backdrop_1_texture);
      break;
    case Setting::backdrop_2_texture_name_length:
      assets.LoadPictureTexture(scene, CutName(st.backdrop_2_texture_name, st.backdrop_2_texture_name_length),
                                TextureSlot::backdrop_2_texture);
      break;
    case Setting::photo_a_name:
      assets.LoadPhotoTextureB(scene, WholeName(st.photo_b_name));
      assets.LoadPhotoTextureA(scene, WholeName(st.photo_a_name));
      break;
    default: break;
  }
}

}  // namespace

void ApplySequence(SceneState& scene, const ParsedSequence& seq, SequenceAssets& assets) {
  // 1. Defaults; every track starts from its working value unless the file gives its initial value.
  assets.BeginAssetLoads(scene);
  ResetToLoadDefaults(scene);
  scene.lock_last_ms = 0;
  scene.image_from_sequence = 1;
  ClearKeyframes(scene);

  // 2. The header, field by field, with the asset loads each field triggers.
  const float v = seq.version;
  scene.sequence_version = v;
  scene.echo_colour_mode = TruncToInt(v);
  for (const HeaderField& field : HeaderLayout()) {
    if (!IsPresent(field.gate, v)) continue;
    switch (field.kind) {
      case HeaderFieldKind::kSetting:
        // Models load after the last model field, before the photo fields.
        if (field.setting == Setting::photo_on) LoadModelsAndTextures(scene, v, assets);
        CopySetting(scene.settings, seq.settings, field.setting);
        AfterField(scene, field.setting, assets);
        break;
      case HeaderFieldKind::kInitialValues:
        for (int j = 0; j < field.count; ++j) {
          const size_t t = static_cast<size_t>(field.first) + static_cast<size_t>(j);
          scene.tracks[t].initial_value = seq.initial[t];
        }
        break;
      case HeaderFieldKind::kWorkingValue: scene.work[field.first] = seq.fog_near_working; break;
      case HeaderFieldKind::kIgnored: break;
      case HeaderFieldKind::kKeyframeCount: scene.keyframe_count = seq.keyframe_count; break;
    }
  }

  // 3. Key records: each float lands in its track's key slot at the key's frame.
  auto& keys = *scene.keyframe_frame;
  const auto groups = KeyLayout();
  size_t next = 0;
  for (int32_t k = 0; k <= seq.keyframe_count; ++k) {
    const int32_t frame = seq.key_frames[static_cast<size_t>(k)];
    keys[static_cast<size_t>(k)] = frame;
    for (const KeyGroup& g : groups) {
      if (!IsPresent(g.gate, v)) continue;
      for (Track t : g.tracks) scene.track(t).key_values[frame] = seq.key_floats[next++];
    }
  }

  // 4. Expansion, glyph lists for the new font, playback from frame 0.
  scene.bake_segment = 0;
  ExpandKeyframes(scene);
  scene.play_to_sequence_end = 1;
  assets.RebuildGlyphLists(scene);
  scene.playing = 1;
  scene.current_frame = 0;
  scene.particle_prewarm = 2.0f;
  assets.EndAssetLoads(scene);
  assets.SequenceLoaded(scene);
}

Status LoadSequence(SceneState& scene, const std::string& path, SequenceAssets& assets) {
  auto resolved = ResolveAssetPath(path);
  if (!resolved) resolved = ResolveAssetPath("Sequences/default.lqf");
  if (!resolved) return LoadError{path, "cannot open the file, nor the fallback Sequences/default.lqf", {}, {}};
  auto seq = ReadLoopFile(*resolved);
  if (!seq) return seq.error();
  scene.sequence_file_name = resolved->filename().string();
  ApplySequence(scene, *seq, assets);
  return std::nullopt;
}

}  // namespace vl::engine
