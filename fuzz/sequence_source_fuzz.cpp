// Fuzzes the loop source compiler: whatever it accepts must make a loop file that reads back, and
// every refusal must name a line and a column.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/sequence_reader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vl::engine;
  static auto scene = std::make_unique<SceneState>();
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto err = CompileSequence(text, "fuzz.txt", *scene)) {
    if (err->field.rfind("line ", 0) != 0 || err->field.find(", column ") == std::string::npos) __builtin_trap();
    return 0;
  }
  const auto bytes = WriteSequence(*scene, scene->sequence_version);
  (void)ParseSequence(bytes, "fuzz.lqf");  // a refusal here is what `compile` reports; no crash either way
  return 0;
}
