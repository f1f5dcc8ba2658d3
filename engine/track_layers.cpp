#include "engine/track_layers.h"

namespace vl::engine {

// Every track is listed, with no default, so a new track does not compile quietly into no layer.
// A table, hence its length.
TrackLayer LayerOfTrack(Track track) {
  using T = Track;
  using L = TrackLayer;
  // clang-format off
  switch (track) {
    case T::background_r: case T::background_g: case T::background_b:
      return L::kBackground;
    case T::text_rot_x: case T::text_rot_y: case T::text_rot_z: case T::text_pos_x: case T::text_pos_y:
    case T::text_pos_z: case T::text_colour_r: case T::text_colour_g: case T::text_colour_b: case T::char_rot_x:
    case T::char_rot_y: case T::char_rot_z: case T::line_offset_x: case T::line_offset_y: case T::line_offset_z:
    case T::char_offset_x: case T::char_offset_y: case T::char_offset_z: case T::text_light_x: case T::text_light_y:
    case T::text_light_z: case T::material_r: case T::material_g: case T::material_b: case T::text_scale_x:
    case T::text_scale_y: case T::text_scale_z: case T::text_alpha:
      return L::kText;
    case T::scene_echo_r: case T::scene_echo_g: case T::scene_echo_b: case T::scene_echo_layers:
    case T::scene_echo_alpha: case T::scene_echo_inset:
      return L::kSceneEcho;
    case T::ring_z: case T::ring_pitch: case T::ring_yaw: case T::sprite_spin: case T::ring_x: case T::ring_y:
    case T::ring_swirl: case T::ring_pull: case T::ring_turn: case T::sprite_alpha: case T::sprite_count:
      return L::kSprites;
    case T::sprite_tint_r: case T::sprite_tint_g: case T::sprite_tint_b:
      return L::kSpriteTint;
    case T::particle_accel_dir_y: case T::particle_accel_min: case T::particle_accel_dir_z:
    case T::particle_offset_x: case T::particle_offset_y: case T::particle_offset_z: case T::particle_rot_x:
    case T::particle_rot_y: case T::particle_rot_z: case T::particle_accel_max: case T::particle_accel_dir_x:
    case T::particle_emitter_x: case T::particle_emitter_y: case T::particle_emitter_z: case T::particle_colour_a_r:
    case T::particle_colour_a_g: case T::particle_colour_a_b: case T::particle_life_min: case T::particle_life_max:
    case T::particle_time_scale: case T::particle_velocity_x: case T::particle_velocity_y:
    case T::particle_velocity_z: case T::particle_velocity_spread_x: case T::particle_velocity_spread_y:
    case T::particle_velocity_spread_z: case T::particle_fog_near:
      return L::kParticles;
    case T::fountain_spread_x: case T::fountain_spread_y: case T::fountain_spread_z: case T::vortex_x:
    case T::vortex_y: case T::vortex_z: case T::vortex_emit: case T::vortex_swirl: case T::vortex_tilt:
    case T::vortex_roll: case T::vortex_pull: case T::vortex_turn: case T::vortex_spacing: case T::fountain_r:
    case T::fountain_g: case T::fountain_b:
      return L::kVortex;
    case T::tunnel_speed: case T::tunnel_twist: case T::tunnel_stretch: case T::tunnel_x: case T::tunnel_y:
    case T::tunnel_z: case T::fog_start: case T::fog_end: case T::tunnel_sweep_x: case T::tunnel_sweep_y:
    case T::tunnel_radius_x: case T::tunnel_radius_y:
      return L::kTunnel;
    case T::backdrop_1_scroll_u: case T::backdrop_1_scroll_v: case T::backdrop_1_rot_x: case T::backdrop_2_scroll_u:
    case T::backdrop_2_scroll_v: case T::backdrop_2_rot_x: case T::backdrop_1_x: case T::backdrop_1_y:
    case T::backdrop_1_z: case T::backdrop_2_x: case T::backdrop_2_y: case T::backdrop_2_z: case T::backdrop_1_rot_y:
    case T::backdrop_1_rot_z: case T::backdrop_2_rot_y: case T::backdrop_2_rot_z:
      return L::kBackdrops;
    case T::trail_spare: case T::trail_fade: case T::trail_scroll: case T::trail_offset_x: case T::trail_offset_y:
      return L::kTrail;
    case T::photo_rot_x: case T::photo_rot_y: case T::photo_rot_z: case T::photo_x: case T::photo_y: case T::photo_z:
    case T::photo_scale_x: case T::photo_scale_y: case T::photo_scale_z: case T::photo_light_x:
    case T::photo_light_y: case T::photo_light_z: case T::photo_mix: case T::photo_depth_scale: case T::photo_gap:
    case T::wave_phase:
      return L::kPhotos;
    case T::model_1_rot_x: case T::model_1_rot_y: case T::model_1_rot_z: case T::model_1_x: case T::model_1_y:
    case T::model_1_z: case T::model_1_scale_x: case T::model_1_scale_y: case T::model_1_scale_z: case T::model_1_r:
    case T::model_1_g: case T::model_1_b: case T::model_1_light_x: case T::model_1_light_y: case T::model_1_light_z:
    case T::model_1_alpha: case T::model_1_scroll_u: case T::model_1_scroll_v:
      return L::kModel1;
    case T::model_2_rot_x: case T::model_2_rot_y: case T::model_2_rot_z: case T::model_2_x: case T::model_2_y:
    case T::model_2_z: case T::model_2_scale_x: case T::model_2_scale_y: case T::model_2_scale_z: case T::model_2_r:
    case T::model_2_g: case T::model_2_b: case T::model_2_light_x: case T::model_2_light_y: case T::model_2_light_z:
    case T::model_2_alpha: case T::model_2_scroll_u: case T::model_2_scroll_v:
      return L::kModel2;
    case T::model_3_rot_x: case T::model_3_rot_y: case T::model_3_rot_z: case T::model_3_x: case T::model_3_y:
    case T::model_3_z: case T::model_3_scale_x: case T::model_3_scale_y: case T::model_3_scale_z: case T::model_3_r:
    case T::model_3_g: case T::model_3_b: case T::model_3_light_x: case T::model_3_light_y: case T::model_3_light_z:
    case T::model_3_alpha: case T::model_3_scroll_u: case T::model_3_scroll_v:
      return L::kModel3;
    case T::model_1_echo_layers: case T::model_1_echo_alpha: case T::model_1_echo_inset: case T::model_1_echo_r:
    case T::model_1_echo_g: case T::model_1_echo_b:
      return L::kModel1Echo;
    case T::model_2_echo_layers: case T::model_2_echo_alpha: case T::model_2_echo_inset: case T::model_2_echo_r:
    case T::model_2_echo_g: case T::model_2_echo_b:
      return L::kModel2Echo;
    case T::model_3_echo_layers: case T::model_3_echo_alpha: case T::model_3_echo_inset: case T::model_3_echo_r:
    case T::model_3_echo_g: case T::model_3_echo_b:
      return L::kModel3Echo;
  }
  // clang-format on
  return L::kBackground;  // not reached: the switch names every track
}

}  // namespace vl::engine
