#include "app/desktop/video_export.h"

#include <filesystem>
#include <memory>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QSurfaceFormat>

#include "engine/random.h"
#include "engine/sequence_loader.h"
#include "platform/video/video_writer.h"
#include "render/offline_player.h"
#include "render/player_layers.h"

namespace vl::desktop {

bool ExportLoopVideo(const ExportJob& job, const std::function<bool(int, int)>& progress, std::string* error,
                     std::vector<std::string>* warnings) {
  QSurfaceFormat format = QSurfaceFormat::defaultFormat();
  QOffscreenSurface surface;
  surface.setFormat(format);
  surface.create();
  QOpenGLContext context;
  context.setFormat(format);
  if (!surface.isValid() || !context.create() || !context.makeCurrent(&surface)) {
    *error = "cannot make an offscreen OpenGL context for the export";
    return false;
  }
  struct Release {
    QOpenGLContext& c;
    ~Release() { c.doneCurrent(); }
  } release{context};

  QOpenGLFramebufferObject fbo(job.width, job.height, QOpenGLFramebufferObject::CombinedDepthStencil);
  if (!fbo.isValid()) {
    *error = "cannot make a " + std::to_string(job.width) + " x " + std::to_string(job.height) + " framebuffer";
    return false;
  }
  fbo.bind();

  // A scene and layers of its own, and a generator of its own, so the file does not depend on
  // what the screen drew before or draws meanwhile.
  auto scene = std::make_unique<engine::SceneState>();
  render::RenderAssets assets;
  assets.set_reporter([warnings](const std::string& line) {
    if (warnings) warnings->push_back(line);
  });
  Random random;
  render::PlayerLayers layers(assets, random);
  render::OfflinePlayer player(*scene, layers, job.fps, random);
  player.Start(assets, job.width, job.height);
  if (auto err = engine::LoadSequence(*scene, job.loop_path, assets)) {
    *error = err->ToString();
    return false;
  }
  const int end = scene->play_to_sequence_end ? scene->baked_frame_count : scene->frame_count;
  if (end < 1 || scene->keyframe_count == 0) {
    *error = job.loop_path + ": the loop has no frames to play";
    return false;
  }

  video::VideoOptions options;
  options.width = job.width;
  options.height = job.height;
  options.fps = job.fps;
  auto writer = video::VideoWriter::Open(job.out_path, options, error);
  if (!writer) return false;

  auto abandon = [&](const std::string& why) {
    *error = why;
    std::string ignored;
    writer->Finish(&ignored);
    writer.reset();
    std::error_code ec;
    std::filesystem::remove(job.out_path, ec);
    return false;
  };

  const size_t row = static_cast<size_t>(job.width) * 4;
  std::vector<uint8_t> pixels(row * static_cast<size_t>(job.height));
  std::vector<uint8_t> flipped(pixels.size());
  player.Seek(0);
  for (int k = 0; k < end; ++k) {
    // The progress dialog lets the window repaint in between, which makes the view's context
    // current; take ours back before every frame.
    context.makeCurrent(&surface);
    fbo.bind();
    player.DrawNextFrame();
    QOpenGLFunctions* gl = context.functions();
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 1);
    gl->glReadPixels(0, 0, job.width, job.height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    for (int y = 0; y < job.height; ++y)  // GL rows run bottom to top
      std::copy_n(pixels.data() + row * static_cast<size_t>(job.height - 1 - y), row,
                  flipped.data() + row * static_cast<size_t>(y));
    std::string frame_error;
    if (!writer->AddFrame(flipped.data(), &frame_error)) return abandon(job.out_path + ": " + frame_error);
    if (progress && !progress(k + 1, end)) return abandon("the export was cancelled");
  }
  if (!writer->Finish(error)) {
    std::error_code ec;
    std::filesystem::remove(job.out_path, ec);
    *error = job.out_path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace vl::desktop
