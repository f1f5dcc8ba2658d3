// Builds loop files byte by byte for the tests, from a transcription of the file layout that is
// kept apart from the engine's own tables, so a slip in either shows up as a failing test.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vl::test {

// Header rows as "type:name@min_version". Types: f float32, i int32, s string, x ignored int32,
// k keyframe_count, n<count> a run of initial values starting at the named track, w the particle
// fog working value. No version means always present.
inline const char* kHeaderRows =
    "i:particle_count@4 f:tunnel_r@3 f:tunnel_g@3 f:tunnel_b@3 f:text_wireframe@3 f:text_lit x:ignored "
    "s:text_font_face i:text_font_weight i:text_font_italic s:text_string f:text_on k:keyframe_count "
    "f:sequence_texture_mode n3:text_rot_x n3:scene_echo_r@5 n28:text_pos_x f:text_style "
    "f:sequence_texture_name_length s:sequence_texture_name f:text_chrome f:sprites_on n14:ring_z "
    "f:sprite_texture_name_length s:sprite_texture_name f:sprite_tinted f:particles_on f:particle_spare "
    "n26:particle_accel_dir_y n1:particle_fog_near@6 w:particle_fog_near@6 f:particle_texture_name_length "
    "s:particle_texture_name f:particle_texture_mode f:vortex_on n16:fountain_spread_x f:fountain_cycle "
    "f:fountain_texture_name_length s:fountain_texture_name f:tunnel_on n12:tunnel_speed "
    "s:tunnel_texture_name f:tunnel_texture_name_length f:backdrop_1_opaque f:backdrop_2_opaque "
    "f:backdrop_1_hidden f:backdrop_2_hidden f:backdrop_on n16:backdrop_1_scroll_u s:backdrop_1_texture_name "
    "f:backdrop_1_texture_name_length s:backdrop_2_texture_name f:backdrop_2_texture_name_length "
    "f:fx_text f:fx_sprites f:fx_particles f:fx_vortex f:fx_model_2 f:trail_tint_b f:trail_tint_g "
    "f:trail_tint_r f:scene_echo_on f:trail_on f:fx_text f:fx_sprites f:fx_particles f:fx_vortex "
    "f:fx_model_2 n8:scene_echo_layers f:model_1_texture_mode f:model_1_on i:model_1_unit "
    "n18:model_1_rot_x n6:model_1_echo_layers@5 f:model_1_additive f:model_1_chrome s:model_1_file_name "
    "f:model_1_file_name_length s:model_1_texture_name f:model_1_texture_name_length f:model_1_load "
    "f:model_1_sphere_map f:model_1_lit f:fx_model_1@5 f:echo_model_1_on@5 f:model_2_texture_mode@5 "
    "f:model_2_on@5 i:model_2_unit@5 n24:model_2_rot_x@5 f:model_2_additive@5 f:model_2_chrome@5 "
    "s:model_2_file_name@5 f:model_2_file_name_length@5 s:model_2_texture_name@5 "
    "f:model_2_texture_name_length@5 f:model_2_load@5 f:model_2_sphere_map@5 f:model_2_lit@5 "
    "f:fx_model_2@5 f:echo_model_2_on@5 f:model_3_texture_mode@5 f:model_3_on@5 i:model_3_unit@5 "
    "n24:model_3_rot_x@5 f:model_3_additive@5 f:model_3_chrome@5 s:model_3_file_name@5 "
    "f:model_3_file_name_length@5 s:model_3_texture_name@5 f:model_3_texture_name_length@5 "
    "f:model_3_load@5 f:model_3_sphere_map@5 f:model_3_lit@5 f:fx_model_3@5 f:echo_model_3_on@5 "
    "f:photo_on f:photo_lit f:photo_switch_a f:photo_switch_b n16:photo_rot_x f:photo_b_name_length "
    "s:photo_b_name f:photo_a_name_length s:photo_a_name";

struct HeaderRow {
  char type;
  int count;
  std::string name;
  float min_version;  // 0: always
};

