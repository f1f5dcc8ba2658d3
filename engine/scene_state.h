// The scene state: every parameter track, sequence setting, texture slot and playback field of
// the loop on screen. One record for the program's whole life; loads overwrite it in place.
// No OpenGL, no Qt.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/scene_catalogue.h"

namespace vl::engine {

inline constexpr int kFrameSlots = 10000;   // frames 0 .. 9,999
inline constexpr int kKeyListSize = 20000;  // entries of keyframe_frame
inline constexpr int kClearedSlots = 601;   // ClearKeyframes zeroes slots 1 .. 601

// ---- Tracks ---------------------------------------------------------------------------------

enum class Track : uint8_t {
#define VL_X(name, cdef, ldef, resets) name,
  VL_TRACKS(VL_X)
#undef VL_X
};
inline constexpr int kTrackCount = 0
#define VL_X(name, cdef, ldef, resets) +1  // NOLINT(bugprone-macro-parentheses): a term of the sum
    VL_TRACKS(VL_X)
#undef VL_X
    ;
static_assert(kTrackCount == 215);

struct TrackInfo {
  const char* name;
  float construction_default;
  float load_default;
  bool load_resets;  // false: a load keeps the working value of the previous sequence
};
extern const std::array<TrackInfo, kTrackCount> kTrackCatalogue;
std::optional<Track> FindTrack(std::string_view name);
inline const char* TrackName(Track t) { return kTrackCatalogue[static_cast<size_t>(t)].name; }

// One animated float parameter: its keys, its per-frame values and the expansion's work values.
struct ParameterTrack {
  float key_values[kFrameSlots];
  float frame_values[kFrameSlots];
  float initial_value;
  float segment_target;
  float previous_target;
  float running_value;
};

// The per-frame copy of every track that the passes draw with, one named field per track.
struct WorkingValues {
#define VL_X(name, cdef, ldef, resets) float name;
  VL_TRACKS(VL_X)
#undef VL_X
  float& operator[](Track t);
  float operator[](Track t) const;
};

// ---- Sequence settings ----------------------------------------------------------------------

enum class Setting : uint8_t {
#define VL_X(name, type, def, resets) name,
  VL_SETTINGS(VL_X)
#undef VL_X
};
inline constexpr int kSettingCount = 0
#define VL_X(name, type, def, resets) +1  // NOLINT(bugprone-macro-parentheses): a term of the sum
    VL_SETTINGS(VL_X)
#undef VL_X
    ;

enum class SettingType : uint8_t { F, I, S };

struct SettingInfo {
  const char* name;
  SettingType type;
  float numeric_default;       // F and I settings
  const char* string_default;  // S settings
  bool load_resets;
};
extern const std::array<SettingInfo, kSettingCount> kSettingCatalogue;
std::optional<Setting> FindSetting(std::string_view name);
inline const char* SettingName(Setting s) { return kSettingCatalogue[static_cast<size_t>(s)].name; }

#define VL_SETTING_FIELD_F(name) float name;
#define VL_SETTING_FIELD_I(name) int32_t name;
#define VL_SETTING_FIELD_S(name) std::string name;

// Switches, modes, asset names (byte strings as stored, Windows-1252) and their length fields.
struct SequenceSettings {
#define VL_X(name, type, def, resets) VL_SETTING_FIELD_##type(name)
  VL_SETTINGS(VL_X)
#undef VL_X
  float* FloatField(Setting s);         // null unless the setting is an F
  int32_t* IntField(Setting s);         // null unless the setting is an I
  std::string* StringField(Setting s);  // null unless the setting is an S
  const float* FloatField(Setting s) const { return const_cast<SequenceSettings*>(this)->FloatField(s); }
  const int32_t* IntField(Setting s) const { return const_cast<SequenceSettings*>(this)->IntField(s); }
  const std::string* StringField(Setting s) const { return const_cast<SequenceSettings*>(this)->StringField(s); }
};

// ---- Texture slots --------------------------------------------------------------------------

enum class TextureSlot : uint8_t {
  text_texture,
  custom_image_texture,
  sprite_texture,
  particle_texture,
  fountain_texture,
  tunnel_texture,
  backdrop_1_texture,
  backdrop_2_texture,
  model_1_texture,
  model_2_texture,
  model_3_texture,
  photo_a_texture,
  photo_b_texture,
  chrome_texture,
  kCount
};
inline constexpr int kTextureSlotCount = static_cast<int>(TextureSlot::kCount);
const char* TextureSlotName(TextureSlot slot);

// ---- The record -----------------------------------------------------------------------------

struct SceneState {
  SceneState();  // construction defaults; allocates the tracks once

