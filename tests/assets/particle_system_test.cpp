// The particle pool: emission into the lowest free slots, expiry, respawn, bounds, determinism.
#include <gtest/gtest.h>

#include "assets/particle_system.h"

namespace {

using vl::Random;
using vl::assets::ParticleSystem;

int Alive(const ParticleSystem& s) {
  int n = 0;
  for (const auto& p : s.particles()) n += p.alive ? 1 : 0;
  return n;
}

ParticleSystem Emitter(Random& random, int pool) {
  ParticleSystem s(random);
  s.AllocateParticles(pool);
  s.emission_rate = 150;
  s.emission_jitter = 0;
  s.life_min = s.life_max = 10.0f;
  return s;
}

TEST(ProgramRandom, MatchesTheClassicGenerator) {
  Random r;
  EXPECT_EQ(r.Next(), 41);
  EXPECT_EQ(r.Next(), 18467);
  EXPECT_EQ(r.Next(), 6334);
  r.Seed(12345);
  Random again;
  again.Seed(12345);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(r.Next(), again.Next());
}

TEST(ParticleSystem, EmissionFillsTheLowestFreeSlotsAndDropsWhatDoesNotFit) {
  Random random;
  ParticleSystem s = Emitter(random, 400);
  s.particles()[3].alive = true;  // a live particle in the way
  s.particles()[3].life = 1000;
  s.UpdateParticles(1.0f);  // 150 emissions
  EXPECT_EQ(Alive(s), 151);
  for (int i = 0; i <= 150; ++i) EXPECT_TRUE(s.particles()[static_cast<size_t>(i)].alive) << i;
  EXPECT_FALSE(s.particles()[151].alive);
  s.UpdateParticles(1.0f);
  EXPECT_EQ(Alive(s), 301);
  s.UpdateParticles(1.0f);  // only 99 free slots left
  EXPECT_EQ(Alive(s), 400);
  s.UpdateParticles(1.0f);  // full: nothing emitted, nothing carried over
  EXPECT_EQ(Alive(s), 400);
}

TEST(ParticleSystem, EmissionsThatFoundNoSlotAreNotCarriedOver) {
  Random random;
  ParticleSystem s = Emitter(random, 400);
  for (int i = 0; i < 3; ++i) s.UpdateParticles(1.0f);
  ASSERT_EQ(Alive(s), 400);
  s.UpdateParticles(1.0f);  // 150 emissions find no free slot
  for (size_t i = 0; i < 300; ++i) s.particles()[i].alive = false;
  s.UpdateParticles(1.0f);  // this update's 150 only, not 300
  EXPECT_EQ(Alive(s), 250);
  for (size_t i = 0; i < 150; ++i) EXPECT_TRUE(s.particles()[i].alive) << i;
  EXPECT_FALSE(s.particles()[150].alive);
}

TEST(ParticleSystem, AnExpiringParticleIsReplacedInTheSameUpdate) {
  Random random;
  ParticleSystem s = Emitter(random, 2);
  s.emission_rate = 1;
  s.UpdateParticles(1.0f);
  ASSERT_TRUE(s.particles()[0].alive);
  s.particles()[0].age = 9.5f;  // expires in the next update
  s.particles()[0].position = {99, 99, 99};
  s.UpdateParticles(1.0f);
  EXPECT_TRUE(s.particles()[0].alive);
  EXPECT_LT(s.particles()[0].age, 1.0f);
  EXPECT_NE(s.particles()[0].position.x, 99.0f);
  EXPECT_FALSE(s.particles()[1].alive);
}

TEST(ParticleSystem, StepMovesWithTheUpdatedVelocity) {
  Random random;
  ParticleSystem s(random);
  vl::assets::Particle p;
  p.alive = true;
  p.life = 10;
  p.velocity = {1, 0, 0};
  p.acceleration = {1, 0, 0};
  p.spin = 2;
  s.StepParticle(p, 0.5f);
  EXPECT_FLOAT_EQ(p.velocity.x, 1.5f);
  EXPECT_FLOAT_EQ(p.position.x, 0.75f);
  EXPECT_FLOAT_EQ(p.angle, 1.0f);
  p.age = 9.9f;
  s.StepParticle(p, 0.5f);  // expires: freed, not moved
  EXPECT_FALSE(p.alive);
  EXPECT_EQ(p.age, 0.0f);
  EXPECT_FLOAT_EQ(p.position.x, 0.75f);
}

TEST(ParticleSystem, RespawnWithZeroLifeDoesNotLoopForever) {
  Random random;
  ParticleSystem s(random);
  s.AllocateParticles(10);
  s.respawn = true;
  s.emission_rate = 100;
  s.life_min = s.life_max = 0.0f;
  s.UpdateParticles(1.0f);  // must return
  s.life_min = s.life_max = 1e-30f;
  s.UpdateParticles(1.0f);
  SUCCEED();
}

TEST(ParticleSystem, AbsurdPoolSizesAreRefusedAndTheOldPoolKept) {
  Random random;
  ParticleSystem s(random);
  ASSERT_TRUE(s.AllocateParticles(800));
  std::string why;
  EXPECT_FALSE(s.AllocateParticles(-1, &why));
  EXPECT_NE(why.find("-1"), std::string::npos);
  EXPECT_FALSE(s.AllocateParticles(50'000'000, &why));
  EXPECT_EQ(s.capacity(), 800);
  EXPECT_TRUE(s.AllocateParticles(0));
  s.emission_rate = 1000;
  s.UpdateParticles(1.0f);
  EXPECT_EQ(s.capacity(), 0);
}

TEST(ParticleSystem, DefaultConfigurationAndSameSeedSameParticles) {
  Random a, b;
  ParticleSystem s1(a), s2(b);
  for (ParticleSystem* s : {&s1, &s2}) {
    s->ApplyDefaultConfiguration();
    EXPECT_EQ(s->capacity(), 300);
    s->AllocateParticles(800);
    for (int i = 0; i < 20; ++i) s->UpdateParticles(0.5f);
  }
  EXPECT_TRUE(s1.particles()[0].alive);
  for (size_t i = 0; i < 800; ++i) {
    EXPECT_EQ(s1.particles()[i].alive, s2.particles()[i].alive);
    EXPECT_EQ(s1.particles()[i].position.y, s2.particles()[i].position.y);
  }
  // Speed factor lies between 0.2 and 0.3 although the minimum is the larger bound.
  const auto& p = s1.particles()[0];
  EXPECT_GT(p.velocity.y, 0.0f);
}

}  // namespace
