// The periods the loop check measures seams by, against the pictures: a track of each kind said to
// repeat draws the same frames when its whole loop is moved by one period, and other frames when
// moved by a part of one (so the loop it is tried in shows it).
#include "render/track_periods.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "engine/track_layers.h"
#include "platform/headless/loop_run.h"
#include "tests/render/gl_test_context.h"

namespace vl::render {
namespace {

namespace fs = std::filesystem;
using engine::Track;
using engine::TrackLayer;

constexpr int kW = 128, kH = 96;
constexpr int kFrames = 3;

// A bundled loop that shows the layer the track moves.
const char* LoopShowing(TrackLayer layer) {
  switch (layer) {
    case TrackLayer::kText: return "default.txt";
    case TrackLayer::kSprites: return "carousel.txt";
    case TrackLayer::kParticles: return "embers.txt";
    case TrackLayer::kBackdrops: return "backdrops.txt";
    case TrackLayer::kPhotos: return "photos.txt";
    case TrackLayer::kModel1:
    case TrackLayer::kModel2:
    case TrackLayer::kModel3: return "model_trio.txt";
    default: return nullptr;
  }
}

struct Difference {
  double share = 0;  // of the pixels, differing by more than a few levels in some channel
  int max = 0;
};

Difference Compare(const headless::Image& a, const headless::Image& b) {
  Difference d;
  int changed = 0;
  for (size_t i = 0; i + 3 < a.rgba.size(); i += 4) {
    int most = 0;
    for (size_t c = 0; c < 3; ++c) most = std::max(most, std::abs(int{a.rgba[i + c]} - int{b.rgba[i + c]}));
    d.max = std::max(d.max, most);
    changed += most > 8 ? 1 : 0;
  }
  d.share = static_cast<double>(changed) / (static_cast<double>(a.rgba.size()) / 4);
  return d;
}

class TrackPeriodsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramFolder(VL_BIN_DIR); }
  void TearDown() override { SetProgramFolder(fs::current_path()); }

  static fs::path LoopPath(Track track) {
    const char* bundled = LoopShowing(engine::LayerOfTrack(track));
    return bundled ? fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops" / bundled : fs::path();
  }

  // The picture after the loop's first frames with `track` moved by `shift` on every frame;
  // empty when no context can be made. A run of its own each time: the particles and the trail
  // carry over from one load to the next.
  std::vector<uint8_t> Drawn(const fs::path& loop, Track track, double shift) {
    headless::LoopRunSetup setup;
    setup.width = kW;
    setup.height = kH;
    setup.prepare_assets = [](RenderAssets& a) { a.set_quiet(true); };
    std::string error;
    auto run = headless::LoopRun::Create(setup, &error);
    if (!run) {
      if (test::RunningInCi()) ADD_FAILURE() << error;
      return {};
    }
    if (Status err = run->Load(loop)) {
      ADD_FAILURE() << err->ToString();
      return {};
    }
    float* values = run->scene().track(track).frame_values;
    for (int f = 0; f < engine::PlayedFrameCount(run->scene()); ++f) values[f] = static_cast<float>(values[f] + shift);
    run->Seek(0);
    for (int k = 0; k < kFrames; ++k) run->DrawNextFrame();
    return run->ReadPixels().rgba;
  }
};

TEST_F(TrackPeriodsTest, AWholePeriodDrawsTheSamePictureAndAPartOfOneDoesNot) {
  std::map<fs::path, headless::Image> unmoved;
  // One track of each way a pass turns or scrolls by its value. (The vortex's chain and the trail
  // show only after many frames; their passes divide by the constants their periods are made of.)
  for (const Track track : {Track::text_rot_z, Track::char_rot_y, Track::particle_rot_x, Track::backdrop_1_rot_z,
                            Track::backdrop_2_scroll_v, Track::photo_rot_y, Track::wave_phase, Track::model_1_rot_y,
                            Track::model_1_scroll_u, Track::ring_turn, Track::sprite_spin}) {
    const double period = TrackPeriod(track);
    const fs::path loop = LoopPath(track);
    ASSERT_GT(period, 0) << engine::TrackName(track);
    ASSERT_FALSE(loop.empty()) << engine::TrackName(track);
    headless::Image& base = unmoved[loop];
    if (base.rgba.empty()) base.rgba = Drawn(loop, track, 0);
    if (base.rgba.empty()) GTEST_SKIP() << "no headless OpenGL context";
    headless::Image turned, part;
    turned.rgba = Drawn(loop, track, period);
    part.rgba = Drawn(loop, track, period * 0.37);
    // A turn moves vertices by float rounding only: an edge pixel here and there.
    const Difference same = Compare(base, turned), other = Compare(base, part);
    const std::string what = std::string(engine::TrackName(track)) + " in " + loop.filename().string();
    EXPECT_LT(same.share, 0.003) << what << " (max " << same.max << ")";
    EXPECT_GT(other.share, 0.003) << what << " (max " << other.max << ")";
  }
}

}  // namespace
}  // namespace vl::render
