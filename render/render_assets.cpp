#include "render/render_assets.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <new>
#include <vector>

#include "assets/pictures/picture_texture.h"
#include "assets/tga.h"
#include "engine/asset_paths.h"
#include "render/mipmap_upload.h"

namespace vl::render {
namespace {

using engine::SceneState;
using engine::TextureSlot;

int32_t MaxTextureSize() {
  GLint size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
  return size > 0 ? size : 2048;
}

// Uploads a decoded picture the way its loader does, giving up its pixels as it goes; returns the
// new name, or 0 (and nothing created) with the reason in *why.
uint32_t UploadPicture(assets::PictureTexture&& picture, std::string* why) {
  if (picture.width < 1 || picture.height < 1 ||
      picture.rgba.size() != static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 4) {
    *why = "the decoded picture does not match its size";
    return 0;
  }
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  if (picture.upload == assets::PictureUpload::kMipmapsRgb) {
    // Three components: the alpha the loader made is dropped by GL.
    MipmapSource source{picture.width, picture.height, 4, GL_RGBA, 4, std::move(picture.rgba)};
    if (!UploadMipmaps(std::move(source), 3, why)) {
      glDeleteTextures(1, &name);
      return 0;
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  } else {
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);  // RGBA rows are always 4-byte aligned
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {}
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, picture.width, picture.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 picture.rgba.data());
    std::vector<uint8_t>().swap(picture.rgba);
    if (glGetError() == GL_OUT_OF_MEMORY) {
      glDeleteTextures(1, &name);
      *why = "GL has no memory for a " + std::to_string(picture.width) + " x " + std::to_string(picture.height) +
             " texture";
      return 0;
    }
  }
  return name;
}

// A new texture with every level of `from` (a mipmapped picture texture), copied inside GL: no
// picture is decoded again and no pixels pass through this process. 0 with the reason when GL
// cannot make it.
uint32_t CopyMipmappedTexture(uint32_t from, std::string* why) {
  struct Level {
    GLint w = 0, h = 0;
  };
  std::vector<Level> levels;
  GLint internal_format = 0;
  glBindTexture(GL_TEXTURE_2D, from);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &internal_format);
  for (GLint i = 0; i < 32; ++i) {
    Level l;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, i, GL_TEXTURE_WIDTH, &l.w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, i, GL_TEXTURE_HEIGHT, &l.h);
    if (l.w < 1 || l.h < 1) break;
    levels.push_back(l);
  }
  if (levels.empty()) {
    *why = "the texture to copy has no pixels";
    return 0;
  }
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  // All levels first (the texture is then complete, as a copy needs), laid out together.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {}
  for (size_t i = 0; i < levels.size(); ++i)
    glTexImage2D(GL_TEXTURE_2D, GLint(i), internal_format, levels[i].w, levels[i].h, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 nullptr);
  for (size_t i = 0; i < levels.size(); ++i)
    glCopyImageSubData(from, GL_TEXTURE_2D, GLint(i), 0, 0, 0, name, GL_TEXTURE_2D, GLint(i), 0, 0, 0, levels[i].w,
                       levels[i].h, 1);
  if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
    glDeleteTextures(1, &name);
    *why = error == GL_OUT_OF_MEMORY ? "GL has no memory for another copy of the texture"
                                     : "GL could not copy the texture (error " + std::to_string(error) + ")";
    return 0;
  }
  return name;
}

// Level 0 of a picture texture read back as R, G, B and an alpha still to be set, the way the
// picture loader leaves its buffer. False with the reason when there is no memory for it.
bool ReadTextureColours(uint32_t texture, assets::PictureTexture& picture, std::string* why) {
  glBindTexture(GL_TEXTURE_2D, texture);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &picture.width);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &picture.height);
  if (picture.width < 1 || picture.height < 1) {
    *why = "the texture to read back has no pixels";
    return false;
  }
  try {
    picture.rgba.resize(size_t(picture.width) * size_t(picture.height) * 4);
  } catch (const std::bad_alloc&) {
    *why = "no memory for a " + std::to_string(picture.width) + " x " + std::to_string(picture.height) + " texture";
    return false;
  }
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, picture.rgba.data());
  return true;
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