inline std::vector<HeaderRow> HeaderRows() {
  std::vector<HeaderRow> rows;
  std::istringstream in(kHeaderRows);
  std::string tok;
  while (in >> tok) {
    HeaderRow r{tok[0], 1, "", 0.0f};
    size_t colon = tok.find(':');
    if (tok[0] == 'n') r.count = std::stoi(tok.substr(1, colon - 1));
    std::string rest = tok.substr(colon + 1);
    size_t at = rest.find('@');
    if (at != std::string::npos) {
      r.min_version = std::stof(rest.substr(at + 1));
      rest = rest.substr(0, at);
    }
    r.name = rest;
    rows.push_back(r);
  }
  return rows;
}

inline bool RowPresent(const HeaderRow& r, float version) { return r.min_version == 0.0f || version >= r.min_version; }

// Floats per key record: 174 below version 5, 237 from 5, 240 from 6.
inline int KeyFloats(float version) { return version >= 6.0f ? 240 : version >= 5.0f ? 237 : 174; }

class LoopBuilder {
 public:
  void F(float v) { Put(&v, 4); }
  void I(int32_t v) { Put(&v, 4); }
  void B(uint8_t v) { Put(&v, 1); }
  void U16(uint16_t v) { Put(&v, 2); }
  void U32(uint32_t v) { Put(&v, 4); }
  void Raw(const std::string& s) { Put(s.data(), s.size()); }
  // Shortest prefix form.
  void S(const std::string& s) {
    if (s.size() < 0xFF) {
      B(static_cast<uint8_t>(s.size()));
    } else if (s.size() < 0xFFFE) {
      B(0xFF);
      U16(static_cast<uint16_t>(s.size()));
    } else {
      B(0xFF);
      U16(0xFFFF);
      U32(static_cast<uint32_t>(s.size()));
    }
    Raw(s);
  }
  std::vector<uint8_t> bytes;

 private:
  void Put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    bytes.insert(bytes.end(), b, b + n);
  }
};

// What a test wants in the file: values by setting or track name; anything not given is 0 / "".
struct LoopSpec {
  float version = 6.0f;
  std::map<std::string, float> floats;  // f and i settings, and "w:particle_fog_near"
  std::map<std::string, std::string> strings;
  std::map<std::string, float> initial;  // by track name, for the first track of a run only
  std::vector<std::string> run_tracks;   // filled by Build: not used by callers
  struct Key {
    int32_t frame;
    std::function<float(int)> value;  // value of float i of the record (0-based)
  };
  std::vector<Key> keys;
  int32_t keyframe_count_override = -1;
};

inline std::vector<uint8_t> BuildLoop(const LoopSpec& spec) {
  LoopBuilder b;
  b.F(spec.version);
  auto get = [&](const std::string& name) {
    auto it = spec.floats.find(name);
    return it == spec.floats.end() ? 0.0f : it->second;
  };
  for (const HeaderRow& r : HeaderRows()) {
    if (!RowPresent(r, spec.version)) continue;
    switch (r.type) {
      case 'f': b.F(get(r.name)); break;
      case 'i': b.I(static_cast<int32_t>(get(r.name))); break;
      case 'x': b.I(0x5A5A5A5A); break;
      case 'k':
        b.I(spec.keyframe_count_override >= 0 ? spec.keyframe_count_override
                                              : static_cast<int32_t>(spec.keys.size()) - 1);
        break;
      case 's': {
        auto it = spec.strings.find(r.name);
        b.S(it == spec.strings.end() ? "" : it->second);
        break;
      }
      case 'w': b.F(get("w:" + r.name)); break;
      case 'n':
        for (int j = 0; j < r.count; ++j) {
          auto it = spec.initial.find(j == 0 ? r.name : r.name + "+" + std::to_string(j));
          b.F(it == spec.initial.end() ? 0.0f : it->second);
        }
        break;
    }
  }
  for (const auto& key : spec.keys) {
    b.I(key.frame);
    for (int i = 0; i < KeyFloats(spec.version); ++i) b.F(key.value ? key.value(i) : 0.0f);
  }
  return b.bytes;
}

}  // namespace vl::test
