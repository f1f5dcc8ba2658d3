// The 17 export presets, one table for everyone who names one: the settings dialog lists their
// captions and sizes the window by them, the export writes their frame size, rate and format.
// Plain data; links nothing.
#pragma once
#include <array>

#include "platform/video/video_writer.h"

namespace vl::exporting {

inline constexpr int kPresetCount = 17;

struct ExportPreset {
  const char* text;                 // the settings dialog's caption, runs of spaces included
  int window_width, window_height;  // the main-window size it gives; a table of its own, not derived
  int width, height;                // the video frame, named at the end of the caption
  int fps;                          // the rate the loop is played at
  bool ntsc_rate;                   // the file is marked fps * 1000 / 1001
  video::VideoFormat video;         // the preset's own format
  const char* extension;            // of the preset's own format, with the dot
  const char* name;                 // e.g. "DV AVI PAL", for messages and the file dialog
  // The width the frame is shown at: the DV, VCD and SVCD files are 4:3 pictures stored in frames
  // of another shape. 0 for the presets of square pixels.
  int display_width = 0;

  // The shape the loop is drawn in, and the size a square-pixel file (or the view) shows it at.
  int shown_width() const { return display_width > 0 ? display_width : width; }
};

// In the order of the settings dialog's list; a preset's index is what the profile stores.
extern const std::array<ExportPreset, kPresetCount> kExportPresets;

}  // namespace vl::exporting