void RenderAssets::BeginAssetLoads(SceneState&) {
  shared_.clear();
  text_font_note_.clear();
  sharing_ = true;
  metafile_deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(assets::kMetafileTimeoutMs);
}

void RenderAssets::EndAssetLoads(SceneState&) {
  shared_.clear();
  sharing_ = false;
  // The glyph lists of a load are built last, after its pictures and models.
  if (!text_font_note_.empty()) Report(text_font_note_);
  text_font_note_.clear();
}

Expected<uint32_t> RenderAssets::PictureTextureFor(SceneState& scene, const std::string& name,
                                                   assets::PictureLoader loader,
                                                   std::optional<assets::HimetricSize>& natural) {
  // Slots that upload alike share one texture: nothing changes a one-level picture texture once
  // it is made. Mipmapped ones get a copy of their own, made in GL, since the text layer changes
  // the filter of whatever texture it finds bound.
  const int kind = loader == assets::PictureLoader::kMipmapped     ? 2
                   : loader == assets::PictureLoader::kColourKeyed ? 1
                                                                   : 0;  // the photos
  std::string file_key;
  if (sharing_) {
    if (auto path = FindPictureFile(name, scene.custom_image_mode, PictureBaseFor(name, scene.custom_image_mode))) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(*path, ec);
      const auto time = std::filesystem::last_write_time(*path, ec).time_since_epoch().count();
      file_key = std::to_string(size) + " " + std::to_string(time) + " " + path->string();
    }
  }
  const SharedPicture* same_kind = nullptr;
  const SharedPicture* other_kind = nullptr;
  for (const SharedPicture& e : shared_) {
    if (file_key.empty() || e.file != file_key) continue;
    // A file that did not decode fails every slot the same way, whatever the loader.
    if (e.decode_failed) {
      natural = e.natural;
      return *e.error;
    }
    bool held = false;  // a texture no slot holds any more has been deleted
    for (int i = 0; i < engine::kTextureSlotCount; ++i) held |= scene.texture(static_cast<TextureSlot>(i)) == e.texture;
    if (!e.texture || !held) continue;
    if (e.kind == kind) same_kind = &e;
    else if (!other_kind) other_kind = &e;
  }
  if (same_kind) {
    natural = same_kind->natural;
    if (kind != 2) return same_kind->texture;
    std::string why;
    if (const uint32_t copy = CopyMipmappedTexture(same_kind->texture, &why)) return copy;
    return LoadError{name, why, {}, {}};
  }
  if (other_kind) {
    // Decoded already for another loader: every loader draws the same colours at the same size,
    // and GL keeps them exactly, so they are read back instead of decoding the file again.
    natural = other_kind->natural;
    assets::PictureTexture picture;
    picture.upload = kind == 2 ? assets::PictureUpload::kMipmapsRgb : assets::PictureUpload::kSingleLevelRgba;
    std::string why;
    uint32_t texture = 0;
    if (ReadTextureColours(other_kind->texture, picture, &why)) {
      assets::ApplyPictureAlpha(picture.rgba, loader);
      texture = UploadPicture(std::move(picture), &why);
    }
    if (!texture) return LoadError{name, why, {}, {}};
    shared_.push_back({file_key, kind, false, texture, std::nullopt, natural});
    return texture;
  }

  int metafile_ms = assets::kMetafileTimeoutMs;
  if (sharing_)
    metafile_ms =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(metafile_deadline_ - std::chrono::steady_clock::now())
                .count());
  auto load = assets::LoadPictureTexture(name, loader, MaxTextureSize(), scene.custom_image_mode,
                                         PictureBaseFor(name, scene.custom_image_mode), metafile_ms);
  natural = load.natural_size;
  Expected<uint32_t> result = load.texture.ok() ? Expected<uint32_t>(0u) : Expected<uint32_t>(load.texture.error());
  if (load.texture.ok()) {
    std::string why;
    if (const uint32_t texture = UploadPicture(std::move(load.texture.value()), &why)) result = texture;
    else result = LoadError{name, why, {}, {}};
  }
  if (!file_key.empty())
    shared_.push_back({file_key, kind, !load.texture.ok(), result.ok() ? result.value() : 0u,
                       result.ok() ? std::nullopt : std::optional<LoadError>(result.error()), natural});
  return result;
}

