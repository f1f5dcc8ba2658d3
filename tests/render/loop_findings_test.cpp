// The loop check against the rules the passes draw by: at the edges of each rule, what the check
// says of a loop follows the renderer's and engine's own rule functions (vortex spacing, element
// count and fountain step, the untinted sprite alpha byte, what feeds the scene echo, which layer
// shows a track), so a rule changed in one place cannot leave the check saying the old one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/sequence_format.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "engine/track_layers.h"
#include "render/frame_renderer.h"
#include "render/image_layers.h"
#include "render/loop_findings.h"
#include "render/track_periods.h"

namespace {

namespace fs = std::filesystem;
using namespace vl::engine;
using vl::render::LoopFinding;

class LoopFindingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_findings_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A version 6 loop source whose `values` hold at the start and on both keys (frames 0 and 100),
  // and whose last key adds `last`.
  ParsedSequence Loop(const std::string& settings, const std::string& values, const std::string& last = "") {
    const fs::path p = dir_ / "loop.txt";
    std::ofstream(p) << "version 6\n[settings]\ntext_on = 0\n"
                     << settings << "\n[initial]\n"
                     << values << "\n[key]\nframe = 0\n"
                     << values << "\n[key]\nframe = 100\n"
                     << values << "\n"
                     << last << "\n";
    auto parsed = ReadLoopFile(p);
    EXPECT_TRUE(parsed) << (parsed ? "" : parsed.error().ToString());
    return parsed ? *parsed : ParsedSequence{};
  }

  static bool Says(const std::vector<LoopFinding>& findings, const std::string& words) {
    for (const LoopFinding& f : findings)
      if (f.message.find(words) != std::string::npos) return true;
    return false;
  }

  fs::path dir_;
};

std::string Value(const char* name, float v) { return std::string(name) + " = " + std::to_string(v) + "\n"; }

TEST_F(LoopFindingsTest, TheVortexDrawsNothingExactlyWhereItsRulesGiveNoElementOrNoStep) {
  using vl::render::FountainStep;
  using vl::render::VortexElementCount;
  using vl::render::VortexSpacing;
  int silent = 0;
  for (float spacing : {-50.0f, 116.0f, 116.5f, 118.0f, 240.0f, 244.9f, 245.0f, 300.0f})
    for (float emit : {-1000.0f, -240.0f, -118.0f, -117.5f, -100.0f, 0.0f}) {
      const auto findings =
          vl::render::CheckLoop(Loop("vortex_on = 2", Value("vortex_spacing", spacing) + Value("vortex_emit", emit)));
      const float s = VortexSpacing(spacing);
      const bool draws = VortexElementCount(s) > 0 && FountainStep(emit, s) > 0;
      silent += draws ? 0 : 1;
      EXPECT_EQ(Says(findings, "the vortex is on but draws nothing"), !draws) << spacing << " " << emit;
      EXPECT_EQ(Says(findings, "vortex_spacing is 116 or less"), s != spacing) << spacing;
    }
  // The sweep crosses both edges of the rule.
  EXPECT_GT(silent, 0);
  EXPECT_LT(silent, 48);
}

TEST_F(LoopFindingsTest, UntintedSpritesAreInvisibleExactlyWhereTheirAlphaByteIsZero) {
  int invisible = 0;
  for (float alpha : {-3.0f, 0.0f, 1.0f, 1.9f, 2.0f, 128.0f, 256.0f, 511.0f, 511.9f, 512.0f, 513.9f, 514.0f, 600.0f}) {
    const auto findings = vl::render::CheckLoop(
        Loop("sprites_on = 2\nsprite_tinted = 0", Value("sprite_count", 20) + Value("sprite_alpha", alpha)));
    const bool zero = vl::render::UntintedSpriteAlpha(vl::render::SpriteAlpha(alpha)) == 0;
    invisible += zero ? 1 : 0;
    EXPECT_EQ(Says(findings, "sprite_alpha leaves them transparent"), zero) << alpha;
  }
  EXPECT_GT(invisible, 0);
}

TEST_F(LoopFindingsTest, TheSceneEchoIsUnfedExactlyWhereTheRendererLeavesItOut) {
  for (const char* feed : {"fx_text", "fx_sprites", "fx_particles", "fx_vortex", "fx_model_1", "fx_model_2",
                           "fx_model_3", "sprites_on", "trail_on"}) {
    const std::string settings = std::string("scene_echo_on = 2\nfx_text = 0\n") + feed + " = 2";
    const auto findings = vl::render::CheckLoop(Loop(settings, ""));
    auto scene = std::make_unique<SceneState>();
    SequenceAssets none;
    ApplySequence(*scene, Loop(settings, ""), none);
    EXPECT_EQ(Says(findings, "nothing feeds it"), !vl::render::SceneEchoFed(scene->settings)) << feed;
  }
}

