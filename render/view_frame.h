// The GL steps a host of the renderer takes around each frame it shows: the whole framebuffer
// as the viewport, the finished frame read back as screen pixels, the error a frame left, and the
// clears a seek or a new project asks for. Draws into whatever context is current.
#pragma once
#include <cstdint>

#include "engine/scene_state.h"

namespace vl::render {

// Every frame starts on the whole width x height framebuffer, as a window's paint does.
void BeginViewFrame(int width, int height);

// Waits until the frame is finished pixels (what a frame costs is timed to here).
void FinishFrame();

// Reads the width x height framebuffer into `out` (width * height words) as 0xAARRGGBB, opaque,
// top row first: the layout of a 32-bit screen image.
void ReadViewFrame(int width, int height, uint32_t* out);

// The first GL error left since the last call, or 0.
uint32_t TakeGlError();

// A seek's clear: the background of the frame the scene stands on, depth cleared, white colour.
void ClearToBackground(const engine::SceneState& scene);

// A new project's clear colour: black, transparent.
void ClearToBlack();

}  // namespace vl::render
