// The five profile settings and applying an export preset (the main-window size and frame rate it
// gives). The presets themselves are the export's table. QSettings is the profile store.
#pragma once
#include <array>
#include <string>

#include <QSize>
#include <QString>

#include "engine/scene_state.h"
#include "platform/export/export_presets.h"

class QSettings;
class QMainWindow;
class QWidget;

namespace vl::ui {

using exporting::ExportPreset;
using exporting::kExportPresets;
using exporting::kPresetCount;

// Organisation and application of the profile store.
inline constexpr const char* kSettingsOrganisation = "Vantaloop";
inline constexpr const char* kSettingsApplication = "Vantaloop";

// Section names; each holds one integer entry "Value".
inline constexpr const char* kLockSection = "Lock frame rate to AVI Speed";
inline constexpr const char* kRandomSection = "Random Sequence On Start Up";
inline constexpr const char* kPresetLoopSection = "Preset Loop";
inline constexpr const char* kExportSection = "Avi Export Settings";
inline constexpr const char* kResizeSection = "Resize";

// Reads the five settings into the scene; each missing or unreadable value is 1, and so is an
// export preset outside 0 .. 16 (then `note` says so).
void ReadSettings(QSettings& store, engine::SceneState& scene, std::string* note = nullptr);
// Writes the five settings in the order above.
void WriteSettings(QSettings& store, const engine::SceneState& scene);

// Sizes `main_window` (position kept) and sets locked_fps from preset `index`. Indices outside
// 0 .. 16 change nothing and give false. A QMainWindow is sized so that its central widget (the
// view) is the preset's frame size in device pixels; when that does not fit on the screen the
// view is as large as fits with the frame's aspect, and `note` says so.
bool ApplyExportPreset(engine::SceneState& scene, QWidget* main_window, int index, std::string* note = nullptr);

// Sizes `window` so its central widget shows `frame` device pixels, or as much as fits on the
// screen with that aspect (then `note` says so). Gives the central widget's new logical size.
QSize SizeViewTo(QMainWindow& window, QSize frame, std::string* note = nullptr);

// The start-up sizing: the preset when resize_to_preset is on, else 800 x 600 at 30 fps.
void ApplyStartupWindowSize(engine::SceneState& scene, QWidget* main_window, std::string* note = nullptr);

}  // namespace vl::ui
