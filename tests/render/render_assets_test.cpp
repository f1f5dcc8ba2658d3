// Asset loads on the GL side: the texture a slot ends up with, what a failure keeps, what is
// recorded for photos, and the model slots.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/asset_paths.h"
#include "render/render_assets.h"
#include "tests/render/gl_test_context.h"

namespace {

namespace fs = std::filesystem;
using vl::engine::SceneState;
using vl::engine::TextureSlot;

struct TextureSize {
  int w = 0, h = 0;
};
TextureSize SizeOf(uint32_t texture) {
  TextureSize s;
  glBindTexture(GL_TEXTURE_2D, texture);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &s.w);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &s.h);
  return s;
}

class RenderAssetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_assets_gl_" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "Textures");
    vl::SetProgramFolder(VL_BIN_DIR);  // the default pictures and model are laid out there
    assets_.set_reporter([this](const std::string& line) { reports_.push_back(line); });
  }
  void TearDown() override {
    fs::remove_all(dir_);
    vl::SetProgramFolder(fs::current_path());
  }
  fs::path dir_;
  std::unique_ptr<SceneState> scene_ = std::make_unique<SceneState>();
  vl::render::RenderAssets assets_;
  std::vector<std::string> reports_;
};

TEST_F(RenderAssetsTest, PicturesBecomeTexturesAndFailuresKeepThePreviousOne) {
  VL_REQUIRE_GL(gl, 64, 64);
  assets_.LoadPictureTexture(*scene_, "Textures\\gold.JPG", TextureSlot::sprite_texture);  // Windows spelling
  const uint32_t gold = scene_->texture(TextureSlot::sprite_texture);
  ASSERT_NE(gold, 0u) << (reports_.empty() ? "" : reports_[0]);
  const TextureSize size = SizeOf(gold);
  EXPECT_GT(size.w, 0);
  EXPECT_EQ(size.w & (size.w - 1), 0) << "power of two";

  assets_.LoadPictureTextureMipmapped(*scene_, "Textures/Gold.jpg", TextureSlot::text_texture);
  EXPECT_NE(scene_->texture(TextureSlot::text_texture), 0u);
  EXPECT_NE(scene_->texture(TextureSlot::text_texture), gold);

  std::ofstream(dir_ / "Textures" / "broken.jpg") << "not a picture at all";
  for (const std::string& bad : {std::string("Textures/missing.jpg"), (dir_ / "Textures" / "broken.jpg").string(),
                                 std::string("http://example.invalid/a.jpg")}) {
    reports_.clear();
    assets_.LoadPictureTexture(*scene_, bad, TextureSlot::sprite_texture);
    EXPECT_EQ(scene_->texture(TextureSlot::sprite_texture), gold) << bad;
    ASSERT_EQ(reports_.size(), 1u) << bad;
    EXPECT_NE(reports_[0].find("sprite_texture kept"), std::string::npos) << reports_[0];
  }
  // No name: nothing to load, nothing to say.
  reports_.clear();
  assets_.LoadPictureTexture(*scene_, "", TextureSlot::sprite_texture);
  EXPECT_TRUE(reports_.empty());
}

// Loading loop after loop must not pile textures up: a replaced texture goes, unless another
// slot still shows it.
TEST_F(RenderAssetsTest, ReplacedTexturesAreDeletedWhenNoSlotHoldsThem) {
  VL_REQUIRE_GL(gl, 64, 64);
  assets_.LoadPictureTexture(*scene_, "Textures/Gold.jpg", TextureSlot::sprite_texture);
  const uint32_t first = scene_->texture(TextureSlot::sprite_texture);
  ASSERT_NE(first, 0u);
  scene_->texture(TextureSlot::tunnel_texture) = first;  // shared
  assets_.LoadPictureTexture(*scene_, "Textures/Gold.jpg", TextureSlot::sprite_texture);
  EXPECT_TRUE(glIsTexture(first)) << "still the tunnel's";
  assets_.LoadPictureTexture(*scene_, "Textures/Gold.jpg", TextureSlot::tunnel_texture);
  EXPECT_FALSE(glIsTexture(first));
  const uint32_t second = scene_->texture(TextureSlot::sprite_texture);
  assets_.LoadPhotoTextureA(*scene_, "Textures/Gold.jpg");
  const uint32_t photo = scene_->texture(TextureSlot::photo_a_texture);
  assets_.LoadPhotoTextureA(*scene_, "Textures/Gold.jpg");
  EXPECT_FALSE(glIsTexture(photo));
  EXPECT_TRUE(glIsTexture(second));
}

