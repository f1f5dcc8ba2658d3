// Fuzzes the loop file reader, and loads whatever it accepts into a scene and writes it back.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/sequence_loader.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vl::engine;
  static auto scene = std::make_unique<SceneState>();
  auto parsed = ParseSequence(std::span(data, size), "fuzz.lqf");
  if (!parsed) return 0;
  SequenceAssets none;
  ApplySequence(*scene, *parsed, none);
  auto bytes = WriteSequence(*scene, scene->sequence_version);
  auto again = ParseSequence(bytes, "rewritten.lqf");
  if (!again) __builtin_trap();  // what we write we must be able to read
  return 0;
}
