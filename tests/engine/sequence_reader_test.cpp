// Reading loop files: field placement by version, string forms, limits, damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "engine/sequence_loader.h"
#include "engine/sequence_reader.h"
#include "tests/engine/loop_builder.h"

namespace {

using namespace vl::engine;
using vl::test::BuildLoop;
using vl::test::LoopSpec;

LoopSpec TwoKeys(float version) {
  LoopSpec spec;
  spec.version = version;
  spec.keys = {{0, nullptr}, {10, nullptr}};
  return spec;
}

std::unique_ptr<SceneState> Load(const std::vector<uint8_t>& bytes, SceneState* into = nullptr) {
  auto parsed = ParseSequence(bytes, "test.lqf");
  EXPECT_TRUE(parsed.ok()) << (parsed.ok() ? "" : parsed.error().ToString());
  std::unique_ptr<SceneState> owned;
  if (!into) {
    owned = std::make_unique<SceneState>();
    into = owned.get();
  }
  SequenceAssets none;
  if (parsed.ok()) ApplySequence(*into, *parsed, none);
  return owned;
}

TEST(SequenceReader, VersionThreeLeavesNewerFieldsAtTheirDefaults) {
  LoopSpec spec = TwoKeys(3.0f);
  spec.floats["tunnel_g"] = 7;
  spec.strings["text_string"] = "Hello";
  spec.initial["text_pos_x+6"] = 33;  // background_r
  // Key 1: every float is 5, so background_r runs 33 -> 5.
  spec.keys[1].value = [](int) { return 5.0f; };
  auto scene = Load(BuildLoop(spec));
  const SceneState& s = *scene;
  EXPECT_EQ(s.settings.particle_count, 800);  // not in version 3
  EXPECT_EQ(s.settings.tunnel_g, 7.0f);
  EXPECT_EQ(s.settings.text_string, "Hello");
  EXPECT_EQ(s.settings.model_2_unit, 3);
  EXPECT_EQ(s.settings.model_2_lit, 2.0f);
  EXPECT_EQ(s.settings.fx_model_1, 0.0f);
  EXPECT_EQ(s.track(Track::background_r).initial_value, 33.0f);
  // scene_echo_b starts from its load default 50 and, with no key values, runs to 0.
  EXPECT_EQ(s.track(Track::scene_echo_b).initial_value, 50.0f);
  EXPECT_FLOAT_EQ(s.track(Track::scene_echo_b).frame_values[0], 45.0f);
  EXPECT_FLOAT_EQ(s.track(Track::scene_echo_b).frame_values[9], 0.0f);
  EXPECT_NEAR(s.track(Track::background_r).frame_values[9], 5.0f, 1e-4);  // accumulated rounding
  EXPECT_EQ(s.echo_colour_mode, 3);
}

TEST(SequenceReader, HeaderFieldsLandInTheirSettingsForEveryVersion) {
  for (float version : {3.0f, 4.0f, 4.5f, 5.0f, 5.5f, 6.0f, 7.0f}) {
    SCOPED_TRACE(version);
    LoopSpec spec = TwoKeys(version);
    spec.floats["particle_count"] = 1234;
    spec.floats["text_style"] = 3;
    spec.floats["trail_tint_r"] = 0.5f;
    spec.floats["model_1_unit"] = 5;
    spec.floats["model_3_unit"] = 6;
    spec.floats["photo_switch_b"] = 9;
    spec.strings["tunnel_texture_name"] = "Textures\\Tunnel.jpg";
    spec.strings["photo_a_name"] = "Images/a.jpg";
    spec.strings["model_3_file_name"] = "model/three.3ds";
    spec.initial["photo_rot_x+15"] = 2.9f;  // wave_phase
    spec.initial["particle_fog_near"] = 4.0f;
    spec.floats["w:particle_fog_near"] = 8.0f;
    auto scene = Load(BuildLoop(spec));
    const SceneState& s = *scene;
    EXPECT_EQ(s.settings.particle_count, version >= 4 ? 1234 : 800);
    EXPECT_EQ(s.settings.text_style, 3.0f);
    EXPECT_EQ(s.settings.trail_tint_r, 0.5f);
    EXPECT_EQ(s.settings.model_1_unit, 5);
    EXPECT_EQ(s.settings.model_3_unit, version >= 5 ? 6 : 3);
    EXPECT_EQ(s.settings.model_3_file_name, version >= 5 ? "model/three.3ds" : "");
    EXPECT_EQ(s.settings.photo_switch_b, 9.0f);
    EXPECT_EQ(s.settings.tunnel_texture_name, "Textures\\Tunnel.jpg");
    EXPECT_EQ(s.settings.photo_a_name, "Images/a.jpg");
    EXPECT_EQ(s.track(Track::wave_phase).initial_value, 2.9f);
    EXPECT_EQ(s.track(Track::particle_fog_near).initial_value, version >= 6 ? 4.0f : 0.0f);
    EXPECT_EQ(s.work.particle_fog_near, version >= 6 ? 8.0f : 0.0f);
  }
}

TEST(SequenceReader, RepeatedSwitchesKeepTheirLastCopy) {
  // fx_model_2 is stored twice always and a third time from version 5; fx_text twice.
  for (float version : {4.0f, 5.0f}) {
    LoopSpec spec = TwoKeys(version);
    std::vector<uint8_t> bytes = BuildLoop(spec);
    // Rebuild with distinct values per copy by walking the rows ourselves.
    vl::test::LoopBuilder b;
    b.F(version);
    int fx_copies = 0, text_copies = 0;
    for (const auto& r : vl::test::HeaderRows()) {
      if (!vl::test::RowPresent(r, version)) continue;
      if (r.type == 'f' && r.name == "fx_model_2") b.F(static_cast<float>(10 + ++fx_copies));
      else if (r.type == 'f' && r.name == "fx_text") b.F(static_cast<float>(20 + ++text_copies));
      else if (r.type == 'f' || r.type == 'w') b.F(0);
      else if (r.type == 'i' || r.type == 'x' || r.type == 'k') b.I(0);
      else if (r.type == 's') b.S("");
      else
        for (int j = 0; j < r.count; ++j) b.F(0);
    }
    b.I(0);
    for (int i = 0; i < vl::test::KeyFloats(version); ++i) b.F(0);
    auto scene = Load(b.bytes);
    EXPECT_EQ(scene->settings.fx_model_2, version >= 5 ? 13.0f : 12.0f);
    EXPECT_EQ(scene->settings.fx_text, 22.0f);
  }
}

TEST(SequenceReader, KeyGroupsOverwriteInFileOrder) {
  LoopSpec spec = TwoKeys(6.0f);
  // Float i of key 1 holds i: ring_z is set by float 41 and again by float 47; text_alpha by 33..35.
  spec.keys[1].value = [](int i) { return static_cast<float>(i); };
  auto scene = Load(BuildLoop(spec));
  EXPECT_EQ(scene->track(Track::ring_z).key_values[10], 47.0f);
  EXPECT_EQ(scene->track(Track::ring_x).key_values[10], 39.0f);
  EXPECT_EQ(scene->track(Track::sprite_count).key_values[10], 45.0f);
  EXPECT_EQ(scene->track(Track::text_alpha).key_values[10], 35.0f);
  EXPECT_EQ(scene->track(Track::background_b).key_values[10], 14.0f);
  EXPECT_EQ(scene->track(Track::wave_phase).key_values[10], 239.0f);
  EXPECT_EQ(scene->track(Track::photo_light_y).key_values[10], 0.0f);  // never keyed
  EXPECT_EQ(scene->track(Track::photo_light_z).key_values[10], 0.0f);
  // Below version 5 the scene echo group is absent, so the background moves up by three floats.
  spec.version = 4.0f;
  auto old = Load(BuildLoop(spec));
  EXPECT_EQ(old->track(Track::background_b).key_values[10], 11.0f);
  EXPECT_EQ(old->track(Track::wave_phase).key_values[10], 173.0f);
}

TEST(SequenceReader, StringPrefixForms) {
  auto with_text = [](const std::function<void(vl::test::LoopBuilder&)>& text) {
    vl::test::LoopBuilder b;
    for (const auto& r : vl::test::HeaderRows()) {
      if (r.name == "text_string") {
        text(b);
        continue;
      }
      if (!vl::test::RowPresent(r, 6.0f)) continue;
      if (r.type == 'f' || r.type == 'w') b.F(0);
      else if (r.type == 'i' || r.type == 'x' || r.type == 'k') b.I(0);
      else if (r.type == 's') b.S("");
      else
        for (int j = 0; j < r.count; ++j) b.F(0);
    }
    b.I(0);
    for (int i = 0; i < 240; ++i) b.F(0);
    std::vector<uint8_t> out;
    vl::test::LoopBuilder head;
    head.F(6.0f);
    out = head.bytes;
    out.insert(out.end(), b.bytes.begin(), b.bytes.end());
    auto parsed = ParseSequence(out, "s.lqf");
    return parsed.ok() ? parsed->settings.text_string : std::string("ERROR: ") + parsed.error().ToString();
  };
  EXPECT_EQ(with_text([](auto& b) { b.S(""); }), "");
  EXPECT_EQ(with_text([](auto& b) { b.S(std::string(254, 'a')); }), std::string(254, 'a'));
  EXPECT_EQ(with_text([](auto& b) { b.S(std::string(300, 'b')); }), std::string(300, 'b'));
  // A 16-bit prefix for a short string is accepted.
  EXPECT_EQ(with_text([](auto& b) {
              b.B(0xFF);
              b.U16(2);
              b.Raw("hi");
            }),
            "hi");
  // The 32-bit form.
  EXPECT_EQ(with_text([](auto& b) {
              b.B(0xFF);
              b.U16(0xFFFF);
              b.U32(3);
              b.Raw("abc");
            }),
            "abc");
  // UTF-16: marker, own prefix, little-endian units narrowed to bytes, '?' above 0xFF.
  EXPECT_EQ(with_text([](auto& b) {
              b.B(0xFF);
              b.U16(0xFFFE);
              b.B(3);
              b.U16('A');
              b.U16(0xE9);
              b.U16(0x20AC);
            }),
            std::string("A\xE9?"));
  EXPECT_EQ(with_text([](auto& b) {
              b.B(0xFF);
              b.U16(0xFFFE);
              b.B(0xFF);
              b.U16(1);
              b.U16('Z');
            }),
            "Z");
  // Lengths beyond the file are refused before anything is allocated.
  EXPECT_NE(with_text([](auto& b) {
              b.B(0xFF);
              b.U16(0xFFFF);
              b.U32(0xFFFFFFF0u);
            }).find("ERROR"),
            std::string::npos);
  EXPECT_NE(with_text([](auto& b) {
              b.B(0xFF);
              b.U16(0xFFFE);
              b.B(0xFF);
              b.U16(0xFFFF);
              b.U32(0x7FFFFFFF);
            }).find("longer than"),
            std::string::npos);
}

TEST(SequenceReader, RefusesFilesThatBreakTheLimits) {
  auto error_of = [](const LoopSpec& spec) {
    auto parsed = ParseSequence(BuildLoop(spec), "bad.lqf");
    return parsed.ok() ? std::string() : parsed.error().ToString();
  };
  LoopSpec spec = TwoKeys(6.0f);
  spec.keyframe_count_override = 20000;
  EXPECT_NE(error_of(spec).find("keyframe_count 20000 is outside 0 .. 19999"), std::string::npos);
  spec.keyframe_count_override = -1;
  spec.keys = {};
  EXPECT_NE(error_of(spec).find("keyframe_count -1"), std::string::npos);

  spec = TwoKeys(6.0f);
  spec.keys[1].frame = 10000;
  EXPECT_NE(error_of(spec).find("key 1 frame"), std::string::npos);
  spec.keys[1].frame = -5;
  EXPECT_NE(error_of(spec).find("outside 0 .. 9999"), std::string::npos);

  // A middle key on frame 0 would start its segment from slot -1.
  spec.keys = {{0, nullptr}, {0, nullptr}, {10, nullptr}};
  EXPECT_NE(error_of(spec).find("segment 1 starts on frame 0"), std::string::npos);
  // The last key may lie on frame 0 (a descending segment), and keys may repeat frames.
  spec.keys = {{5, nullptr}, {9999, nullptr}, {0, nullptr}};
  EXPECT_EQ(error_of(spec), "");

  // More key records announced than the file holds.
  spec = TwoKeys(6.0f);
  spec.keyframe_count_override = 5;
  const std::string e = error_of(spec);
  EXPECT_NE(e.find("bad.lqf"), std::string::npos);
  EXPECT_NE(e.find("key records"), std::string::npos);
  EXPECT_NE(e.find("6 key records of 964 bytes"), std::string::npos);
}

TEST(SequenceReader, EveryTruncationIsRefusedWithFileOffsetAndField) {
  LoopSpec spec = TwoKeys(5.0f);
  spec.strings["text_string"] = "Moxtrel";
  const auto bytes = BuildLoop(spec);
  ASSERT_TRUE(ParseSequence(bytes, "t.lqf").ok());
  for (size_t n = 0; n < bytes.size(); n += (n < 600 ? 1 : 97)) {
    auto parsed = ParseSequence(std::span(bytes.data(), n), "t.lqf");
    ASSERT_FALSE(parsed.ok()) << n;
    ASSERT_TRUE(parsed.error().offset.has_value());
    EXPECT_LE(*parsed.error().offset, n);
    EXPECT_FALSE(parsed.error().field.empty());
    EXPECT_EQ(parsed.error().file, "t.lqf");
  }
  // Bytes after the last key record are ignored.
  auto longer = bytes;
  longer.insert(longer.end(), 17, 0xAB);
  EXPECT_TRUE(ParseSequence(longer, "t.lqf").ok());
}

TEST(SequenceReader, OddVersionsFollowTheComparisonsAsWritten) {
  // NaN fails every comparison: only the always-present fields are read.
  LoopSpec spec = TwoKeys(std::nanf(""));
  auto scene = Load(BuildLoop(spec));
  EXPECT_EQ(scene->echo_colour_mode, 0);
  EXPECT_EQ(scene->settings.particle_count, 800);
  for (float v : {-1.0f, 2.5f, 1e30f, -INFINITY}) {
    spec.version = v;
    auto s = Load(BuildLoop(spec));
    EXPECT_EQ(s->sequence_version, v);
  }
  spec.version = 1e30f;
  EXPECT_EQ(Load(BuildLoop(spec))->echo_colour_mode, INT32_MAX);
}

}  // namespace
