#include "render/echo_route.h"

namespace vl::render {

std::vector<EchoLayerStep> EchoLayerSteps(int layers, float inset_value, float alpha_value) {
  constexpr float kInsetStep = 0.02f;
  float t = inset_value / 20.0f;
  float a = alpha_value / 400.0f + 0.2f;
  const float da = layers > 0 ? a / static_cast<float>(layers) : 0.0f;
  std::vector<EchoLayerStep> steps;
  steps.reserve(layers > 0 ? static_cast<size_t>(layers) : 0);
  for (int i = 0; i < layers; ++i) {
    steps.push_back({t, a});
    t += kInsetStep;
    a -= da;
  }
  return steps;
}

EchoRouteChoice ChooseEchoRoute(const EchoCase& echo, const std::function<bool()>& lit_levels_flat,
                                const std::function<bool()>& has_kept) {
  if (echo.unseen) return {EchoRoute::kUnseen};
  if (echo.no_layers || echo.colourless || echo.grey == 0) return {EchoRoute::kSkip};
  // One grey level, but the lit colour varies across the output: summed without sampling,
  // unless the colour stays where every pixel adds the same levels.
  if (echo.grey > 0 && echo.lit) return {lit_levels_flat() ? EchoRoute::kLitFlat : EchoRoute::kSummed};
  if (echo.grey > 0) return {EchoRoute::kFlat};
  // An early echo comes before anything is kept this frame: only a later one can be a repeat.
  if (!echo.early_kept && has_kept()) return {EchoRoute::kReused};
  // A lit early echo is not what the unlit late one draws: both are summed at once then. An
  // unlit one is kept for its repeat, which draws the same.
  if (echo.with_late) return {EchoRoute::kWithLate, echo.capture};
  return {EchoRoute::kSummed, echo.early_kept && !echo.lit ? echo.capture : -1};
}

}  // namespace vl::render
