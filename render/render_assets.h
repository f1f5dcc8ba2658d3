// The asset loads of a sequence (and of start-up) as the renderer performs them: picture files
// and TGA pairs are decoded by the asset readers and uploaded here as GL textures; 3DS files are
// read into the three model slots. A failed load keeps what the slot held and reports one line
// naming the file and the reason.
#pragma once
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "assets/model_3ds.h"
#include "assets/pictures/picture_texture.h"
#include "engine/sequence_loader.h"

namespace vl::render {

class RenderAssets : public engine::SequenceAssets {
 public:
  RenderAssets();

  void LoadPictureTexture(engine::SceneState&, const std::string& name, engine::TextureSlot) override;
  void LoadPictureTextureMipmapped(engine::SceneState&, const std::string& name, engine::TextureSlot) override;
  void LoadPhotoTextureA(engine::SceneState&, const std::string& name) override;
  void LoadPhotoTextureB(engine::SceneState&, const std::string& name) override;
  // The particle system's TGA texture into the particle_texture slot (mipmapped, linear filters).
  void LoadParticleTexture(engine::SceneState&, const std::string& colour_file) override;
  void LoadModel(engine::SceneState&, int slot, const std::string& file) override;
  // Within one loop load a picture file named by several slots is decoded once, and all the
  // metafiles of the load share one drawing time limit.
  void BeginAssetLoads(engine::SceneState&) override;
  void EndAssetLoads(engine::SceneState&) override;
  void RebuildGlyphLists(engine::SceneState& scene) override {
    if (rebuild_glyph_lists_) rebuild_glyph_lists_(scene);
  }

  // The built-in user image (the program's own bitmap) into custom_image_texture.
  virtual void LoadBuiltInImage(engine::SceneState&);

  // The three model slots (0, 1, 2), kept for the life of the program.
  std::array<Model, 3>& models() { return models_; }
  const Model& model(int slot) const { return models_[static_cast<size_t>(slot)]; }

  // Who rebuilds the glyph lists (the text layer); nothing happens until one is set.
  void set_glyph_list_builder(std::function<void(engine::SceneState&)> build) {
    rebuild_glyph_lists_ = std::move(build);
  }
  // Told once the asset loads of the loop being loaded are over: which face the text is drawn
  // in when the loop's own is missing. Set by whoever builds the glyph lists.
  void set_text_font_note(std::string note) { text_font_note_ = std::move(note); }
  // Where a model load shows its progress (the desktop program's splash); none by default.
  void set_model_progress(ModelLoadProgress* progress) { progress_ = progress; }
  // Where failures and warnings go: one line each. Standard error by default.
  void set_reporter(std::function<void(const std::string&)> report) { report_ = std::move(report); }
  void set_quiet(bool quiet) { quiet_ = quiet; }

 protected:
  void Report(const std::string& line);
  // Puts `texture` into the slot and deletes the texture it replaces unless another slot uses it.
  static void ReplaceTexture(engine::SceneState& scene, engine::TextureSlot slot, uint32_t texture);

 private:
  void LoadPicture(engine::SceneState& scene, const std::string& name, engine::TextureSlot slot, bool mipmapped);
  void LoadPhoto(engine::SceneState& scene, const std::string& name, bool photo_a);
  // The texture for a picture slot: made from the file, or shared or copied from a slot loaded
  // from the same file earlier in the same loop load. `natural` gets the picture's own size
  // whenever it opened.
  Expected<uint32_t> PictureTextureFor(engine::SceneState& scene, const std::string& name, assets::PictureLoader loader,
                                       std::optional<assets::HimetricSize>& natural);

  struct SharedPicture {
    std::string file;  // the file's size, time and path
    int kind = 0;      // how it was uploaded: photo, colour-keyed, mipmapped
    bool decode_failed = false;
    uint32_t texture = 0;
    std::optional<LoadError> error;  // the failure, when there is no texture
    std::optional<assets::HimetricSize> natural;
  };
  bool sharing_ = false;
  std::vector<SharedPicture> shared_;
  std::chrono::steady_clock::time_point metafile_deadline_;

  std::array<Model, 3> models_;
  std::function<void(engine::SceneState&)> rebuild_glyph_lists_;
  std::string text_font_note_;
  std::function<void(const std::string&)> report_;
  ModelLoadProgress* progress_ = nullptr;
  bool quiet_ = false;
};

}  // namespace vl::render
