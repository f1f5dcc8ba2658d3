#include "engine/scene_state.h"

#include <cstring>

namespace vl::engine {

const std::array<TrackInfo, kTrackCount> kTrackCatalogue = {{
#define VL_X(name, cdef, ldef, resets) {#name, cdef, ldef, resets},
    VL_TRACKS(VL_X)
#undef VL_X
}};

namespace {

constexpr float WorkingValues::*kWorkingMembers[kTrackCount] = {
#define VL_X(name, cdef, ldef, resets) &WorkingValues::name,
    VL_TRACKS(VL_X)
#undef VL_X
};

#define VL_SETTING_NUM_F(def) static_cast<float>(def)
#define VL_SETTING_NUM_I(def) static_cast<float>(def)
#define VL_SETTING_NUM_S(def) 0.0f
#define VL_SETTING_STR_F(def) ""
#define VL_SETTING_STR_I(def) ""
#define VL_SETTING_STR_S(def) def

template <class Info, size_t N>
int FindByName(const std::array<Info, N>& table, std::string_view name) {
  for (size_t i = 0; i < N; ++i)
    if (name == table[i].name) return static_cast<int>(i);
  return -1;
}

}  // namespace

const std::array<SettingInfo, kSettingCount> kSettingCatalogue = {{
#define VL_X(name, type, def, resets) \
  {#name, SettingType::type, VL_SETTING_NUM_##type(def), VL_SETTING_STR_##type(def), resets},
    VL_SETTINGS(VL_X)
#undef VL_X
}};

float& WorkingValues::operator[](Track t) { return this->*kWorkingMembers[static_cast<size_t>(t)]; }
float WorkingValues::operator[](Track t) const { return this->*kWorkingMembers[static_cast<size_t>(t)]; }

std::optional<Track> FindTrack(std::string_view name) {
  int i = FindByName(kTrackCatalogue, name);
  if (i < 0) return std::nullopt;
  return static_cast<Track>(i);
}

std::optional<Setting> FindSetting(std::string_view name) {
  int i = FindByName(kSettingCatalogue, name);
  if (i < 0) return std::nullopt;
  return static_cast<Setting>(i);
}

#define VL_SETTING_PTR_F(name, want) \
  case Setting::name: \
    return (want) == SettingType::F ? static_cast<void*>(&s.name) : nullptr;
#define VL_SETTING_PTR_I(name, want) \
  case Setting::name: \
    return (want) == SettingType::I ? static_cast<void*>(&s.name) : nullptr;
#define VL_SETTING_PTR_S(name, want) \
  case Setting::name: return (want) == SettingType::S ? static_cast<void*>(&s.name) : nullptr;

namespace {
// One switch maps a setting to its field; the typed accessors check the type.
struct SettingsAccess {
  static void* Field(SequenceSettings& s, Setting id, SettingType want) {
    switch (id) {
#define VL_X(name, type, def, resets) VL_SETTING_PTR_##type(name, want)
      VL_SETTINGS(VL_X)
#undef VL_X
    }
    return nullptr;
  }
};
}  // namespace

float* SequenceSettings::FloatField(Setting s) {
  return static_cast<float*>(SettingsAccess::Field(*this, s, SettingType::F));
}
int32_t* SequenceSettings::IntField(Setting s) {
  return static_cast<int32_t*>(SettingsAccess::Field(*this, s, SettingType::I));
}
std::string* SequenceSettings::StringField(Setting s) {
  return static_cast<std::string*>(SettingsAccess::Field(*this, s, SettingType::S));
}

const char* TextureSlotName(TextureSlot slot) {
  static const char* const kNames[] = {
      "text_texture",    "custom_image_texture", "sprite_texture",     "particle_texture", "fountain_texture",
      "tunnel_texture",  "backdrop_1_texture",   "backdrop_2_texture", "model_1_texture",  "model_2_texture",
      "model_3_texture", "photo_a_texture",      "photo_b_texture",    "chrome_texture"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == kTextureSlotCount);
  return kNames[static_cast<size_t>(slot)];
}

namespace {

void SetSettingDefault(SequenceSettings& settings, size_t i) {
  const SettingInfo& info = kSettingCatalogue[i];
  const auto id = static_cast<Setting>(i);
  switch (info.type) {
    case SettingType::F: *settings.FloatField(id) = info.numeric_default; break;
    case SettingType::I: *settings.IntField(id) = static_cast<int32_t>(info.numeric_default); break;
    case SettingType::S: *settings.StringField(id) = info.string_default; break;
  }
}

}  // namespace

SceneState::SceneState()
    : keyframe_frame(std::make_unique<std::array<int32_t, kKeyListSize>>()),
      tracks(std::make_unique<ParameterTrack[]>(kTrackCount)) {
  keyframe_frame->fill(0);
  for (size_t i = 0; i < kTrackCatalogue.size(); ++i) {
    const float v = kTrackCatalogue[i].construction_default;
    work[static_cast<Track>(i)] = v;
    tracks[i].initial_value = v;
  }
  for (size_t i = 0; i < kSettingCatalogue.size(); ++i) SetSettingDefault(settings, i);
}

void ResetToLoadDefaults(SceneState& scene) {
  for (size_t i = 0; i < kTrackCatalogue.size(); ++i)
    if (kTrackCatalogue[i].load_resets) scene.work[static_cast<Track>(i)] = kTrackCatalogue[i].load_default;
  for (size_t i = 0; i < kSettingCatalogue.size(); ++i)
    if (kSettingCatalogue[i].load_resets) SetSettingDefault(scene.settings, i);
  scene.bake_segment = 0;
  scene.current_frame = 0;
  scene.photo_size_slot = 0;
  for (size_t i = 0; i < kTrackCatalogue.size(); ++i) scene.tracks[i].initial_value = scene.work[static_cast<Track>(i)];
}

}  // namespace vl::engine
