// Loading a loop into the scene: a file is read and checked whole first, and only a file that
// passes replaces the scene (defaults, settings, asset loads in file order, keys, expansion,
// playback from frame 0). No OpenGL, no Qt: asset work goes through SequenceAssets.
#pragma once
#include <string>

#include "engine/load_error.h"
#include "engine/scene_state.h"
#include "engine/sequence_reader.h"

namespace vl::engine {

// The asset loads a loop asks for, in the order it asks for them. Names are handed over as the
// loop stores them (Windows-1252 bytes, possibly with backslashes); implementations resolve them
// with ResolveAssetPath. Every hook does nothing by default, so the engine runs without assets.
class SequenceAssets {
 public:
  virtual ~SequenceAssets() = default;
  // Delete the text glyph lists and build them again for the scene's current font settings.
  virtual void RebuildGlyphLists(SceneState&) {}
  virtual void LoadPictureTexture(SceneState&, const std::string& /*name*/, TextureSlot) {}
  virtual void LoadPictureTextureMipmapped(SceneState&, const std::string& /*name*/, TextureSlot) {}
  virtual void LoadPhotoTextureA(SceneState&, const std::string& /*name*/) {}
  virtual void LoadPhotoTextureB(SceneState&, const std::string& /*name*/) {}
  // The particle system's RGB/alpha texture pair: a colour TGA file, no alpha file.
  virtual void LoadParticleTexture(SceneState&, const std::string& /*colour_file*/) {}
  // Empty model slot 0, 1 or 2 and load a 3DS file into it.
  virtual void LoadModel(SceneState&, int /*slot*/, const std::string& /*file*/) {}
  // The whole load finished (the control panel refreshes here).
  virtual void SequenceLoaded(SceneState&) {}
  // Around the asset loads of one loop: work may be shared between them in between (a file named
  // by several slots read once, one time limit for all of them).
  virtual void BeginAssetLoads(SceneState&) {}
  virtual void EndAssetLoads(SceneState&) {}
};

// Names of the colour-keyed and mipmapped textures are cut to their length field; model and
// photo names are used whole (up to this many bytes).
inline constexpr size_t kWholeNameLimit = 1000;
inline constexpr size_t kNameBufferLimit = 24999;
std::string CutName(const std::string& name, float length_field);
std::string WholeName(const std::string& name);

// Replaces the scene with a parsed file. Cannot fail: the file was checked when it was parsed.
void ApplySequence(SceneState& scene, const ParsedSequence& seq, SequenceAssets& assets);

// Reads `path` (relative to the program folder, or absolute; a loop file or a loop source) and
// applies it. A path that cannot be
// found or opened falls back to "Sequences/default.lqf". On any error the scene is untouched.
Status LoadSequence(SceneState& scene, const std::string& path, SequenceAssets& assets);

}  // namespace vl::engine
