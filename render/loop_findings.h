// What a loop will do wrong when it is played, found without playing it: missing assets, seams,
// invisible layers, ignored fields, clamped values. Shared by `vantaloop-cli check` and the
// desktop's loop editor. No OpenGL calls (names are resolved, never loaded), no Qt.
#pragma once
#include <string>
#include <vector>

#include "engine/scene_state.h"
#include "engine/sequence_reader.h"

namespace vl::render {

struct LoopFinding {
  bool error;
  std::string code;  // missing-asset, font-substitute, no-frames, source, seam, invisible-layer, ...
  std::string message;
};

// Every finding of a parsed loop, errors first. `source` is the loop's source text when it was
// read from one (fields its version does not store are reported), else empty.
std::vector<LoopFinding> CheckLoop(const engine::ParsedSequence& seq, const std::string& source = {});

// Where each seam track must end for the loop to end where it begins: the initial value, or the
// whole turn of it nearest the last frame for what wraps (angles, scrolls).
struct SeamValue {
  engine::Track track;
  float value;
};
std::vector<SeamValue> SeamValues(const engine::SceneState& scene);

}  // namespace vl::render
