// Loading into the scene: asset loads in file order with the right names, refusal without
// side effects, state carried between loads, and round trips through the writer and source form.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/asset_paths.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "tests/engine/loop_builder.h"

namespace {

using namespace vl::engine;
using vl::test::BuildLoop;
using vl::test::LoopSpec;

class RecordingAssets : public SequenceAssets {
 public:
  std::vector<std::string> events;
  void RebuildGlyphLists(SceneState& s) override { events.push_back("glyphs " + s.settings.text_font_face); }
  void LoadPictureTexture(SceneState&, const std::string& n, TextureSlot slot) override {
    events.push_back(std::string("keyed ") + TextureSlotName(slot) + " " + n);
  }
  void LoadPictureTextureMipmapped(SceneState&, const std::string& n, TextureSlot slot) override {
    events.push_back(std::string("mipmapped ") + TextureSlotName(slot) + " " + n);
  }
  void LoadPhotoTextureA(SceneState&, const std::string& n) override { events.push_back("photo A " + n); }
  void LoadPhotoTextureB(SceneState&, const std::string& n) override { events.push_back("photo B " + n); }
  void LoadParticleTexture(SceneState&, const std::string& n) override { events.push_back("particles " + n); }
  void LoadModel(SceneState&, int slot, const std::string& n) override {
    events.push_back("model " + std::to_string(slot + 1) + " " + n);
  }
  void SequenceLoaded(SceneState& s) override { events.push_back("loaded " + std::to_string(s.playing)); }
};

LoopSpec FullSpec(float version) {
  LoopSpec spec;
  spec.version = version;
  spec.floats["text_wireframe"] = 2;
  spec.strings["text_font_face"] = "Courier";
  spec.strings["sequence_texture_name"] = "Textures/Stone.jpgXX";
  spec.floats["sequence_texture_name_length"] = 18;
  spec.strings["sprite_texture_name"] = "Particles/spark.bmp";
  spec.floats["sprite_texture_name_length"] = 99;  // longer than the name: whole name
  spec.strings["particle_texture_name"] = "Particles/dot.tga";
  spec.floats["particle_texture_name_length"] = 17;
  spec.floats["particle_texture_mode"] = 2;
  spec.strings["fountain_texture_name"] = "F.bmp";
  spec.floats["fountain_texture_name_length"] = -3;  // negative: empty name
  spec.strings["tunnel_texture_name"] = "Textures\\Tunnel.jpg";
  spec.floats["tunnel_texture_name_length"] = 8;
  spec.strings["backdrop_1_texture_name"] = "B1.jpg";
  spec.floats["backdrop_1_texture_name_length"] = 6;
  spec.strings["backdrop_2_texture_name"] = "B2.jpg";
  spec.floats["backdrop_2_texture_name_length"] = 2;
  spec.strings["model_1_file_name"] = "model/one.3ds";
  spec.floats["model_1_file_name_length"] = 3;  // model names are used whole
  spec.floats["model_1_load"] = 2;
  spec.strings["model_1_texture_name"] = "Textures/one.jpg";
  spec.floats["model_1_texture_mode"] = 2;
  spec.strings["model_2_file_name"] = "model/two.3ds";
  spec.floats["model_2_load"] = 0;
  spec.strings["model_2_texture_name"] = "Textures/two.jpg";
  spec.floats["model_2_texture_mode"] = 1.5f;  // between 1 and 2: nothing loads
  spec.strings["model_3_file_name"] = "model/three.3ds";
  spec.floats["model_3_load"] = 3;
  spec.strings["model_3_texture_name"] = "Textures/three.jpg";
  spec.strings["photo_b_name"] = "Images/b.jpg";
  spec.floats["photo_b_name_length"] = 1;
  spec.strings["photo_a_name"] = "Images/a.jpg";
  spec.keys = {{0, nullptr}, {20, nullptr}};
  return spec;
}

TEST(SequenceLoader, AssetLoadsComeInFileOrderWithCutOrWholeNames) {
  auto bytes = BuildLoop(FullSpec(6.0f));
  auto parsed = ParseSequence(bytes, "full.lqf");
  ASSERT_TRUE(parsed.ok());
  auto scene = std::make_unique<SceneState>();
  RecordingAssets rec;
  ApplySequence(*scene, *parsed, rec);
  const std::vector<std::string> expected = {
      "glyphs Arial Black",  // wireframe rebuild happens before the font face is read
      "mipmapped text_texture Textures/Stone.jpg",
      "mipmapped custom_image_texture Textures/Stone.jpg",
      "keyed sprite_texture Particles/spark.bmp",
      "particles Particles/dot.tga",
      "keyed fountain_texture ",
      "keyed tunnel_texture Textures",
      "keyed backdrop_1_texture B1.jpg",
      "keyed backdrop_2_texture B2",
      "model 1 model/one.3ds",
      "model 3 model/three.3ds",
      "keyed model_1_texture Textures/one.jpg",
      "mipmapped model_3_texture Textures/three.jpg",
      "photo B Images/b.jpg",
      "photo A Images/a.jpg",
      "glyphs Courier",
      "loaded 1",
  };
  EXPECT_EQ(rec.events, expected);
  EXPECT_EQ(scene->custom_image_mode, 0);
  EXPECT_EQ(scene->playing, 1);
  EXPECT_EQ(scene->play_to_sequence_end, 1);
  EXPECT_EQ(scene->particle_prewarm, 2.0f);
}

TEST(SequenceLoader, OlderVersionsLoadOnlyTheFirstModelAndGoldWhenAsked) {
  LoopSpec spec = FullSpec(4.0f);
  spec.floats["sequence_texture_mode"] = 2;
  spec.floats["text_wireframe"] = 0;
  auto parsed = ParseSequence(BuildLoop(spec), "v4.lqf");
  ASSERT_TRUE(parsed.ok());
  auto scene = std::make_unique<SceneState>();
  RecordingAssets rec;
  ApplySequence(*scene, *parsed, rec);
  ASSERT_GE(rec.events.size(), 3u);
  EXPECT_EQ(rec.events[0], "mipmapped text_texture Textures/Gold.jpg");
  EXPECT_EQ(rec.events[1], "mipmapped custom_image_texture Textures/Gold.jpg");
  int models = 0;
  for (const auto& e : rec.events) models += e.rfind("model ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(models, 1);
}

TEST(SequenceLoader, WholeNamesStopAtAThousandBytesAndCutNamesAtTheBuffer) {
  EXPECT_EQ(WholeName(std::string(5000, 'm')).size(), 1000u);
  EXPECT_EQ(CutName(std::string(40000, 'c'), 1e9f).size(), kNameBufferLimit);
  EXPECT_EQ(CutName("abc", std::nanf("")), "");
  EXPECT_EQ(CutName("abc", 2.9f), "ab");
}

std::string Snapshot(const SceneState& s) {
  std::string out = DecompileSequence(s);
  for (int t = 0; t < kTrackCount; ++t)
    out.append(reinterpret_cast<const char*>(s.tracks[static_cast<size_t>(t)].frame_values), 4 * 700);
  out += std::to_string(s.frame_count) + "/" + std::to_string(s.current_frame) + "/" + std::to_string(s.playing);
  return out;
}

TEST(SequenceLoader, ADamagedFileLeavesTheLoadedLoopExactlyAsItWas) {
  auto scene = std::make_unique<SceneState>();
  RecordingAssets rec;
  LoopSpec good = FullSpec(6.0f);
  good.keys[1].value = [](int i) { return static_cast<float>(i); };
  ApplySequence(*scene, *ParseSequence(BuildLoop(good), "good.lqf"), rec);
  scene->current_frame = 7;
  const std::string before = Snapshot(*scene);

  auto bad = BuildLoop(FullSpec(6.0f));
  bad.resize(bad.size() - 1);
  const auto path = std::filesystem::temp_directory_path() / "vl_damaged.lqf";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bad.data(), 1, bad.size(), f);
    std::fclose(f);
  }
  rec.events.clear();
  vl::Status err = LoadSequence(*scene, path.string(), rec);
  ASSERT_TRUE(err.has_value());
  EXPECT_NE(err->ToString().find("vl_damaged.lqf"), std::string::npos);
  EXPECT_NE(err->ToString().find("key records"), std::string::npos);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(Snapshot(*scene), before);
  std::filesystem::remove(path);
}

