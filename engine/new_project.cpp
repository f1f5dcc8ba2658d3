#include "engine/new_project.h"

#include "engine/keyframes.h"

namespace vl::engine {

void NewProject(SceneState& scene, SequenceAssets& assets) {
  // Everything a load resets first; then the fields where a new project differs.
  ResetToLoadDefaults(scene);
  scene.lock_last_ms = 0;
  scene.image_from_sequence = 1;
  scene.sequence_version = 5.0f;
  scene.playing = 0;
  scene.play_to_sequence_end = 0;

  SequenceSettings& st = scene.settings;
  st.text_string = "Moxtrel";
  scene.text_keep_texture = 2.0f;
  scene.custom_image_mode = 0;
  assets.LoadPictureTextureMipmapped(scene, kNewProjectTexture, TextureSlot::custom_image_texture);
  assets.LoadPictureTextureMipmapped(scene, kNewProjectTexture, TextureSlot::text_texture);
  st.sequence_texture_name = kNewProjectTexture;
  st.sequence_texture_name_length = 17.0f;
  st.sequence_texture_mode = 2.0f;
  assets.LoadPhotoTextureA(scene, kNewProjectPhoto);

  scene.work.background_r = scene.work.background_g = scene.work.background_b = 0.0f;
  st.text_font_face = "Arial Black";
  assets.RebuildGlyphLists(scene);

  scene.bake_segment = 0;
  scene.play_to_sequence_end = 0;
  scene.frame_count = 0;
  scene.current_frame = 0;
  ClearKeyframes(scene);
  scene.locked_fps = 50;

  // ClearKeyframes keeps slot 0, and the renderer fetches frame 0 into the working values on the
  // next tick: without this the previous loop's first frame would come back over the defaults.
  // Slot 0 of the key list goes too, so no stale key frame survives.
  (*scene.keyframe_frame)[0] = 0;
  for (int t = 0; t < kTrackCount; ++t) {
    ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
    track.initial_value = scene.work[static_cast<Track>(t)];
    track.key_values[0] = track.initial_value;
    track.frame_values[0] = track.initial_value;
  }
  scene.wave_phase = 0;
}

}  // namespace vl::engine
