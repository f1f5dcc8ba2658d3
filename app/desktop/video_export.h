// Renders a loop to a video file on its own offscreen GL context and framebuffer, on virtual time,
// so the file is the same whatever the screen was doing. The view's context is left alone.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vl::desktop {

struct ExportJob {
  std::string loop_path;  // the loop file, absolute
  std::string out_path;   // .mp4, .mkv, .avi or .mov
  int width = 720, height = 576, fps = 25;
};

// Draws every frame of the loop once. `progress(done, total)` is called after each frame and
// cancels the export by returning false; a cancelled or failed export leaves no file behind.
// Asset problems of the loop go to `warnings`.
bool ExportLoopVideo(const ExportJob& job, const std::function<bool(int, int)>& progress, std::string* error,
                     std::vector<std::string>* warnings = nullptr);

}  // namespace vl::desktop
