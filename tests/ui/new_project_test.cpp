// The new-project reset after a real loop from the bundled library.
#include <map>

#include "engine/asset_paths.h"
#include "engine/new_project.h"
#include "engine/sequence_loader.h"
#include "tests/ui/ui_fixtures.h"

namespace vl::engine {
namespace {

struct RecordingAssets : SequenceAssets {
  void LoadPictureTextureMipmapped(SceneState&, const std::string& name, TextureSlot slot) override {
    pictures[slot] = name;
  }
  void LoadPhotoTextureA(SceneState&, const std::string& name) override { photo_a = name; }
  void RebuildGlyphLists(SceneState& s) override { fonts.push_back(s.settings.text_font_face); }
  std::map<TextureSlot, std::string> pictures;
  std::string photo_a;
  std::vector<std::string> fonts;
};

std::unique_ptr<SceneState> LoadedScene() {
  auto scene = std::make_unique<SceneState>();
  SequenceAssets none;
  const auto loop = std::filesystem::path(VL_BIN_DIR) / "Sequences" / "default.lqf";
  EXPECT_FALSE(LoadSequence(*scene, loop.string(), none)) << loop;
  EXPECT_GT(scene->keyframe_count, 0);
  return scene;
}

TEST(NewProject, ResetsToTheBlankDefaultProject) {
  auto scene = LoadedScene();
  scene->settings.text_string = "Something else";
  scene->work.background_r = 200;
  scene->locked_fps = 25;
  RecordingAssets assets;
  NewProject(*scene, assets);

  EXPECT_EQ(scene->keyframe_count, 0);
  EXPECT_EQ(scene->frame_count, 0);
  EXPECT_EQ(scene->baked_frame_count, 0);
  EXPECT_EQ(scene->current_frame, 0);
  EXPECT_EQ(scene->playing, 0);
  EXPECT_EQ(scene->play_to_sequence_end, 0);
  EXPECT_EQ(scene->sequence_version, 5.0f);
  EXPECT_EQ(scene->settings.text_string, "Moxtrel");
  EXPECT_EQ(scene->settings.text_font_face, "Arial Black");
  EXPECT_EQ(scene->settings.sequence_texture_name, "Textures/Gold.jpg");
  EXPECT_EQ(scene->settings.sequence_texture_name_length, 17.0f);
  EXPECT_EQ(scene->settings.sequence_texture_mode, 2.0f);
  EXPECT_EQ(scene->text_keep_texture, 2.0f);
  EXPECT_EQ(scene->custom_image_mode, 0);
  EXPECT_EQ(scene->locked_fps, 50);
  EXPECT_EQ(scene->work.background_r, 0.0f);
  EXPECT_EQ(assets.pictures[TextureSlot::text_texture], "Textures/Gold.jpg");
  EXPECT_EQ(assets.pictures[TextureSlot::custom_image_texture], "Textures/Gold.jpg");
  EXPECT_EQ(assets.photo_a, "Images/video-girl.jpg");
  EXPECT_EQ(assets.fonts, std::vector<std::string>{"Arial Black"});
}

TEST(NewProject, FrameZeroShowsTheDefaultsNotThePreviousLoop) {
  auto scene = LoadedScene();
  // The loop's first frame differs from the defaults somewhere; after the reset frame 0 (which
  // the renderer fetches next) must hold exactly the default working values.
  RecordingAssets assets;
  NewProject(*scene, assets);
  for (int t = 0; t < kTrackCount; ++t) {
    const auto track = static_cast<Track>(t);
    ASSERT_EQ(scene->track(track).frame_values[0], scene->work[track]) << t;
    ASSERT_EQ(scene->track(track).initial_value, scene->work[track]) << t;
    ASSERT_EQ(scene->track(track).frame_values[1], 0.0f) << t;
  }
}

TEST(NewProject, TwiceIsTheSameAsOnce) {
  auto once = LoadedScene();
  auto twice = LoadedScene();
  RecordingAssets a, b;
  NewProject(*once, a);
  NewProject(*twice, b);
  NewProject(*twice, b);
  EXPECT_EQ(once->work.background_r, twice->work.background_r);
  EXPECT_EQ(once->settings.text_string, twice->settings.text_string);
  EXPECT_EQ(once->keyframe_count, twice->keyframe_count);
  for (int t = 0; t < kTrackCount; ++t) {
    const auto track = static_cast<Track>(t);
    ASSERT_EQ(once->work[track], twice->work[track]) << t;
    ASSERT_EQ(once->track(track).frame_values[0], twice->track(track).frame_values[0]) << t;
  }
}

}  // namespace
}  // namespace vl::engine
