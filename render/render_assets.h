// The asset hooks of a sequence load as seen from the renderer: pictures and TGA files become GL
// textures through texture_upload.h. Decoding belongs to the picture and TGA readers; until they
// are wired in, each hook says so on stderr and leaves the texture name as it was.
#pragma once
#include <set>
#include <string>

#include "engine/sequence_loader.h"

namespace vl::render {

class RenderAssets : public engine::SequenceAssets {
 public:
  void LoadPictureTexture(engine::SceneState&, const std::string& name, engine::TextureSlot) override;
  void LoadPictureTextureMipmapped(engine::SceneState&, const std::string& name, engine::TextureSlot) override;
  void LoadPhotoTextureA(engine::SceneState&, const std::string& name) override;
  void LoadPhotoTextureB(engine::SceneState&, const std::string& name) override;
  void LoadParticleTexture(engine::SceneState&, const std::string& colour_file) override;

  // The built-in user image (the program's own bitmap) into custom_image_texture.
  virtual void LoadBuiltInImage(engine::SceneState&);

  void set_quiet(bool quiet) { quiet_ = quiet; }

 protected:
  // Reports an unavailable loader once per kind and name.
  void NotBuilt(const char* what, const std::string& name);

 private:
  std::set<std::string> reported_;
  bool quiet_ = false;
};

}  // namespace vl::render
