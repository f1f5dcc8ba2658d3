// vantaloop-cli thumbnail LOOP.lqf OUT.jpg: the loop library's picture of a loop, one frame from
// the middle of the loop drawn headless on virtual time and squeezed to 96 x 96. Same loop, same
// bytes.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QImage>

#include "app/cli/command.h"
#include "engine/sequence_loader.h"
#include "platform/headless/headless_context.h"
#include "render/offline_player.h"
#include "render/player_layers.h"

namespace {

constexpr const char* kName = "thumbnail";
constexpr int kRenderSize = 576;  // a usual frame height; the glow captures assume frames of 512 or more
constexpr int kThumbSize = 96;
constexpr int kWarmUpFrames = 24;

int Run(const std::vector<std::string>& args) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path loop = fs::absolute(args[0], ec);
  if (ec || !fs::is_regular_file(loop, ec)) return vl::cli::Fail(kName, args[0] + ": no such file");

  std::string error;
  auto gl = vl::headless::HeadlessContext::Create(kRenderSize, kRenderSize, &error);
  if (!gl) return vl::cli::Fail(kName, error);
  auto scene = std::make_unique<vl::engine::SceneState>();
  vl::render::RenderAssets assets;
  vl::render::PlayerLayers layers(assets);
  vl::render::OfflinePlayer player(*scene, layers, 25);
  player.Start(assets, kRenderSize, kRenderSize);
  if (auto err = vl::engine::LoadSequence(*scene, loop.string(), assets)) return vl::cli::Fail(kName, err->ToString());
  const int end = vl::engine::PlayedFrameCount(*scene);
  if (!vl::engine::HasFramesToPlay(*scene)) return vl::cli::Fail(kName, args[0] + ": " + vl::engine::kNothingToPlay);

  // The middle frame, after a short run up to it: the trail and the fountains build up over a
  // few frames (the particles start warm after a load), and drawing from frame 0 would cost the
  // build half of every loop at this size.
  const int middle = end / 2;
  const int first = std::max(0, middle - kWarmUpFrames);
  player.Seek(first);
  for (int k = first; k <= middle; ++k) player.DrawNextFrame();
  vl::headless::Image image = gl->ReadPixels();
  QImage frame(image.rgba.data(), image.width, image.height, image.width * 4, QImage::Format_RGBA8888);
  QImage thumb = frame.convertToFormat(QImage::Format_RGB32)
                     .scaled(kThumbSize, kThumbSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  if (!thumb.save(QString::fromStdString(args[1]), "JPG", 90))
    return vl::cli::Fail(kName, args[1] + ": cannot write the picture");
  return 0;
}

}  // namespace

VL_CLI_COMMAND(thumbnail, "thumbnail", "Draw the loop library's 96 x 96 JPEG picture of a loop.", [](CLI::App& app) {
  auto args = std::make_shared<std::vector<std::string>>(2);
  app.add_option("LOOP.lqf", (*args)[0], "The loop file")->required();
  app.add_option("OUT.jpg", (*args)[1], "The picture to write")->required();
  return [args] { return Run(*args); };
});
