// The desktop program's own state beside the scene: panel markers, the loop library list, the
// settings-dialog guard, the command-line file and the mouse fields of the view; and ViewHost,
// what the panels and dialogs ask of the view. No OpenGL.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "engine/scene_state.h"

namespace vl::ui {

inline constexpr int kMaxSequenceNames = 1024;  // entry 0 is "Nothing Selected"
inline constexpr const char* kNothingSelected = "Nothing Selected";

struct DesktopState {
  int control_panel_open = 0;  // 2 while the control panel is shown, 0 otherwise
  std::vector<std::string> sequence_names{kNothingSelected};
  int sequence_count = 0;
  int startup_sequence_index = 0;
  int settings_dialog_busy = 0;
  std::string command_line_file;
  bool command_line_file_given = false;
  // The loop on screen (absolute path), for the video export; empty when none was loaded.
  std::string loaded_sequence_path;

  // Mouse fields of the view; nothing reads them but the handlers themselves.
  bool left_drag_active = false;
  bool right_drag_active = false;
  int drag_start_x = 0, drag_start_y = 0;
};

// The operations of the view that the panels, the loop window and the dialogs call.
class ViewHost {
 public:
  virtual ~ViewHost() = default;
  // The scene, for a change or a look made at once (the view may first wait for the frame it is
  // drawing to finish). Not to be kept across a return to the event loop.
  virtual engine::SceneState& scene() = 0;
  // A change of the scene that need not wait: made now when nothing draws, else just before
  // the next frame, in the order asked.
  virtual void ChangeScene(std::function<void(engine::SceneState&)> change) = 0;
  virtual DesktopState& desktop() = 0;
  // Loads a loop (relative to the program folder, or absolute) with the context current. A load
  // that fails is reported to the user and leaves the playing loop as it was; false then.
  virtual bool LoadLoop(const std::string& path) = 0;
  // Jumps to frame n: working values of frame n, a cleared picture; drawn at the next tick.
  // Never waits on a frame being drawn.
  virtual void SeekToFrame(int frame) = 0;
  virtual void ShowSettings() = 0;
  virtual void ExportVideo() = 0;
  // Shows (creating when needed) or hides the control panel; both keep control_panel_open.
  virtual void ShowControlPanel() = 0;
  virtual void HideControlPanel() = 0;
};

}  // namespace vl::ui
