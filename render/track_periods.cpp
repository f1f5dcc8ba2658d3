#include "render/track_periods.h"

namespace vl::render {

// A table, hence its length.
double TrackPeriod(engine::Track track) {
  using T = engine::Track;
  // clang-format off
  switch (track) {
    // Turned once: glRotatef by the value (the wave's phase is the angle of a sine).
    case T::text_rot_x: case T::text_rot_y: case T::text_rot_z:
    case T::particle_rot_x: case T::particle_rot_y: case T::particle_rot_z:
    case T::backdrop_1_rot_x: case T::backdrop_1_rot_y: case T::backdrop_1_rot_z:
    case T::backdrop_2_rot_x: case T::backdrop_2_rot_y: case T::backdrop_2_rot_z:
    case T::photo_rot_x: case T::photo_rot_y: case T::photo_rot_z:
    case T::model_1_rot_x: case T::model_1_rot_y: case T::model_1_rot_z:
    case T::model_2_rot_x: case T::model_2_rot_y: case T::model_2_rot_z:
    case T::model_3_rot_x: case T::model_3_rot_y: case T::model_3_rot_z:
    case T::ring_pitch: case T::ring_yaw: case T::ring_turn: case T::sprite_spin:
    case T::vortex_tilt: case T::vortex_turn: case T::wave_phase:
      return kDegreesPerTurn;
    // Every character adds its turn to the ones before it, so the last repeats only when each
    // character's own step makes a whole turn.
    case T::char_rot_x: case T::char_rot_y: case T::char_rot_z:
      return static_cast<double>(kDegreesPerTurn) * kCharRotPerDegree;
    case T::vortex_roll:
      return static_cast<double>(kDegreesPerTurn) * kVortexRollPerDegree;
    case T::backdrop_1_scroll_u: case T::backdrop_1_scroll_v: case T::backdrop_2_scroll_u:
    case T::backdrop_2_scroll_v: case T::trail_scroll:
      return kScrollPerTexture;
    case T::model_1_scroll_u: case T::model_1_scroll_v: case T::model_2_scroll_u: case T::model_2_scroll_v:
    case T::model_3_scroll_u: case T::model_3_scroll_v:
      return kModelScrollPerTexture;
    default:
      return 0.0;
  }
  // clang-format on
}

}  // namespace vl::render