TEST_F(RenderAssetsTest, AbsolutePictureNamesLoadOnlyWhenCustomImageModeTakesThemAsGiven) {
  VL_REQUIRE_GL(gl, 64, 64);
  const std::string outside = (fs::path(VL_BIN_DIR) / "Textures" / "Gold.jpg").string();
  vl::SetProgramFolder(dir_);  // the picture lies outside the program folder
  scene_->custom_image_mode = 0;
  assets_.LoadPictureTexture(*scene_, outside, TextureSlot::sprite_texture);
  assets_.LoadPhotoTextureA(*scene_, outside);
  EXPECT_EQ(scene_->texture(TextureSlot::sprite_texture), 0u);
  EXPECT_EQ(scene_->texture(TextureSlot::photo_a_texture), 0u);
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_NE(reports_[0].find("taken relative to it"), std::string::npos) << reports_[0];

  scene_->custom_image_mode = 2;
  assets_.LoadPictureTexture(*scene_, outside, TextureSlot::sprite_texture);
  assets_.LoadPhotoTextureA(*scene_, outside);
  EXPECT_NE(scene_->texture(TextureSlot::sprite_texture), 0u);
  EXPECT_NE(scene_->texture(TextureSlot::photo_a_texture), 0u);
}

TEST_F(RenderAssetsTest, PhotosRecordTheirNaturalSizeAndLayoutState) {
  VL_REQUIRE_GL(gl, 64, 64);
  scene_->photo_a_layout_state = scene_->photo_b_layout_state = 2.0f;
  assets_.LoadPhotoTextureA(*scene_, "Images/video-girl.jpg");
  assets_.LoadPhotoTextureB(*scene_, "Images/sleeping-dog.jpg");
  EXPECT_NE(scene_->texture(TextureSlot::photo_a_texture), 0u);
  EXPECT_NE(scene_->texture(TextureSlot::photo_b_texture), 0u);
  EXPECT_GT(scene_->photo_a_width[0], 0);
  EXPECT_GT(scene_->photo_b_height[0], 0);
  EXPECT_EQ(scene_->photo_a_layout_state, 0.0f);
  EXPECT_EQ(scene_->photo_b_layout_state, 0.0f);
  // Slot 1 of the size pairs is written when the scene selects it.
  scene_->photo_size_slot = 1;
  assets_.LoadPhotoTextureA(*scene_, "Images/sleeping-dog.jpg");
  EXPECT_EQ(scene_->photo_a_width[1], scene_->photo_b_width[0]);
}

TEST_F(RenderAssetsTest, ParticleTexturesAndTheBuiltInImage) {
  VL_REQUIRE_GL(gl, 64, 64);
  assets_.LoadParticleTexture(*scene_, "Particles/particle.tga");
  const uint32_t particle = scene_->texture(TextureSlot::particle_texture);
  ASSERT_NE(particle, 0u) << (reports_.empty() ? "" : reports_[0]);
  assets_.LoadParticleTexture(*scene_, "Particles/none.tga");
  EXPECT_EQ(scene_->texture(TextureSlot::particle_texture), particle);
  ASSERT_FALSE(reports_.empty());
  EXPECT_NE(
      reports_.back().find("Failed to load Texture (Particles/none.tga, (null)). Reason: Failed to load RGB file."),
      std::string::npos)
      << reports_.back();

  assets_.LoadBuiltInImage(*scene_);
  const TextureSize builtin = SizeOf(scene_->texture(TextureSlot::custom_image_texture));
  EXPECT_EQ(builtin.w, 64);
  EXPECT_EQ(builtin.h, 64);
}

