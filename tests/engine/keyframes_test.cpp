// Key expansion: the accumulation rule, segment edges, resuming, clearing.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>

#include "engine/keyframes.h"
#include "engine/numeric.h"

namespace {

using namespace vl::engine;

struct Fixture {
  std::unique_ptr<SceneState> scene = std::make_unique<SceneState>();
  ParameterTrack& t = scene->track(Track::text_rot_x);

  void Keys(std::initializer_list<int32_t> frames) {
    ClearKeyframes(*scene);
    int k = 0;
    for (int32_t f : frames) (*scene->keyframe_frame)[static_cast<size_t>(k++)] = f;
    scene->keyframe_count = k - 1;
    scene->bake_segment = 0;
  }
};

bool Bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

TEST(Keyframes, LinearSegmentsFromTheInitialValueAndFromTheFrameBefore) {
  Fixture f;
  f.Keys({0, 10, 20});
  f.t.initial_value = 0;
  f.t.key_values[10] = 10;
  f.t.key_values[20] = 0;
  ExpandKeyframes(*f.scene);
  for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(f.t.frame_values[i], static_cast<float>(i + 1));
  for (int i = 10; i < 20; ++i) EXPECT_NEAR(f.t.frame_values[i], static_cast<float>(19 - i), 1e-5);
  EXPECT_EQ(f.t.frame_values[20], 0.0f);  // the last key's frame is not written
  EXPECT_EQ(f.scene->frame_count, 20);
  EXPECT_EQ(f.scene->baked_frame_count, 20);
  EXPECT_EQ(f.scene->bake_segment, 2);
}

TEST(Keyframes, AccumulatesInDoubleAndStoresFloatEachFrame) {
  Fixture f;
  f.Keys({3, 10});
  f.t.initial_value = 0.1f;
  f.t.key_values[10] = 1e7f + 3.0f;
  ExpandKeyframes(*f.scene);
  const double step = (static_cast<double>(1e7f + 3.0f) - static_cast<double>(0.1f)) / 7.0;
  float running = 0.1f;
  for (int i = 3; i < 10; ++i) {
    running = static_cast<float>(static_cast<double>(running) + step);
    EXPECT_TRUE(Bits(f.t.frame_values[i], running)) << i;
  }
}

TEST(Keyframes, LaterSegmentsMoveByTheDifferenceOfKeyTargets) {
  // The second segment's change is its key minus the previous key (not minus where the first
  // segment actually ended), starting from the value on the frame before.
  Fixture f;
  f.Keys({0, 3, 6});
  f.t.initial_value = 0;
  f.t.key_values[3] = 1;
  f.t.key_values[6] = 1;  // flat
  ExpandKeyframes(*f.scene);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(f.t.frame_values[i], f.t.frame_values[2]);
  EXPECT_EQ(f.t.previous_target, 1.0f);
}

TEST(Keyframes, EmptyRepeatedAndDescendingSegments) {
  Fixture f;
  f.Keys({7});
  ExpandKeyframes(*f.scene);
  EXPECT_EQ(f.scene->frame_count, 0);
  EXPECT_EQ(f.scene->baked_frame_count, 0);

  f.Keys({0, 5, 5, 2});
  f.t.initial_value = 2;
  f.t.key_values[5] = 7;
  f.t.key_values[2] = 100;
  f.t.frame_values[2] = -1;  // written by the first segment, then left alone
  ExpandKeyframes(*f.scene);
  EXPECT_EQ(f.scene->frame_count, 2);  // 5 + 0 - 3
  EXPECT_EQ(f.scene->baked_frame_count, 2);
  EXPECT_FLOAT_EQ(f.t.frame_values[4], 7.0f);
  EXPECT_FLOAT_EQ(f.t.frame_values[2], 5.0f);
}

TEST(Keyframes, ResumesFromBakeSegment) {
  Fixture a, b;
  for (Fixture* f : {&a, &b}) {
    f->Keys({0, 4, 9});
    f->t.initial_value = 1;
    f->t.key_values[4] = 5;
    f->t.key_values[9] = -5;
  }
  ExpandKeyframes(*a.scene);
  b.scene->keyframe_count = 1;
  ExpandKeyframes(*b.scene);
  b.scene->keyframe_count = 2;
  ExpandKeyframes(*b.scene);
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(Bits(a.t.frame_values[i], b.t.frame_values[i])) << i;
  EXPECT_EQ(a.scene->frame_count, b.scene->frame_count);
}

TEST(Keyframes, ClearTouchesSlotsOneTo601Only) {
  Fixture f;
  for (int i : {0, 1, 601, 602, 9999}) {
    f.t.key_values[i] = 9;
    f.t.frame_values[i] = 9;
    (*f.scene->keyframe_frame)[static_cast<size_t>(i)] = 9;
  }
  f.scene->frame_count = f.scene->baked_frame_count = f.scene->keyframe_count = 3;
  ClearKeyframes(*f.scene);
  EXPECT_EQ(f.t.frame_values[0], 9);
  EXPECT_EQ(f.t.key_values[0], 9);
  EXPECT_EQ((*f.scene->keyframe_frame)[0], 9);
  for (int i : {1, 601}) {
    EXPECT_EQ(f.t.frame_values[i], 0);
    EXPECT_EQ(f.t.key_values[i], 0);
    EXPECT_EQ((*f.scene->keyframe_frame)[static_cast<size_t>(i)], 0);
  }
  for (int i : {602, 9999}) {
    EXPECT_EQ(f.t.frame_values[i], 9);
    EXPECT_EQ((*f.scene->keyframe_frame)[static_cast<size_t>(i)], 9);
  }
  EXPECT_EQ(f.scene->frame_count + f.scene->baked_frame_count + f.scene->keyframe_count, 0);
}

TEST(Numeric, ConversionsAreDefinedForEveryFloat) {
  EXPECT_EQ(vl::TruncToInt(2.9), 2);
  EXPECT_EQ(vl::TruncToInt(-2.9), -2);
  EXPECT_EQ(vl::TruncToInt(std::nan("")), 0);
  EXPECT_EQ(vl::TruncToInt(INFINITY), INT32_MAX);
  EXPECT_EQ(vl::TruncToInt(-1e300), INT32_MIN);
  EXPECT_EQ(vl::TruncToRange(1e9, 0, 512), 512);
  EXPECT_EQ(vl::TruncToRange(-3, 0, 512), 0);
  EXPECT_TRUE(vl::IsOn(2.0f));
  EXPECT_FALSE(vl::IsOn(1.99f));
  EXPECT_FALSE(vl::IsOn(std::nanf("")));
}

TEST(SceneState, ConstructionAndLoadDefaultsDiffer) {
  auto s = std::make_unique<SceneState>();
  EXPECT_EQ(s->work.model_2_x, 8.0f);
  EXPECT_EQ(s->work.model_3_x, -8.0f);
  EXPECT_EQ(s->work.sprite_count, 250.0f);
  EXPECT_EQ(s->work.fountain_spread_x, 0.01f);
  EXPECT_EQ(s->settings.text_font_face, "Arial Black");
  EXPECT_EQ(s->settings.particle_count, 800);
  EXPECT_EQ(s->locked_fps, 50);
  s->work.trail_spare = 5;
  s->work.text_rot_x = 5;
  s->settings.text_on = 2;
  s->settings.trail_on = 2;
  s->settings.sprite_texture_name = "x";
  ResetToLoadDefaults(*s);
  EXPECT_EQ(s->work.model_2_x, 0.0f);
  EXPECT_EQ(s->work.trail_spare, 5.0f);  // kept across loads
  EXPECT_EQ(s->work.text_rot_x, 0.0f);
  EXPECT_EQ(s->settings.text_on, 2.0f);  // kept across loads
  EXPECT_EQ(s->settings.trail_on, 0.0f);
  EXPECT_EQ(s->settings.sprite_texture_name, "");
  EXPECT_EQ(s->track(Track::trail_spare).initial_value, 5.0f);
  EXPECT_EQ(s->track(Track::scene_echo_b).initial_value, 50.0f);
}

}  // namespace