  ParameterTrack& track(Track t) { return tracks[static_cast<size_t>(t)]; }
  const ParameterTrack& track(Track t) const { return tracks[static_cast<size_t>(t)]; }
  uint32_t& texture(TextureSlot s) { return textures[static_cast<size_t>(s)]; }
  uint32_t texture(TextureSlot s) const { return textures[static_cast<size_t>(s)]; }

  // Key list and expansion cursor.
  int32_t keyframe_count = 0;
  std::unique_ptr<std::array<int32_t, kKeyListSize>> keyframe_frame;
  int32_t frame_count = 0;
  int32_t baked_frame_count = 0;
  int32_t bake_segment = 0;
  int32_t bake_frame = 0;
  int32_t bake_segment_end = 0;
  int32_t bake_segment_length = 0;

  float sequence_version = 0.0f;
  int32_t echo_colour_mode = 0;  // the version truncated toward zero

  std::unique_ptr<ParameterTrack[]> tracks;  // kTrackCount of them, about 17 MB
  WorkingValues work{};
  int32_t wave_phase = 0;  // the one working value that is an int

  SequenceSettings settings;
  std::array<uint32_t, kTextureSlotCount> textures{};

  // Photo sizes in HIMETRIC, written by the photo loaders.
  std::array<int32_t, 2> photo_a_width{}, photo_a_height{}, photo_b_width{}, photo_b_height{};
  int32_t photo_size_slot = 0;
  float photo_a_extent_x = 0, photo_a_extent_y = 0, photo_b_extent_x = 0, photo_b_extent_y = 0;
  float photo_a_layout_state = 0, photo_b_layout_state = 0;
  float photo_a_hidden = 0;

  // Particle system controls that are not tracks.
  float particle_reset_a = 0, particle_reset_b = 0;
  float particle_size = 0;
  float particle_colour_b_r = 0, particle_colour_b_g = 0, particle_colour_b_b = 0;
  float particle_fog_far = 0, particle_fog_r = 0, particle_fog_g = 0, particle_fog_b = 0;
  float particle_prewarm = 0;

  // Renderer controls that are not tracks.
  float echo_scene_late = 0;
  float fog_density = 0, tunnel_tex_mode = 0, fog_r = 0, fog_g = 0, fog_b = 0;
  float backdrop_depth = 0;
  float trail_rate = 0;
  float text_keep_texture = 0;
  int32_t custom_image_mode = 0;
  int32_t image_from_sequence = 1;
  std::string sequence_file_name;

  // Playback.
  uint8_t playing = 0;
  uint8_t play_to_sequence_end = 0;
  int32_t current_frame = 0;
  float stop_requested = 0;
  float loop_sequence = 0;
  float loop_toggle_count = 0;
  float loop_window_request = 0;
  int32_t lock_frame_rate = 0;
  int32_t locked_fps = 50;
  int32_t lock_last_ms = 0;
  int32_t fps_frame_count = 0;
  int32_t fps_window_start_ms = 0;
  int32_t measured_fps = 0;
  int32_t export_preset = 0;
  int32_t resize_to_preset = 0;
  int32_t random_sequence_on_startup = 0;
  int32_t preset_loop = 0;

  // Window.
  int32_t view_width = 0, view_height = 0;
  float spin_step_x = 0, spin_step_y = 0;
};

// Puts every field a load resets back to its load default (the first step of a load and of a new
// project), then starts every track's initial value from its working value.
void ResetToLoadDefaults(SceneState& scene);

// How many frames playback runs through (frames 0 .. count - 1): up to the last key's frame when
// the loop plays to its sequence end, else the expansion's frame count. May be 0 or negative for a
// loop whose keys do not move forward.
inline int32_t PlayedFrameCount(const SceneState& scene) {
  return scene.play_to_sequence_end ? scene.baked_frame_count : scene.frame_count;
}

// A loop with a single key, or keys that do not run forward, has nothing to play.
inline bool HasFramesToPlay(const SceneState& scene) {
  return scene.keyframe_count > 0 && PlayedFrameCount(scene) >= 1;
}

// The message every front end gives for such a loop.
inline constexpr const char* kNothingToPlay = "the loop has no frames to play";

}  // namespace vl::engine
