// The model pass called directly in a headless context: the mesh draw (placement, scale, texture
// coordinates, damaged meshes, both ways of sending geometry), an empty slot, and model 1's part
// of the glow scene.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include "render/view_setup.h"
#include "tests/render/models/model_fixture.h"

namespace vl::render {
namespace {

using engine::Track;
using test::ModelOf;
using test::Panel;
using test::PixelNear;

constexpr int kW = 320, kH = 240;

// A context with the 45-degree projection, a scene at its load defaults (model at z -40, unit 3,
// white, lit) and the three slots empty.
struct Direct {
  std::unique_ptr<headless::HeadlessContext> gl;
  std::unique_ptr<engine::SceneState> scene = std::make_unique<engine::SceneState>();
  std::array<Model, 3> models;
  ModelLayer layer{models};

  bool Start(std::string* error) {
    gl = headless::HeadlessContext::Create(kW, kH, error);
    if (!gl) return false;
    engine::ResetToLoadDefaults(*scene);
    ApplyViewSize(*scene, kW, kH);
    glEnable(GL_NORMALIZE);
    glDepthFunc(GL_LEQUAL);
    Clear();
    return true;
  }
  void Clear() {
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  }
  // Unlit and opaque, so the panel shows its colour or texel as it is.
  void Unlit(int slot) {
    auto& s = scene->settings;
    (slot == 1 ? s.model_1_lit : slot == 2 ? s.model_2_lit : s.model_3_lit) = 0.0f;
  }
};

#define VL_DIRECT(var) \
  Direct var; \
  { \
    std::string var##_error; \
    if (!(var).Start(&var##_error)) { \
      if (test::RunningInCi()) FAIL() << var##_error; \
      GTEST_SKIP() << "no headless OpenGL context (" << var##_error << ")"; \
    } \
  }

// A 2 x 2 texture, nearest filtering: (0, 0) red, (1, 0) green, (0, 1) blue, (1, 1) white.
GLuint CornerTexture() {
  const uint8_t texels[16] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 2, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels);
  return name;
}

TEST(ModelLayer, EmptySlotDrawsNothingButSetsItsLightAndColour) {
  VL_DIRECT(d);
  d.scene->work.model_2_r = 102.5f;     // / 205
  d.scene->work.model_2_alpha = 51.0f;  // / 255
  d.scene->work.model_2_light_x = 100.0f;
  d.scene->work.model_2_light_y = -200.0f;
  d.scene->work.model_2_light_z = 300.0f;
  d.layer.DrawMainFrameBlock(*d.scene, 2);

  EXPECT_EQ(d.layer.last_mesh().objects_drawn, 0);
  EXPECT_EQ(test::CountNotNear(d.gl->ReadPixels(), 0, 0, 0, 0), 0);
  GLfloat colour[4], position[4], cutoff = 0, exponent = 0;
  glGetFloatv(GL_CURRENT_COLOR, colour);
  glGetLightfv(GL_LIGHT0, GL_POSITION, position);
  glGetLightfv(GL_LIGHT0, GL_SPOT_CUTOFF, &cutoff);
  glGetLightfv(GL_LIGHT0, GL_SPOT_EXPONENT, &exponent);
  EXPECT_FLOAT_EQ(colour[0], 0.5f);
  EXPECT_FLOAT_EQ(colour[3], 0.2f);
  EXPECT_FLOAT_EQ(position[0], 1.0f);
  EXPECT_FLOAT_EQ(position[1], -2.0f);
  EXPECT_FLOAT_EQ(position[2], 3.0f);
  EXPECT_EQ(cutoff, 90.0f);
  EXPECT_EQ(exponent, 100.0f);
  EXPECT_TRUE(glIsEnabled(GL_LIGHT0));
}

TEST(ModelLayer, PlacementUnitsAndScale) {
  VL_DIRECT(d);
  d.scene->work.model_1_x = 5000.0f;
  d.scene->work.model_1_y = 0.0f;
  d.scene->work.model_1_z = -5000.0f;
  const struct {
    int unit;
    float x;
  } cases[] = {{0, 5.0f},   {1, 50.0f},  {2, 500.0f}, {3, 5000.0f}, {4, 50000.0f},
               {5, 5.0e5f}, {6, 5.0e6f}, {7, 0.0f},   {-1, 0.0f},   {1000, 0.0f}};
  for (const auto& c : cases) {
    d.scene->settings.model_1_unit = c.unit;
    d.layer.DrawMesh(*d.scene, 1);
    GLfloat m[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, m);
    EXPECT_FLOAT_EQ(m[12], c.x) << "unit " << c.unit;
    EXPECT_FLOAT_EQ(m[14], -c.x) << "unit " << c.unit;
  }

  // Scale 0 is the natural size; -100 flattens the model to nothing on screen.
  d.scene->settings.model_1_unit = 3;
  d.scene->work.model_1_x = 0.0f;
  d.scene->work.model_1_z = -40.0f;
  d.Unlit(1);
  d.models[0] = ModelOf({Panel(5.0f)});
  d.layer.DrawMainFrameBlock(*d.scene, 1);
  EXPECT_TRUE(PixelNear(d.gl->ReadPixels().Pixel(kW / 2, kH / 2), 255, 255, 255));
  d.Clear();
  d.scene->work.model_1_scale_y = -100.0f;
  d.layer.DrawMainFrameBlock(*d.scene, 1);
  EXPECT_EQ(d.layer.last_mesh().triangles, 2);
  EXPECT_EQ(test::CountNotNear(d.gl->ReadPixels(), 0, 0, 0, 0), 0);
}

TEST(ModelLayer, TextureCoordinatesOnlyWhereTheObjectHasThem) {
  VL_DIRECT(d);
  d.Unlit(1);
  d.scene->texture(engine::TextureSlot::model_1_texture) = CornerTexture();
  for (const MeshSubmission how : {MeshSubmission::kVertexArrays, MeshSubmission::kImmediate}) {
    SCOPED_TRACE(how == MeshSubmission::kImmediate ? "immediate" : "arrays");
    d.layer.set_submission(how);

    // No coordinates: the whole panel samples one texel, the texture's corner plus the scroll.
    d.models[0] = ModelOf({Panel(5.0f, 0)});
    d.scene->work.model_1_scroll_u = 0.0f;
    d.Clear();
    d.layer.DrawMainFrameBlock(*d.scene, 1);
    auto img = d.gl->ReadPixels();
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 - 25, kH / 2 + 25), 255, 0, 0));
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 + 25, kH / 2 - 25), 255, 0, 0));
    d.scene->work.model_1_scroll_u = 270.0f;  // u 0.75: the green texel
    d.Clear();
    d.layer.DrawMainFrameBlock(*d.scene, 1);
    EXPECT_TRUE(PixelNear(d.gl->ReadPixels().Pixel(kW / 2, kH / 2), 0, 255, 0));

    // Full coordinates map the four texels to the four quarters (screen rows run top down).
    d.models[0] = ModelOf({Panel(5.0f, 4)});
    d.scene->work.model_1_scroll_u = 0.0f;
    d.Clear();
    d.layer.DrawMainFrameBlock(*d.scene, 1);
    img = d.gl->ReadPixels();
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 - 20, kH / 2 + 20), 255, 0, 0));
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 + 20, kH / 2 + 20), 0, 255, 0));
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 - 20, kH / 2 - 20), 0, 0, 255));
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 + 20, kH / 2 - 20), 255, 255, 255));

    // Coordinates for the two lower corners only, and a count that claims more than is stored:
    // the upper corners take the texture's corner and nothing is read past the array.
    ModelObject partial = Panel(5.0f, 2);
    partial.uv_count = 4;  // the array holds two
    d.models[0] = ModelOf({partial});
    d.Clear();
    d.layer.DrawMainFrameBlock(*d.scene, 1);
    EXPECT_EQ(d.layer.last_mesh().objects_drawn, 1);
    img = d.gl->ReadPixels();
    // The upper-left triangle has only the corner coordinate (0, 0).
    EXPECT_TRUE(PixelNear(img.Pixel(kW / 2 - 25, kH / 2 - 10), 255, 0, 0));
  }
}