// Every track jumps where the loop repeats; a layer switched off takes exactly its own tracks out
// of the seams, by the engine's table of which layer shows each track.
TEST_F(LoopFindingsTest, SeamsLeaveOutTheTracksOfEachLayerThatIsOff) {
  std::set<Track> keyed;
  for (const KeyGroup& g : KeyLayout())
    if (IsPresent(g.gate, 6.0f)) keyed.insert(g.tracks.begin(), g.tracks.end());
  std::string jumps;
  for (Track t : keyed) jumps += std::string(TrackName(t)) + " = 7\n";
  using L = TrackLayer;
  const std::map<L, std::vector<const char*>> switches = {
      {L::kText, {"text_on", "fx_text", "text_chrome"}},
      {L::kSceneEcho, {"scene_echo_on"}},
      {L::kSprites, {"sprites_on"}},
      {L::kSpriteTint, {"sprite_tinted"}},
      {L::kParticles, {"particles_on"}},
      {L::kVortex, {"vortex_on"}},
      {L::kTunnel, {"tunnel_on"}},
      {L::kBackdrops, {"backdrop_on"}},
      {L::kTrail, {"trail_on"}},
      {L::kPhotos, {"photo_on"}},
      {L::kModel1, {"model_1_on"}},
      {L::kModel2, {"model_2_on"}},
      {L::kModel3, {"model_3_on"}},
      {L::kModel1Echo, {"echo_model_1_on"}},
      {L::kModel2Echo, {"echo_model_2_on"}},
      {L::kModel3Echo, {"echo_model_3_on"}},
  };
  for (const auto& [off, names] : switches) {
    std::string settings;
    for (const auto& [layer, on] : switches)
      for (const char* name : on) settings += std::string(name) + (layer == off ? " = 0\n" : " = 2\n");
    auto scene = std::make_unique<SceneState>();
    SequenceAssets none;
    ApplySequence(*scene, Loop(settings, "", jumps), none);
    std::set<Track> seams;
    for (const auto& seam : vl::render::SeamValues(*scene)) seams.insert(seam.track);
    int hidden = 0;
    for (int i = 0; i < kTrackCount; ++i) {
      const auto t = static_cast<Track>(i);
      const L layer = LayerOfTrack(t);
      // The tint shows only on sprites that are drawn.
      const bool shown = layer != off && !(off == L::kSprites && layer == L::kSpriteTint);
      hidden += shown || !keyed.count(t) ? 0 : 1;
      EXPECT_EQ(seams.count(t) == 1, shown && keyed.count(t) == 1)
          << TrackName(t) << " with " << names.front() << " off";
    }
    EXPECT_GT(hidden, 0) << names.front();
  }
}

// A jump of one of the renderer's periods draws the same picture at the seam, half of one does not:
// characters that each add their turn to the one before repeat only after ten turns, and the
// trail's scroll after one whole trail image.
TEST_F(LoopFindingsTest, SeamsWrapByThePeriodsTheRendererRepeatsAfter) {
  std::string settings;
  for (const char* on : {"text_on", "sprites_on", "particles_on", "vortex_on", "backdrop_on", "trail_on", "photo_on",
                         "model_1_on", "model_2_on", "model_3_on"})
    settings += std::string(on) + " = 2\n";
  std::set<Track> keyed;
  for (const KeyGroup& g : KeyLayout())
    if (IsPresent(g.gate, 6.0f)) keyed.insert(g.tracks.begin(), g.tracks.end());
  for (const double part : {1.0, 0.5, -3.0}) {
    std::string start, end;
    std::set<Track> wrapping;
    for (Track t : keyed)
      if (const double period = vl::render::TrackPeriod(t); period > 0) {
        start += std::string(TrackName(t)) + " = 0\n";
        end += std::string(TrackName(t)) + " = " + std::to_string(period * part) + "\n";
        wrapping.insert(t);
      }
    ASSERT_TRUE(wrapping.count(Track::char_rot_x) && wrapping.count(Track::trail_scroll));
    const fs::path p = dir_ / "wrapping.txt";
    std::ofstream(p) << "version 6\n[settings]\n"
                     << settings << "[initial]\n"
                     << start << "[key]\nframe = 0\n"
                     << start << "[key]\nframe = 100\n"
                     << end;
    auto parsed = ReadLoopFile(p);
    ASSERT_TRUE(parsed) << parsed.error().ToString();
    auto scene = std::make_unique<SceneState>();
    SequenceAssets none;
    ApplySequence(*scene, *parsed, none);
    std::set<Track> seams;
    for (const auto& seam : vl::render::SeamValues(*scene)) seams.insert(seam.track);
    for (Track t : wrapping) EXPECT_EQ(seams.count(t), part == 0.5 ? 1u : 0u) << TrackName(t) << " by " << part;
  }
}

// The echo counts the check calls cut are exactly those the renderer cuts: a value whose layers
// truncate to the cap is drawn whole.
TEST_F(LoopFindingsTest, EchoLayersAreCalledCutExactlyWhereTheRendererCutsThem) {
  using vl::render::EchoLayerCount;
  using vl::render::EchoLayersAsked;
  int cut = 0;
  for (float layers : {0.0f, 486.0f, 486.9f, 487.0f, 487.5f, 487.99f, 488.0f, 600.0f, 1.0e9f}) {
    const auto findings =
        vl::render::CheckLoop(Loop("scene_echo_on = 2\nfx_text = 2\ntext_on = 2", Value("scene_echo_layers", layers)));
    const bool cuts = EchoLayersAsked(layers) > EchoLayerCount(layers);
    cut += cuts ? 1 : 0;
    EXPECT_EQ(Says(findings, "scene_echo_layers reaches"), cuts) << layers;
  }
  EXPECT_GT(cut, 0);
  EXPECT_LT(cut, 9);
}

}  // namespace