// Within one loop load a file named by several slots is decoded once: one-level slots share its
// texture, mipmapped slots get copies made in GL, level for level the same.
TEST_F(RenderAssetsTest, SlotsOfOneLoopLoadShareTheirPictures) {
  VL_REQUIRE_GL(gl, 64, 64);
  assets_.BeginAssetLoads(*scene_);
  assets_.LoadPictureTexture(*scene_, "Textures/Gold.jpg", TextureSlot::sprite_texture);
  assets_.LoadPictureTexture(*scene_, "Textures/gold.JPG", TextureSlot::tunnel_texture);
  assets_.LoadPictureTextureMipmapped(*scene_, "Textures/Gold.jpg", TextureSlot::text_texture);
  assets_.LoadPictureTextureMipmapped(*scene_, "Textures/Gold.jpg", TextureSlot::custom_image_texture);
  assets_.LoadPhotoTextureA(*scene_, "Textures/Gold.jpg");  // from the colours already in GL
  assets_.EndAssetLoads(*scene_);
  assets_.LoadPictureTexture(*scene_, "Textures/Gold.jpg", TextureSlot::fountain_texture);
  assets_.LoadPhotoTextureB(*scene_, "Textures/Gold.jpg");  // decoded again
  ASSERT_TRUE(reports_.empty()) << reports_[0];
  const uint32_t sprite = scene_->texture(TextureSlot::sprite_texture);
  EXPECT_EQ(scene_->texture(TextureSlot::tunnel_texture), sprite);
  EXPECT_NE(scene_->texture(TextureSlot::fountain_texture), sprite) << "outside a loop load nothing is shared";

  const uint32_t text = scene_->texture(TextureSlot::text_texture);
  const uint32_t copy = scene_->texture(TextureSlot::custom_image_texture);
  ASSERT_NE(copy, text);
  auto levels = [](uint32_t texture) {
    std::vector<std::vector<uint8_t>> all;
    glBindTexture(GL_TEXTURE_2D, texture);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    for (GLint i = 0;; ++i) {
      const TextureSize s = [&] {
        TextureSize t;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, i, GL_TEXTURE_WIDTH, &t.w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, i, GL_TEXTURE_HEIGHT, &t.h);
        return t;
      }();
      if (s.w == 0) return all;
      all.emplace_back(size_t(s.w) * size_t(s.h) * 4);
      glGetTexImage(GL_TEXTURE_2D, i, GL_RGBA, GL_UNSIGNED_BYTE, all.back().data());
    }
  };
  const auto original = levels(text);
  EXPECT_GT(original.size(), 5u);
  EXPECT_TRUE(levels(copy) == original);
  EXPECT_EQ(scene_->photo_a_width[0], scene_->photo_b_width[0]);
  EXPECT_TRUE(levels(scene_->texture(TextureSlot::photo_a_texture)) ==
              levels(scene_->texture(TextureSlot::photo_b_texture)));
}

TEST_F(RenderAssetsTest, ModelSlotsLoadReloadAndEmptyOnFailure) {
  assets_.LoadModel(*scene_, 0, "model\\TARDIS.3ds");
  ASSERT_GT(assets_.model(0).object_count, 0) << (reports_.empty() ? "" : reports_[0]);
  const int materials = assets_.model(0).material_count;
  assets_.LoadModel(*scene_, 0, "model/Tardis.3ds");  // materials accumulate across loads
  EXPECT_EQ(assets_.model(0).material_count, 2 * materials);

  std::ofstream(dir_ / "bad.3ds") << "MM not really";
  reports_.clear();
  assets_.LoadModel(*scene_, 0, (dir_ / "bad.3ds").string());
  EXPECT_EQ(assets_.model(0).object_count, 0);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("bad.3ds"), std::string::npos);

  reports_.clear();
  assets_.LoadModel(*scene_, 2, "model/none.3ds");
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("Unable to find the file: model/none.3ds!"), std::string::npos) << reports_[0];
  assets_.LoadModel(*scene_, 7, "model/Tardis.3ds");  // no such slot: ignored
}

}  // namespace
