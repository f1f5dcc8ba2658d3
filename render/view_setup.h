// The view's GL side: the projection for a client size, and the one-time start-up of GL state,
// light, render targets, default textures and first scene values once a context is current.
// The desktop-only start-up steps (settings, library scan, window size, first loop, control
// panel) belong to the desktop program.
#pragma once
#include "engine/scene_state.h"
#include "render/frame_renderer.h"
#include "render/render_assets.h"
#include "engine/random.h"
#include "render/scene_layers.h"

namespace vl::render {

// Viewport and a 45-degree perspective for a width x height client area; stores the size as
// given (a height of 0 is kept in the scene but projected as 1).
void ApplyViewSize(engine::SceneState& scene, int width, int height);

// Runs once per context, with it current.
void StartView(engine::SceneState& scene, FrameRenderer& renderer, SceneLayers& layers, RenderAssets& assets,
               vl::Random& random);

}  // namespace vl::render