void RenderAssets::LoadPicture(SceneState& scene, const std::string& name, TextureSlot slot, bool mipmapped) {
  // A loop that names no picture leaves the slot alone without complaint.
  if (name.empty()) return;
  std::optional<assets::HimetricSize> natural;
  auto texture = PictureTextureFor(
      scene, name, mipmapped ? assets::PictureLoader::kMipmapped : assets::PictureLoader::kColourKeyed, natural);
  if (!texture) {
    Report(texture.error().ToString() + " (" + engine::TextureSlotName(slot) + " kept)");
    return;
  }
  ReplaceTexture(scene, slot, texture.value());
}

void RenderAssets::LoadPictureTexture(SceneState& scene, const std::string& name, TextureSlot slot) {
  LoadPicture(scene, name, slot, false);
}

void RenderAssets::LoadPictureTextureMipmapped(SceneState& scene, const std::string& name, TextureSlot slot) {
  LoadPicture(scene, name, slot, true);
}

void RenderAssets::LoadPhoto(SceneState& scene, const std::string& name, bool photo_a) {
  if (name.empty()) return;
  std::optional<assets::HimetricSize> natural;
  auto texture = PictureTextureFor(scene, name,
                                   photo_a ? assets::PictureLoader::kPhotoA : assets::PictureLoader::kPhotoB, natural);
  // The natural size is recorded as soon as the picture opened, even if the upload then fails.
  const size_t slot = scene.photo_size_slot == 1 ? 1 : 0;
  if (natural) {
    (photo_a ? scene.photo_a_width : scene.photo_b_width)[slot] = natural->width;
    (photo_a ? scene.photo_a_height : scene.photo_b_height)[slot] = natural->height;
  }
  if (!texture) {
    Report(texture.error().ToString() + (photo_a ? " (photo A kept)" : " (photo B kept)"));
    return;
  }
  ReplaceTexture(scene, photo_a ? TextureSlot::photo_a_texture : TextureSlot::photo_b_texture, texture.value());
  (photo_a ? scene.photo_a_layout_state : scene.photo_b_layout_state) = 0.0f;
}

void RenderAssets::LoadPhotoTextureA(SceneState& scene, const std::string& name) { LoadPhoto(scene, name, true); }
void RenderAssets::LoadPhotoTextureB(SceneState& scene, const std::string& name) { LoadPhoto(scene, name, false); }

void RenderAssets::LoadParticleTexture(SceneState& scene, const std::string& colour_file) {
  auto result = assets::LoadTextureImage(colour_file, std::nullopt, /*build_mipmaps=*/true, AssetBaseFor(colour_file));
  if (!result.ok()) {
    std::string line = result.error.text;
    if (result.error.detail) line += " (" + result.error.detail->ToString() + ")";
    Report(line);
    return;
  }
  assets::TexturePixels& image = *result.image;
  const GLenum format = image.format == assets::TexelFormat::kRgba    ? GL_RGBA
                        : image.format == assets::TexelFormat::kAlpha ? GL_ALPHA
                                                                      : GL_RGB;
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  // Rows are packed without padding; the pixels are given up level by level.
  MipmapSource source{image.width, image.height, image.components, format, 1, std::move(image.pixels)};
  std::string why;
  if (!UploadMipmaps(std::move(source), image.components, &why)) {
    glDeleteTextures(1, &name);
    Report("Failed to load Texture (" + colour_file + ", (null)). Reason: the mipmap build failed (" + why + ").");
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
  auto path = FindAssetFile(file, AssetBaseFor(file));
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
  // 24-bit rows are padded to 4 bytes.
  MipmapSource source{bitmap.width, bitmap.height, 3, GL_BGR, 4, {bitmap.bgr.begin(), bitmap.bgr.end()}};
  std::string why;
  if (!UploadMipmaps(std::move(source), 3, &why)) {
    glDeleteTextures(1, &name);
    Report("the built-in image could not be uploaded: " + why);
    return;
  }
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  ReplaceTexture(scene, TextureSlot::custom_image_texture, name);
}

}  // namespace vl::render
