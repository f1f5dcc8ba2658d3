// Fuzzes the loop edits: any run of edits the model accepts, taken back through the undos it
// handed out, must leave the loop file's bytes as they were; a refused edit changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/loop_edit.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

namespace {

using namespace vl::engine;

constexpr const char* kLoop =
    "version 6\n[settings]\ntext_on = 2\ntext_string = \"Fuzz\"\n[initial]\nbackground_r = 10\n"
    "[key]\nframe = 0\n[key]\nframe = 40\nbackground_r = 200\ntext_rot_y = 90\n[key]\nframe = 90\n";

struct Bytes {
  const uint8_t* p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t u8() { return n ? (--n, *p++) : 0; }
  int32_t i16() { return static_cast<int16_t>(u8() | (u8() << 8)); }
  float f32() {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(u8()) << (8 * i);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  std::string text() {
    std::string s;
    for (size_t len = u8() % 24; len > 0 && n > 0; --len) s += static_cast<char>(u8());
    return s;
  }
};

LoopEdit NextEdit(Bytes& in, const SceneState& scene) {
  const auto track = static_cast<Track>(in.u8() % kTrackCount);
  switch (in.u8() % 10) {
    case 0: return SetInitialEdit(track, in.f32());
    case 1: return SetKeyValueEdit(track, in.i16(), in.f32());
    case 2: return InsertKeyEdit(in.i16());
    case 3: return DeleteKeyEdit(in.i16());
    case 4: return MoveKeyEdit(in.i16(), in.i16());
    case 5: return SetLengthEdit(in.i16(), in.u8() & 1);
    case 6: return SetValueAtFrameEdit(scene, track, in.i16(), in.f32());
    case 7: {
      const auto setting = static_cast<Setting>(in.u8() % kSettingCount);
      auto parsed = ParseSettingEdit(SettingName(setting), in.text());
      if (parsed) return *parsed;
      return SetFloatSettingEdit(setting, in.f32());
    }
    case 8: return SetIntSettingEdit(static_cast<Setting>(in.u8() % kSettingCount), in.i16());
    default: return SetStringSettingEdit(static_cast<Setting>(in.u8() % kSettingCount), in.text());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto scene = std::make_unique<SceneState>();
  if (CompileSequence(kLoop, "fuzz.txt", *scene)) __builtin_trap();
  const std::vector<uint8_t> original = WriteSequence(*scene, scene->sequence_version);
  std::vector<LoopEdit> undos;
  Bytes in{data, size};
  for (int step = 0; step < 64 && !in.empty(); ++step) {
    const std::vector<uint8_t> before = WriteSequence(*scene, scene->sequence_version);
    auto applied = ApplyEdit(*scene, NextEdit(in, *scene));
    if (!applied) {
      if (WriteSequence(*scene, scene->sequence_version) != before) __builtin_trap();
      continue;
    }
    undos.push_back(applied->undo);
  }
  for (auto it = undos.rbegin(); it != undos.rend(); ++it)
    if (!ApplyEdit(*scene, *it)) __builtin_trap();
  if (WriteSequence(*scene, scene->sequence_version) != original) __builtin_trap();
  return 0;
}
