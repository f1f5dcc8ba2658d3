#include "engine/sequence_writer.h"

#include "engine/asset_paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/sequence_format.h"

namespace vl::engine {
namespace {

template <class T>
void Put(std::vector<uint8_t>& out, T v) {
  uint8_t b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.insert(out.end(), b, b + sizeof(T));
}

}  // namespace

void AppendArchiveString(std::vector<uint8_t>& out, const std::string& bytes) {
  const uint64_t n = bytes.size();
  if (n < 0xFF) {
    Put<uint8_t>(out, static_cast<uint8_t>(n));
  } else if (n < 0xFFFE) {
    Put<uint8_t>(out, 0xFF);
    Put<uint16_t>(out, static_cast<uint16_t>(n));
  } else {
    Put<uint8_t>(out, 0xFF);
    Put<uint16_t>(out, 0xFFFF);
    Put<uint32_t>(out, static_cast<uint32_t>(n));
  }
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> WriteSequence(const SceneState& scene, float version) {
  std::vector<uint8_t> out;
  out.reserve(16384);
  Put(out, version);
  for (const HeaderField& field : HeaderLayout()) {
    if (!IsPresent(field.gate, version)) continue;
    switch (field.kind) {
      case HeaderFieldKind::kSetting:
        switch (kSettingCatalogue[static_cast<size_t>(field.setting)].type) {
          case SettingType::F: Put(out, *scene.settings.FloatField(field.setting)); break;
          case SettingType::I: Put(out, *scene.settings.IntField(field.setting)); break;
          case SettingType::S: AppendArchiveString(out, *scene.settings.StringField(field.setting)); break;
        }
        break;
      case HeaderFieldKind::kInitialValues:
        for (int j = 0; j < field.count; ++j)
          Put(out, scene.tracks[static_cast<size_t>(field.first) + static_cast<size_t>(j)].initial_value);
        break;
      case HeaderFieldKind::kWorkingValue: Put(out, scene.work[field.first]); break;
      case HeaderFieldKind::kIgnored: Put<int32_t>(out, 0); break;
      case HeaderFieldKind::kKeyframeCount: Put<int32_t>(out, scene.keyframe_count); break;
    }
  }
  const auto& keys = *scene.keyframe_frame;
  for (int32_t k = 0; k <= scene.keyframe_count; ++k) {
    const int32_t frame = keys[static_cast<size_t>(k)];
    Put(out, frame);
    for (const KeyGroup& g : KeyLayout()) {
      if (!IsPresent(g.gate, version)) continue;
      for (Track t : g.tracks) Put(out, scene.track(t).key_values[frame]);
    }
  }
  return out;
}

Status WriteSequenceFile(const SceneState& scene, const std::filesystem::path& path, float version) {
  const std::vector<uint8_t> bytes = WriteSequence(scene, version);
  return WriteFileBytes(path, bytes);
}

}  // namespace vl::engine
