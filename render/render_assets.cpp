#include "render/render_assets.h"

#include <cstdio>

namespace vl::render {

void RenderAssets::NotBuilt(const char* what, const std::string& name) {
  if (quiet_ || name.empty() || !reported_.insert(std::string(what) + '\n' + name).second) return;
  std::fprintf(stderr, "vantaloop: %s \"%s\": not built yet, texture left unchanged\n", what, name.c_str());
}

void RenderAssets::LoadPictureTexture(engine::SceneState&, const std::string& name, engine::TextureSlot) {
  NotBuilt("picture texture", name);
}

void RenderAssets::LoadPictureTextureMipmapped(engine::SceneState&, const std::string& name,
                                               engine::TextureSlot) {
  NotBuilt("picture texture", name);
}

void RenderAssets::LoadPhotoTextureA(engine::SceneState&, const std::string& name) {
  NotBuilt("photo", name);
}

void RenderAssets::LoadPhotoTextureB(engine::SceneState&, const std::string& name) {
  NotBuilt("photo", name);
}

void RenderAssets::LoadParticleTexture(engine::SceneState&, const std::string& colour_file) {
  NotBuilt("particle texture", colour_file);
}

void RenderAssets::LoadBuiltInImage(engine::SceneState&) { NotBuilt("built-in image", "user image"); }

}  // namespace vl::render
