// The loop sources of the bundled library (res/loops): each compiles, plays for a few seconds,
// ends on every track where it began (so it repeats without a jump), names only assets that the
// build draws beside the programs, and together they show every layer and style of the player.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "engine/numeric.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;
using vl::IsOn;

fs::path LoopFolder() { return fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops"; }

std::vector<fs::path> LoopSources() {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(LoopFolder()))
    if (e.path().extension() == ".txt") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// Remembers every asset name the loader asks for.
struct NameRecorder : SequenceAssets {
  std::vector<std::string> pictures, models, particle_textures;
  void LoadPictureTexture(SceneState&, const std::string& n, TextureSlot) override { pictures.push_back(n); }
  void LoadPictureTextureMipmapped(SceneState&, const std::string& n, TextureSlot) override { pictures.push_back(n); }
  void LoadPhotoTextureA(SceneState&, const std::string& n) override { pictures.push_back(n); }
  void LoadPhotoTextureB(SceneState&, const std::string& n) override { pictures.push_back(n); }
  void LoadParticleTexture(SceneState&, const std::string& n) override { particle_textures.push_back(n); }
  void LoadModel(SceneState&, int, const std::string& n) override { models.push_back(n); }
};

struct LoadedLoop {
  std::string name;
  std::unique_ptr<SceneState> scene;
  NameRecorder names;
};

// Compiled, written as a loop file and loaded back the way the player loads it.
std::unique_ptr<LoadedLoop> Load(const fs::path& source) {
  auto loop = std::make_unique<LoadedLoop>();
  loop->name = source.stem().string();
  std::ifstream in(source, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  auto compiled = std::make_unique<SceneState>();
  if (auto err = CompileSequence(text.str(), source.string(), *compiled)) {
    ADD_FAILURE() << err->ToString();
    return nullptr;
  }
  const std::vector<uint8_t> bytes = WriteSequence(*compiled, compiled->sequence_version);
  auto parsed = ParseSequence(bytes, source.string());
  if (!parsed) {
    ADD_FAILURE() << parsed.error().ToString();
    return nullptr;
  }
  loop->scene = std::make_unique<SceneState>();
  ApplySequence(*loop->scene, *parsed, loop->names);
  return loop;
}

class BundledLoops : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const fs::path& p : LoopSources())
      if (auto loop = Load(p)) loops_.push_back(std::move(loop));
  }
  static void TearDownTestSuite() { loops_.clear(); }
  static std::vector<std::unique_ptr<LoadedLoop>> loops_;
};
std::vector<std::unique_ptr<LoadedLoop>> BundledLoops::loops_;

TEST_F(BundledLoops, AtLeastSixteenCompileAndPlayForSeconds) {
  EXPECT_GE(LoopSources().size(), 16u);
  EXPECT_EQ(loops_.size(), LoopSources().size());
  for (const auto& loop : loops_) {
    EXPECT_GE(loop->scene->keyframe_count, 2) << loop->name;
    EXPECT_GE(loop->scene->frame_count, 100) << loop->name;
    EXPECT_LE(loop->scene->frame_count, 600) << loop->name << ": long loops make slow thumbnails";
  }
}

// The expansion puts the last key's value on the last frame, and frame 0 carries on from the
// initial value: a loop repeats without a jump when the two agree on every track.
TEST_F(BundledLoops, EndWhereTheyBeginOnEveryTrack) {
  for (const auto& loop : loops_) {
    const SceneState& s = *loop->scene;
    ASSERT_GT(s.frame_count, 0) << loop->name;
    for (int i = 0; i < kTrackCount; ++i) {
      const auto t = static_cast<Track>(i);
      const float start = s.track(t).initial_value;
      const float last = s.track(t).frame_values[s.frame_count - 1];
      EXPECT_NEAR(last, start, 1e-3f * std::max(1.0f, std::abs(start))) << loop->name << ": " << TrackName(t);
    }
  }
}

TEST_F(BundledLoops, NameOnlyAssetsTheBuildProvides) {
  const fs::path bin(VL_BIN_DIR);
  if (!fs::exists(bin / "Textures" / "Gold.jpg")) GTEST_SKIP() << "the default pictures are not built";
  for (const auto& loop : loops_) {
    for (const auto* list : {&loop->names.pictures, &loop->names.models, &loop->names.particle_textures}) {
      for (const std::string& name : *list) {
        if (name.empty()) continue;
        EXPECT_TRUE(vl::ResolveAssetPath(name, bin)) << loop->name << ": " << name;
      }
    }
  }
}

// What the library as a whole shows: every layer, text style and lighting, both tunnel texture
// modes, tinted and untinted sprites, one to three models, the echoes, the trail and the fog.
TEST_F(BundledLoops, TogetherShowEveryLayerAndStyle) {
  std::set<std::string> shown;
  for (const auto& loop : loops_) {
    const SceneState& s = *loop->scene;
    const SequenceSettings& st = s.settings;
    auto track_min = [&](Track t) {
      return *std::min_element(s.track(t).frame_values, s.track(t).frame_values + s.frame_count);
    };
    const bool text = IsOn(st.text_on) && !st.text_string.empty();
    if (text) {
      shown.insert("text style " + std::to_string(static_cast<int>(st.text_style)));
      shown.insert(IsOn(st.text_lit) ? "text lit" : "text unlit");
      if (IsOn(st.text_wireframe)) shown.insert("text wire");
    }
    if (IsOn(st.text_chrome) && !st.text_string.empty()) shown.insert("text chrome");
    if (IsOn(st.backdrop_on)) shown.insert("backdrops");
    if (IsOn(st.photo_on)) shown.insert("photos");
    if (IsOn(st.vortex_on)) shown.insert("vortex");
    if (IsOn(st.particles_on)) shown.insert("particles");
    if (IsOn(st.sprites_on)) shown.insert(IsOn(st.sprite_tinted) ? "sprites tinted" : "sprites untinted");
    if (IsOn(st.tunnel_on)) {
      shown.insert(track_min(Track::tunnel_stretch) <= -30.0f ? "tunnel mode 2" : "tunnel mode 0");
      shown.insert("fog");
    }
    if (IsOn(st.trail_on)) shown.insert("trail");
    else if (IsOn(st.scene_echo_on)) shown.insert("scene echo");
    int models = 0;
    for (float on : {st.model_1_on, st.model_2_on, st.model_3_on}) models += IsOn(on);
    if (models) shown.insert(std::to_string(models) + " models");
    for (float echo : {st.echo_model_1_on, st.echo_model_2_on, st.echo_model_3_on})
      if (IsOn(echo)) shown.insert("model echo");
  }
  for (const char* want :
       {"text style 0", "text style 1",   "text style 2",     "text style 3",  "text style 4",  "text lit",
        "text unlit",   "text wire",      "text chrome",      "backdrops",     "photos",        "vortex",
        "particles",    "sprites tinted", "sprites untinted", "tunnel mode 0", "tunnel mode 2", "fog",
        "trail",        "scene echo",     "1 models",         "2 models",      "3 models",      "model echo"})
    EXPECT_TRUE(shown.count(want)) << "no bundled loop shows " << want;
}

}  // namespace
