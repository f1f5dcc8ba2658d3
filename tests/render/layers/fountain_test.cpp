// The vortex fountain: how many dead particles a step revives, the order of the random draws,
// the colour cycle, and steps from keyed values of any size.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "render/fountain.h"

namespace {

using vl::render::Fountain;
using vl::render::FountainVec;

class FountainTest : public ::testing::Test {
 protected:
  FountainTest() : scene(std::make_unique<vl::engine::SceneState>()), fountain(random) {
    fountain.Create(300, FountainVec(0, 0, 0));
  }
  int Alive() const {
    int n = 0;
    for (const auto& p : fountain.particles()) n += p.alive;
    return n;
  }
  std::unique_ptr<vl::engine::SceneState> scene;
  vl::Random random;
  Fountain fountain;
};

TEST_F(FountainTest, AStepRevivesAtMostOneInTenOfItsLength) {
  for (int n = -3; n <= 25; ++n) {
    fountain.Create(300, FountainVec(0, 0, 0));
    const int expected = n > 0 ? (n + 9) / 10 : 0;
    EXPECT_EQ(fountain.Step(n, *scene), expected) << n;
    EXPECT_EQ(Alive(), expected) << n;
  }
  // Only dead particles are revived, lowest first; the live ones age.
  fountain.Create(300, FountainVec(0, 0, 0));
  fountain.Step(10, *scene);
  ASSERT_TRUE(fountain.particles()[0].alive);
  fountain.Step(10, *scene);
  EXPECT_EQ(fountain.particles()[0].age, 10);
  EXPECT_TRUE(fountain.particles()[1].alive);
  EXPECT_FALSE(fountain.particles()[2].alive);
}

TEST_F(FountainTest, EmissionDrawsZThenYThenXAndCyclesTheColour) {
  auto& w = scene->work;
  w.fountain_spread_x = w.fountain_spread_y = w.fountain_spread_z = 5000;
  w.vortex_x = 40;
  w.fountain_r = 254;
  w.fountain_g = 10;
  scene->settings.fountain_cycle = 2;
  vl::Random copy = random;
  const float r1 = static_cast<float>(copy.Next() % 1000) / 1000.0f;
  const float r2 = static_cast<float>(copy.Next() % 1000) / 1000.0f;
  const float r3 = static_cast<float>(copy.Next() % 1000) / 1000.0f;
  fountain.Emit(0, *scene);
  const auto& p = fountain.particles()[0];
  EXPECT_FLOAT_EQ(p.velocity.x, r3 - 0.0005f);
  EXPECT_FLOAT_EQ(p.velocity.y, r2);
  EXPECT_FLOAT_EQ(p.velocity.z, r1 - 0.0005f);
  EXPECT_FLOAT_EQ(p.position.x, 1.0f);
  EXPECT_FLOAT_EQ(p.colour.x, 254.0f / 255.0f);
  EXPECT_EQ(w.fountain_r, 0.0f);  // 255.1 wraps to 0
  EXPECT_FLOAT_EQ(w.fountain_g, 12.2f);
  scene->settings.fountain_cycle = 0;
  fountain.Emit(1, *scene);
  EXPECT_EQ(w.fountain_r, 0.0f);
}

TEST_F(FountainTest, HugeStepsSaturateTheAgeInsteadOfWrapping) {
  const int32_t huge = std::numeric_limits<int32_t>::max();
  const int32_t most_negative = std::numeric_limits<int32_t>::min();
  fountain.Step(10, *scene);
  fountain.Step(10, *scene);
  ASSERT_EQ(fountain.particles()[0].age, 10);
  fountain.Step(huge, *scene);  // 10 + huge would wrap to the young
  EXPECT_EQ(fountain.particles()[0].age, huge);
  EXPECT_TRUE(fountain.particles()[0].alive);
  fountain.Step(0, *scene);
  EXPECT_FALSE(fountain.particles()[0].alive);  // too old: dies at the next step

  fountain.Create(300, FountainVec(0, 0, 0));
  fountain.Step(10, *scene);
  fountain.Step(most_negative, *scene);
  fountain.Step(most_negative, *scene);
  EXPECT_EQ(fountain.particles()[0].age, most_negative);
  EXPECT_TRUE(fountain.particles()[0].alive);  // a negative step never ages a particle out
  EXPECT_EQ(fountain.Step(most_negative, *scene), 0);
}

}  // namespace