TEST(ModelLayer, DamagedObjectsAreSkippedAndTheRestDrawn) {
  VL_DIRECT(d);
  ModelObject outside = Panel(5.0f);
  outside.faces[1].c = 4;  // one past the vertex list
  ModelObject negative = Panel(5.0f);
  negative.faces[0].a = -1;
  ModelObject short_normals = Panel(5.0f);
  short_normals.normals.resize(6);
  ModelObject short_faces = Panel(5.0f);
  short_faces.face_count = 3;
  ModelObject empty;
  d.models[2] = ModelOf({outside, negative, short_normals, short_faces, empty, Panel(2.0f)});
  d.models[2].object_count = 7;  // more than the vector holds
  for (const MeshSubmission how : {MeshSubmission::kVertexArrays, MeshSubmission::kImmediate}) {
    d.layer.set_submission(how);
    d.layer.DrawMainFrameBlock(*d.scene, 3);
    EXPECT_EQ(d.layer.last_mesh().objects_skipped, 4);
    EXPECT_EQ(d.layer.last_mesh().objects_drawn, 1);
  }
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(ModelLayer, VertexArraysDrawWhatImmediateModeDraws) {
  VL_DIRECT(d);
  auto loaded = Import3ds(test::BundledModelFile(), d.models[0]);
  ASSERT_TRUE(loaded) << loaded.error().ToString();
  ModelObject partial = Panel(1.5f, 3);  // the last vertex has no coordinate
  d.models[0].objects.push_back(partial);
  d.models[0].object_count += 1;
  auto& w = d.scene->work;
  w.model_1_scale_x = w.model_1_scale_y = w.model_1_scale_z = 300.0f;
  w.model_1_y = -5.0f;
  w.model_1_rot_x = 20.0f, w.model_1_rot_y = 35.0f;
  w.model_1_scroll_u = 40.0f, w.model_1_scroll_v = -25.0f;
  w.model_1_alpha = 200.0f;
  d.scene->settings.model_1_chrome = 2.0f;
  d.scene->texture(engine::TextureSlot::model_1_texture) = CornerTexture();
  d.scene->texture(engine::TextureSlot::chrome_texture) = CornerTexture();
  glEnable(GL_LIGHTING);

  headless::Image images[2];
  for (const MeshSubmission how : {MeshSubmission::kVertexArrays, MeshSubmission::kImmediate}) {
    d.Clear();
    d.layer.set_submission(how);
    d.layer.DrawMainFrameBlock(*d.scene, 1);
    images[how == MeshSubmission::kImmediate] = d.gl->ReadPixels();
  }
  EXPECT_GT(test::CountNotNear(images[0], 0, 0, 0), 1000);
  EXPECT_TRUE(images[0].rgba == images[1].rgba);
}

// Model 1 in the glow scene: once in the trail, once or twice in the capture by format version,
// and only while fx_model_2 is on. Additive, so each draw adds the same amount.
TEST(ModelLayer, GlowSceneDrawsModel1ByVariantAndVersion) {
  VL_DIRECT(d);
  d.models[0] = ModelOf({Panel(5.0f)});
  auto& w = d.scene->work;
  w.model_1_r = w.model_1_g = w.model_1_b = 40.0f;
  d.scene->settings.model_1_additive = 2.0f;
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  auto centre_red = [&](float fx_model_2, GlowVariant variant, float version) {
    d.scene->settings.fx_model_2 = fx_model_2;
    d.scene->sequence_version = version;
    d.scene->echo_colour_mode = static_cast<int>(version);
    d.Clear();
    d.layer.DrawGlowSceneModel1(*d.scene, variant);
    return static_cast<int>(d.gl->ReadPixels().Pixel(kW / 2, kH / 2)[0]);
  };
  const int once = centre_red(2.0f, GlowVariant::kCapture, 6.0f);
  ASSERT_GT(once, 20);
  ASSERT_LT(once, 120);
  EXPECT_EQ(centre_red(2.0f, GlowVariant::kTrail, 6.0f), once);
  EXPECT_EQ(centre_red(2.0f, GlowVariant::kTrail, 4.0f), once);
  EXPECT_EQ(centre_red(2.0f, GlowVariant::kCapture, 3.0f), once);
  EXPECT_EQ(centre_red(2.0f, GlowVariant::kCapture, 4.5f), once);
  EXPECT_NEAR(centre_red(2.0f, GlowVariant::kCapture, 4.0f), 2 * once, 2);
  EXPECT_EQ(centre_red(0.0f, GlowVariant::kCapture, 4.0f), 0);
  d.scene->settings.fx_model_1 = 2.0f;  // model 1's own switch does not put it in the scene
  EXPECT_EQ(centre_red(1.5f, GlowVariant::kTrail, 6.0f), 0);
}

}  // namespace
}  // namespace vl::render
