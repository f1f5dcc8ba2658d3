// The route an echo takes, over a table of echoes: what it depends on, and that the GL probes
// behind it (a feedback render for the lit-corner levels, a program build for a kept sum) are
// asked only when the route turns on their answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render/echo_route.h"

namespace vl::render {
namespace {

struct RouteCase {
  const char* what;
  EchoCase echo;
  bool lit_flat;  // the probes' answers
  bool kept;
  EchoRoute route;
  int keep_slot;
  bool probes_lit, asks_kept;  // whether each probe may be asked
};

EchoCase Echo(bool lit, int grey, bool early_kept = false, bool with_late = false) {
  EchoCase e;
  e.lit = lit;
  e.grey = grey;
  e.early_kept = early_kept;
  e.with_late = with_late;
  e.capture = 2;
  return e;
}

TEST(EchoRoute, EachEchoTakesItsRouteAndProbesOnlyWhatDecidesIt) {
  EchoCase unseen = Echo(true, 40, true, true);
  unseen.unseen = true;
  EchoCase empty = Echo(false, -1);
  empty.no_layers = true;
  EchoCase black = Echo(false, -1);
  black.colourless = true;
  EchoCase black_lit = Echo(true, -1);
  black_lit.colourless = false;  // lit, the light may colour even a black quad
  const RouteCase cases[] = {
      {"unseen, whatever else", unseen, true, true, EchoRoute::kUnseen, -1, false, false},
      {"no layer adds anything", empty, true, true, EchoRoute::kSkip, -1, false, false},
      {"unlit in black", black, true, true, EchoRoute::kSkip, -1, false, false},
      {"a black capture", Echo(true, 0), true, true, EchoRoute::kSkip, -1, false, false},
      {"one grey, unlit", Echo(false, 30, true), true, true, EchoRoute::kFlat, -1, false, false},
      {"one grey, lit, levels flat", Echo(true, 30), true, true, EchoRoute::kLitFlat, -1, true, false},
      {"one grey, lit, levels vary", Echo(true, 30, true), false, true, EchoRoute::kSummed, -1, true, false},
      {"a repeat with its sum kept", Echo(false, -1), false, true, EchoRoute::kReused, -1, false, true},
      {"a repeat without", Echo(false, -1), false, false, EchoRoute::kSummed, -1, false, true},
      {"lit, nothing kept", black_lit, false, false, EchoRoute::kSummed, -1, false, true},
      {"early, unlit: kept for its repeat", Echo(false, -1, true), false, true, EchoRoute::kSummed, 2, false, false},
      {"early, lit: not what its repeat draws", Echo(true, -1, true), false, true, EchoRoute::kSummed, -1, false,
       false},
      {"early, lit, with its late repeat", Echo(true, -1, true, true), false, true, EchoRoute::kWithLate, 2, false,
       false},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.what);
    int lit_probes = 0, kept_probes = 0;
    const EchoRouteChoice choice = ChooseEchoRoute(
        c.echo,
        [&] {
          ++lit_probes;
          return c.lit_flat;
        },
        [&] {
          ++kept_probes;
          return c.kept;
        });
    EXPECT_EQ(choice.route, c.route);
    EXPECT_EQ(choice.keep_slot, c.keep_slot);
    EXPECT_LE(lit_probes, c.probes_lit ? 1 : 0);
    EXPECT_LE(kept_probes, c.asks_kept ? 1 : 0);
  }
}

// The layers the quads and the sums both take: a count that is not positive gives none (a
// damaged working value must not reach an allocation), and the last layer is the faintest.
TEST(EchoRoute, LayerStepsFadeOutAndNeverAllocateFromABadCount) {
  EXPECT_TRUE(EchoLayerSteps(0, 5.0f, 40.0f).empty());
  EXPECT_TRUE(EchoLayerSteps(-2000000000, 5.0f, 40.0f).empty());
  const std::vector<EchoLayerStep> steps = EchoLayerSteps(25, 5.0f, 40.0f);
  ASSERT_EQ(steps.size(), 25u);
  EXPECT_FLOAT_EQ(steps.front().inset, 0.25f);
  EXPECT_FLOAT_EQ(steps.front().alpha, 0.3f);
  for (size_t i = 1; i < steps.size(); ++i) {
    EXPECT_GT(steps[i].inset, steps[i - 1].inset);
    EXPECT_LT(steps[i].alpha, steps[i - 1].alpha);
  }
  EXPECT_NEAR(steps.back().alpha, 0.3f / 25.0f, 1e-6f);
}

}  // namespace
}  // namespace vl::render
