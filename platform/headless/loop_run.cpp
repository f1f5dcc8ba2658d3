#include "platform/headless/loop_run.h"

#include "engine/sequence_loader.h"

namespace vl::headless {

std::unique_ptr<LoopRun> LoopRun::Create(const LoopRunSetup& setup, std::string* error) {
  std::unique_ptr<LoopRun> run(new LoopRun());
  run->gl_ = HeadlessContext::Create(setup.width, setup.height, error);
  if (!run->gl_) return nullptr;
  if (setup.random) run->random_ = setup.random;
  run->scene_ = std::make_unique<engine::SceneState>();
  run->assets_ = setup.make_assets ? setup.make_assets() : std::make_unique<render::RenderAssets>();
  if (setup.prepare_assets) setup.prepare_assets(*run->assets_);
  if (setup.make_layers) run->layers_ = setup.make_layers(*run->assets_, *run->random_);
  else run->layers_ = std::make_unique<render::PlayerLayers>(*run->assets_, *run->random_);
  if (setup.live_clock)
    run->player_ = std::make_unique<render::OfflinePlayer>(*run->scene_, *run->layers_, setup.fps, *run->random_,
                                                           *setup.live_clock);
  else run->player_ = std::make_unique<render::OfflinePlayer>(*run->scene_, *run->layers_, setup.fps, *run->random_);
  run->player_->Start(*run->assets_, setup.width, setup.height);
  if (setup.mode) run->renderer().set_render_mode(*setup.mode);
  return run;
}

LoopRun::~LoopRun() {
  // The layers and assets delete their textures and lists in whatever context is current, which
  // on a thread with several runs may be another run's.
  if (gl_) gl_->MakeCurrent();
  player_.reset();
  layers_.reset();
  assets_.reset();
}

Status LoopRun::Load(const std::filesystem::path& loop) {
  return engine::LoadSequence(*scene_, loop.string(), *assets_);
}

}  // namespace vl::headless