TEST(SequenceLoader, MissingFileFallsBackToTheDefaultLoop) {
  const auto dir = std::filesystem::temp_directory_path() / "vl_lib_fallback";
  std::filesystem::create_directories(dir / "Sequences");
  auto bytes = BuildLoop(FullSpec(6.0f));
  std::FILE* f = std::fopen((dir / "Sequences" / "default.lqf").c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  vl::SetProgramFolder(dir);
  auto scene = std::make_unique<SceneState>();
  RecordingAssets rec;
  EXPECT_FALSE(LoadSequence(*scene, "Sequences/none.lqf", rec).has_value());
  EXPECT_EQ(scene->settings.text_font_face, "Courier");
  EXPECT_EQ(scene->sequence_file_name, "default.lqf");
  std::filesystem::remove_all(dir);
  auto err = LoadSequence(*scene, "Sequences/none.lqf", rec);
  ASSERT_TRUE(err.has_value());
  EXPECT_NE(err->ToString().find("none.lqf"), std::string::npos);
  vl::SetProgramFolder(std::filesystem::current_path());
}

TEST(SequenceLoader, KeptValuesCarryIntoTheNextLoad) {
  auto scene = std::make_unique<SceneState>();
  SequenceAssets none;
  LoopSpec first = FullSpec(6.0f);
  first.floats["text_on"] = 2;
  first.floats["w:particle_fog_near"] = 3.5f;
  first.initial["model_1_echo_layers"] = 12;  // a track a load does not reset
  ApplySequence(*scene, *ParseSequence(BuildLoop(first), "a.lqf"), none);
  EXPECT_EQ(scene->work.particle_fog_near, 3.5f);

  LoopSpec second;
  second.version = 4.0f;
  second.keys = {{0, nullptr}};
  ApplySequence(*scene, *ParseSequence(BuildLoop(second), "b.lqf"), none);
  // text_on is read by every version; text_wireframe and the name lengths are not reset.
  EXPECT_EQ(scene->settings.text_on, 0.0f);
  EXPECT_EQ(scene->settings.text_wireframe, 0.0f);      // read (as 0) by version 4
  EXPECT_EQ(scene->settings.model_2_texture_name, "");  // names reset, not read below 5
  EXPECT_EQ(scene->settings.model_2_load, 0.0f);
  EXPECT_EQ(scene->track(Track::particle_fog_near).initial_value, 3.5f);
  EXPECT_EQ(scene->track(Track::model_1_echo_layers).initial_value, 0.0f);  // working value untouched
  EXPECT_EQ(scene->keyframe_count, 0);
  EXPECT_EQ(scene->frame_count, 0);
}

TEST(SequenceLoader, ShortLoopAfterALongOneKeepsSlotsBeyond601) {
  auto scene = std::make_unique<SceneState>();
  SequenceAssets none;
  LoopSpec longer;
  longer.keys = {{0, nullptr}, {900, [](int) { return 900.0f; }}};
  ApplySequence(*scene, *ParseSequence(BuildLoop(longer), "long.lqf"), none);
  const float kept = scene->track(Track::text_rot_x).frame_values[700];
  EXPECT_GT(kept, 0.0f);
  LoopSpec shorter;
  shorter.keys = {{5, nullptr}, {10, [](int) { return 1.0f; }}};
  ApplySequence(*scene, *ParseSequence(BuildLoop(shorter), "short.lqf"), none);
  const auto& track = scene->track(Track::text_rot_x);
  EXPECT_EQ(track.frame_values[700], kept);
  EXPECT_EQ(track.frame_values[600], 0.0f);
  EXPECT_EQ(track.frame_values[11], 0.0f);
  EXPECT_EQ(track.frame_values[0], 1.0f);  // slot 0 was written by the long loop and kept
  EXPECT_FLOAT_EQ(track.frame_values[9], 1.0f);
}

TEST(SequenceRoundTrip, WriteAndSourceFormKeepTheScene) {
  for (float version : {3.0f, 4.0f, 5.0f, 5.5f, 6.0f}) {
    SCOPED_TRACE(version);
    LoopSpec spec = FullSpec(version);
    spec.strings["text_string"] = std::string("caf\xE9 \"quoted\" \\ back\nline");
    spec.initial["text_rot_x"] = std::nanf("");
    spec.initial["photo_rot_x+15"] = -INFINITY;
    spec.keys = {{2, [](int i) { return static_cast<float>(i) * 0.1f; }},
                 {40, [](int i) { return i % 3 ? 1.0f : -1e20f; }},
                 {40, nullptr},
                 {7, [](int i) { return static_cast<float>(i); }}};
    auto original = std::make_unique<SceneState>();
    SequenceAssets none;
    ApplySequence(*original, *ParseSequence(BuildLoop(spec), "o.lqf"), none);
    const std::string want = Snapshot(*original);

    // Same version: the same layout (only the unused int32 may differ).
    auto again = WriteSequence(*original, version);
    EXPECT_EQ(again.size(), BuildLoop(spec).size());
    auto reloaded = std::make_unique<SceneState>();
    ApplySequence(*reloaded, *ParseSequence(again, "w.lqf"), none);
    EXPECT_EQ(Snapshot(*reloaded), want);

    // Through the source form.
    auto compiled = std::make_unique<SceneState>();
    ASSERT_FALSE(CompileSequence(DecompileSequence(*original), "src", *compiled).has_value());
    auto from_source = std::make_unique<SceneState>();
    ApplySequence(*from_source, *ParseSequence(WriteSequence(*compiled, compiled->sequence_version), "c.lqf"), none);
    EXPECT_EQ(Snapshot(*from_source), want);

    // As version 6: everything but the version itself is kept.
    auto as6 = std::make_unique<SceneState>();
    ApplySequence(*as6, *ParseSequence(WriteSequence(*original, 6.0f), "6.lqf"), none);
    as6->sequence_version = original->sequence_version;
    EXPECT_EQ(Snapshot(*as6), want);
  }
}

TEST(SequenceSource, ReportsTheLineOfEachMistake) {
  auto error_of = [](const std::string& text) {
    auto scene = std::make_unique<SceneState>();
    auto err = CompileSequence(text, "loop.txt", *scene);
    return err ? err->ToString() : std::string();
  };
  EXPECT_NE(error_of("").find("version"), std::string::npos);
  EXPECT_NE(error_of("version 6\n[settings]\nno_such = 1\n[key]\nframe = 0\n").find("line 3"), std::string::npos);
  EXPECT_NE(error_of("version 6\n[key]\nframe = 0\nphoto_light_y = 1\n").find("no key values"), std::string::npos);
  EXPECT_NE(error_of("version 6\n[key]\nframe = 10000\n").find("0 .. 9999"), std::string::npos);
  EXPECT_NE(error_of("version 6\n[key]\nframe = 0\n[key]\nframe = 0\n[key]\nframe = 5\n").find("frame 0"),
            std::string::npos);
  EXPECT_NE(error_of("version 6\n[settings]\ntext_string = \"open\n[key]\nframe = 0\n").find("line 3"),
            std::string::npos);
  EXPECT_NE(error_of("version 6\n[settings]\n").find("at least one"), std::string::npos);
  EXPECT_EQ(error_of("version 6\n[settings]\ntext_string = \"Hi\"\n[key]\nframe = 0\n[key]\nframe = 50\n"
                     "text_rot_y = 360\n"),
            "");
}

TEST(SequenceSource, ErrorsGiveTheColumnOfTheNameOrOfTheValue) {
  auto error_of = [](const std::string& text) {
    auto scene = std::make_unique<SceneState>();
    auto err = CompileSequence(text, "loop.txt", *scene);
    return err ? err->ToString() : std::string();
  };
  EXPECT_EQ(error_of("version 6\n[settings]\n  no_such = 1\n[key]\nframe = 0\n"),
            "loop.txt: line 3, column 3: unknown setting 'no_such'");
  EXPECT_EQ(error_of("version 6\n[key]\nframe = 0\ntext_rot_y =   1x\n"),
            "loop.txt: line 4, column 16: bad number '1x' for text_rot_y");
  EXPECT_EQ(error_of("version six\n"), "loop.txt: line 1, column 9: bad version number");
  EXPECT_EQ(error_of("version 6\n\ttext_on = 2\n"),
            "loop.txt: line 2, column 2: 'text_on' before any [settings], [initial] or [key] section");
}

TEST(SequenceSource, LoopsLoadFromSourcesAsFromLoopFiles) {
  const auto dir = std::filesystem::temp_directory_path() / ("vl_source_load_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string text =
      "# a loop\nversion 6\n[settings]\ntext_string = \"Hi\"\n[key]\nframe = 0\n[key]\n"
      "frame = 50\ntext_rot_y = 360\n";
  std::ofstream(dir / "loop.txt") << text;
  auto from_source = std::make_unique<SceneState>();
  SequenceAssets none;
  ASSERT_FALSE(LoadSequence(*from_source, (dir / "loop.txt").string(), none).has_value());
  auto compiled = std::make_unique<SceneState>();
  ASSERT_FALSE(CompileSequence(text, "loop.txt", *compiled).has_value());
  ASSERT_FALSE(WriteSequenceFile(*compiled, dir / "loop.lqf", 6.0f).has_value());
  auto from_file = std::make_unique<SceneState>();
  ASSERT_FALSE(LoadSequence(*from_file, (dir / "loop.lqf").string(), none).has_value());
  EXPECT_EQ(from_source->baked_frame_count, 50);
  EXPECT_EQ(Snapshot(*from_source), Snapshot(*from_file));

  // A broken source is refused whole with its line and column, and the scene is untouched.
  std::ofstream(dir / "broken.txt") << "version 6\n[key]\nframe = 0\n[key]\nframe = 50\ntext_rot_y = x\n";
  auto err = LoadSequence(*from_source, (dir / "broken.txt").string(), none);
  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(err->ToString(), (dir / "broken.txt").string() + ": line 6, column 14: bad number 'x' for text_rot_y");
  EXPECT_EQ(Snapshot(*from_source), Snapshot(*from_file));
  // A source saved under a .lqf name is still a source: the name and the first bytes decide together.
  std::filesystem::copy_file(dir / "loop.txt", dir / "text.lqf");
  EXPECT_FALSE(LoadSequence(*from_source, (dir / "text.lqf").string(), none).has_value());
  EXPECT_EQ(Snapshot(*from_source), Snapshot(*from_file));
  std::filesystem::remove_all(dir);
}

TEST(SequenceSource, OmittedValuesHoldAndLengthsFollowTheirNames) {
  auto scene = std::make_unique<SceneState>();
  ASSERT_FALSE(CompileSequence("version 6\n[settings]\nsprite_texture_name = \"Particles/a.bmp\"\n"
                               "[initial]\ntext_rot_y = 4\n[key]\nframe = 0\n[key]\nframe = 10\n"
                               "text_rot_y = 40\n[key]\nframe = 20\n",
                               "s", *scene)
                   .has_value());
  EXPECT_EQ(scene->settings.sprite_texture_name_length, 15.0f);
  EXPECT_EQ(scene->settings.particle_count, 800);
  EXPECT_EQ(scene->keyframe_count, 2);
  EXPECT_EQ(scene->track(Track::text_rot_y).key_values[0], 4.0f);
  EXPECT_EQ(scene->track(Track::text_rot_y).key_values[20], 40.0f);
}

}  // namespace
