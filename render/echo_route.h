// One echo's way through the frame outside the reference path: the layers as the quads draw
// them (one builder for the quads and the sums), and the route the echo takes, chosen before
// anything is drawn. No GL here; what needs GL to find out is asked through callbacks, and only
// when the route depends on it.
#pragma once
#include <functional>
#include <vector>

namespace vl::render {

// One layer of an echo's stack of quads: the inset it samples the capture from and the alpha
// it draws with (while the echo sets a colour of its own).
struct EchoLayerStep {
  float inset = 0.0f;
  float alpha = 0.0f;
};

// The layers from the echo's working values: each samples a smaller middle part of the capture
// and is fainter, a zoom blur. The float steps are the quads' own, so the sums see the same values.
std::vector<EchoLayerStep> EchoLayerSteps(int layers, float inset_value, float alpha_value);

// How an echo is drawn outside the reference path (the quads' way when none applies).
enum class EchoRoute {
  kUnseen,    // left undrawn: the picture is not kept
  kSkip,      // adds nothing
  kFlat,      // a capture of one grey level, unlit: the same levels everywhere
  kLitFlat,   // one grey level, lit, with a light that keeps every pixel at the same levels
  kSummed,    // summing passes (kept for the late repeat when that draws the same)
  kWithLate,  // a lit early echo summed with its unlit late repeat in the same passes
  kReused,    // a late repeat whose sum was kept: added again
};

// What an echo's route depends on.
struct EchoCase {
  bool unseen = false;      // the frame's picture is not kept
  bool no_layers = false;   // no layer adds anything (every alpha rounds to 0)
  bool colourless = false;  // unlit in a colour whose every channel rounds to 0
  bool lit = false;
  int grey = -1;            // the capture's one grey level, or -1 when it may hold anything
  bool early_kept = false;  // an early echo whose late repeat comes later this frame
  bool with_late = false;   // ... lit, with the repeat unlit: both summed at once
  int capture = 0;          // which capture: also the slot its kept sum goes in
};

struct EchoRouteChoice {
  EchoRoute route = EchoRoute::kSkip;
  // Summed: the slot the repeat's sum is kept in (with the late repeat, the repeat's own), or -1.
  int keep_slot = -1;
};

// The route. `lit_levels_flat` (a GL probe) is asked only for a lit echo of one grey level,
// `has_kept` only for an echo that may be a repeat.
EchoRouteChoice ChooseEchoRoute(const EchoCase& echo, const std::function<bool()>& lit_levels_flat,
                                const std::function<bool()>& has_kept);

}  // namespace vl::render
