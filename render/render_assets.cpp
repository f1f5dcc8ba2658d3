#include "render/render_assets.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdio>

#include "assets/pictures/picture_texture.h"
#include "assets/tga.h"
#include "engine/asset_paths.h"

namespace vl::render {
namespace {

using engine::SceneState;
using engine::TextureSlot;

int32_t MaxTextureSize() {
  GLint size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
  return size > 0 ? size : 2048;
}

// Uploads a decoded picture the way its loader does; returns the new name, or 0 (and nothing
// created) when the pixels do not fit their size.
uint32_t UploadPicture(const assets::PictureTexture& picture) {
  if (picture.width < 1 || picture.height < 1 ||
      picture.rgba.size() != static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 4)
    return 0;
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);  // RGBA rows are always 4-byte aligned
  if (picture.upload == assets::PictureUpload::kMipmapsRgb) {
    gluBuild2DMipmaps(GL_TEXTURE_2D, 3, picture.width, picture.height, GL_RGBA, GL_UNSIGNED_BYTE,
                      picture.rgba.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  } else {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, picture.width, picture.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 picture.rgba.data());
  }
  return name;
}

}  // namespace

RenderAssets::RenderAssets() {
  report_ = [](const std::string& line) { std::fprintf(stderr, "vantaloop: %s\n", line.c_str()); };
}

void RenderAssets::ReplaceTexture(SceneState& scene, TextureSlot slot, uint32_t texture) {
  // Every load makes new textures; the one a slot held goes once no slot holds it any more, so
  // loading loop after loop does not pile textures up.
  const uint32_t old = scene.texture(slot);
  scene.texture(slot) = texture;
  if (old == 0 || old == texture) return;
  for (int i = 0; i < engine::kTextureSlotCount; ++i)
    if (scene.texture(static_cast<TextureSlot>(i)) == old) return;
  glDeleteTextures(1, &old);
}

void RenderAssets::Report(const std::string& line) {
  // Lines carry names taken from loops: never let one forge a line or drive the terminal.
  if (!quiet_ && report_) report_(EscapeControl(line));
}

void RenderAssets::LoadPicture(SceneState& scene, const std::string& name, TextureSlot slot, bool mipmapped) {
  // A loop that names no picture leaves the slot alone without complaint.
  if (name.empty()) return;
  auto load = assets::LoadPictureTexture(
      name, mipmapped ? assets::PictureLoader::kMipmapped : assets::PictureLoader::kColourKeyed,
      MaxTextureSize(), scene.custom_image_mode, ProgramFolder());
  if (!load.texture.ok()) {
    Report(load.texture.error().ToString() + " (" + engine::TextureSlotName(slot) + " kept)");
    return;
  }
  if (const uint32_t texture = UploadPicture(load.texture.value())) ReplaceTexture(scene, slot, texture);
}

void RenderAssets::LoadPictureTexture(SceneState& scene, const std::string& name, TextureSlot slot) {
  LoadPicture(scene, name, slot, false);
}

void RenderAssets::LoadPictureTextureMipmapped(SceneState& scene, const std::string& name, TextureSlot slot) {
  LoadPicture(scene, name, slot, true);
}

void RenderAssets::LoadPhoto(SceneState& scene, const std::string& name, bool photo_a) {
  if (name.empty()) return;
  auto load = assets::LoadPictureTexture(name, photo_a ? assets::PictureLoader::kPhotoA : assets::PictureLoader::kPhotoB,
                                         MaxTextureSize(), scene.custom_image_mode, ProgramFolder());
  // The natural size is recorded as soon as the picture opened, even if the upload then fails.
  const size_t slot = scene.photo_size_slot == 1 ? 1 : 0;
  if (load.natural_size) {
    (photo_a ? scene.photo_a_width : scene.photo_b_width)[slot] = load.natural_size->width;
    (photo_a ? scene.photo_a_height : scene.photo_b_height)[slot] = load.natural_size->height;
  }
  if (!load.texture.ok()) {
    Report(load.texture.error().ToString() + (photo_a ? " (photo A kept)" : " (photo B kept)"));
    return;
  }
  const uint32_t texture = UploadPicture(load.texture.value());
  if (!texture) return;
  ReplaceTexture(scene, photo_a ? TextureSlot::photo_a_texture : TextureSlot::photo_b_texture, texture);
  (photo_a ? scene.photo_a_layout_state : scene.photo_b_layout_state) = 0.0f;
}

void RenderAssets::LoadPhotoTextureA(SceneState& scene, const std::string& name) { LoadPhoto(scene, name, true); }
void RenderAssets::LoadPhotoTextureB(SceneState& scene, const std::string& name) { LoadPhoto(scene, name, false); }

void RenderAssets::LoadParticleTexture(SceneState& scene, const std::string& colour_file) {
  auto result = assets::LoadTextureImage(colour_file, std::nullopt, /*build_mipmaps=*/true, ProgramFolder());
  if (!result.ok()) {
    std::string line = result.error.text;
    if (result.error.detail) line += " (" + result.error.detail->ToString() + ")";
    Report(line);
    return;
  }
  const assets::TexturePixels& image = *result.image;
  const GLenum format = image.format == assets::TexelFormat::kRgba   ? GL_RGBA
                        : image.format == assets::TexelFormat::kAlpha ? GL_ALPHA
                                                                      : GL_RGB;
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // rows are packed without padding
  if (gluBuild2DMipmaps(GL_TEXTURE_2D, image.components, image.width, image.height, format, GL_UNSIGNED_BYTE,
                        image.pixels.data()) != 0) {
    glDeleteTextures(1, &name);
    Report("Failed to load Texture (" + colour_file + ", (null)). Reason: the mipmap build failed.");
    return;
  }
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  ReplaceTexture(scene, TextureSlot::particle_texture, name);
}

void RenderAssets::LoadModel(SceneState&, int slot, const std::string& file) {
  if (slot < 0 || slot > 2) return;
  Model& model = models_[static_cast<size_t>(slot)];
  // Only a regular file of the library (or an absolute name) is opened: a FIFO would block the
  // player and a device could be read without end.
  auto path = FindAssetFile(file, ProgramFolder());
  if (!path) {
    model.object_count = 0;
    model.objects.clear();
    Report(ModelFileNotFound(file, path.error()).ToString());
    return;
  }
  ModelLoadProgress silent;
  auto result = Import3ds(*path, model, progress_ ? *progress_ : silent);
  if (!result) {
    Report(result.error().ToString());
    return;
  }
  for (const std::string& warning : result->warnings) Report(file + ": " + warning);
}

void RenderAssets::LoadBuiltInImage(SceneState& scene) {
  const assets::BuiltinBitmap bitmap = assets::LoadBuiltinBitmap();
  const size_t row = (static_cast<size_t>(bitmap.width) * 3 + 3) / 4 * 4;
  if (bitmap.width < 1 || bitmap.height < 1 || bitmap.bgr.size() < row * static_cast<size_t>(bitmap.height)) {
    Report("the built-in image is damaged; user image left empty");
    return;
  }
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);  // 24-bit rows are padded to 4 bytes
  gluBuild2DMipmaps(GL_TEXTURE_2D, 3, bitmap.width, bitmap.height, GL_BGR, GL_UNSIGNED_BYTE, bitmap.bgr.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  ReplaceTexture(scene, TextureSlot::custom_image_texture, name);
}

}  // namespace vl::render
