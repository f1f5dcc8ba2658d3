// Exporting a loop to a file: each export preset's own video format (DV AVI, VCD and SVCD program
// streams, MPEG-2, H.263 3GP, H.264 MP4) or, for any preset, H.264 MP4, lossless FFV1 Matroska, a
// PNG sequence, animated WebP or GIF. The loop is drawn on a headless context of its own on the
// calling thread, on virtual time, so the same request gives the same frames whoever runs it (the
// command line or the desktop program's worker thread). Seamless by default: the loop is played
// through unrecorded first (whole cycles, as many as its particles need to live out their lives),
// so the trail and the particles are as they are when it repeats.
#pragma once
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export/export_presets.h"
#include "platform/headless/headless_context.h"
#include "platform/video/video_writer.h"

namespace vl::exporting {

// What a file of an export preset holds when written in the preset's own format: its row of the
// one preset table.
using PresetFormat = ExportPreset;

// Indices 0 .. 16; null outside.
const PresetFormat* PresetFormatOf(int preset);

// What the file is: the preset's own format, or one any preset can be written in.
// kDvd: a DVD-Video program stream (.mpg) of the 720-wide presets, ready for DVD authoring.
enum class ExportFormat { kPresetOwn, kMp4, kAvi, kMpg, k3gp, kMkv, kPng, kWebp, kGif, kDvd };

// "mp4", "avi", "mpg", "3gp", "mkv", "png", "webp", "gif", "dvd"; nullopt for anything else.
std::optional<ExportFormat> ParseExportFormat(std::string_view name);
const char* ExportFormatName(ExportFormat format);
// The extension a file of this format has (".mkv"); "" for a PNG sequence (a folder) and for
// kPresetOwn.
const char* ExportFormatExtension(ExportFormat format);

// Resolves `format` for `preset`: kPresetOwn, and avi/mpg/3gp when they are the preset's own
// format, become the preset's own; avi/mpg/3gp for a preset written otherwise are refused with
// the reason in *error. The result is never kPresetOwn.
std::optional<ExportFormat> ResolveFormat(int preset, ExportFormat format, std::string* error);

// Checks that `out` has the extension the format's file needs (a PNG sequence is a folder and
// takes any name). False with the reason in *error.
bool CheckOutputName(const std::string& out, int preset, ExportFormat resolved, std::string* error);

// The sound a file of a resolved format carries: none (WebP, GIF, PNG), silence when no sound
// file is given (DV and the disc formats, whose consumers need a sound track), or only a given
// file's.
enum class ExportSound { kNone, kSilenceUnlessGiven, kOnlyGiven };
ExportSound SoundOf(int preset, ExportFormat resolved);

struct ExportRequest {
  std::string loop_path;
  std::string out_path;  // a file, or the folder of a PNG sequence
  int preset = 1;
  ExportFormat format = ExportFormat::kPresetOwn;
  int loops = 1;        // cycles recorded, 1 or more
  bool preroll = true;  // play the loop through unrecorded before recording
  // Echoes summed partly at reduced resolution (faster, within a few levels of the exact
  // frames); otherwise exact, or the reference passes when VANTALOOP_REFERENCE=1.
  bool fast = false;
  // Sound for the file, any file FFmpeg reads, looped or cut to the video's length. Without it
  // the DV and disc formats (DV AVI, VCD, SVCD, DVD) carry silence, which their consumers need,
  // and the others no sound. WebP, GIF and PNG take none.
  std::string audio_path{};  // {}: a request written with designated initialisers may leave it out
  // For measuring speed only (the benchmark): when above 0, the preroll and the recording each
  // stop after this many frames, so the file is not the whole loop.
  int frame_limit = 0;
  // For tests: the preroll draws every picture whole, as the recorded frames are drawn, rather
  // than only what the recording depends on.
  bool preroll_drawn_whole = false;
};

enum class ExportPhase { kPreroll, kRecording, kFinishing };

// Told of progress on the exporting thread; any of them may be left empty.
struct ExportObserver {
  // After every frame of a phase: frames done of total.
  std::function<void(ExportPhase phase, int done, int total)> progress;
  // Every recorded frame as drawn, before encoding (index from 0).
  std::function<void(int index, const headless::Image& frame)> frame_drawn;
  // Asset problems of the loop, one line each.
  std::function<void(const std::string& line)> warning;
  // Set from any thread to stop; checked before every frame.
  const std::atomic<bool>* cancel = nullptr;
};

struct ExportResult {
  bool ok = false;
  bool cancelled = false;
  std::string error;  // why it failed: names the file and what went wrong
  int frames_written = 0;
  int loop_frames = 0;        // frames in one cycle of the loop
  int fps = 0;                // the rate the loop was played at
  int width = 0, height = 0;  // of the file's frames
  std::string encoder;        // e.g. "dvvideo", "png"
  std::string audio_encoder;  // e.g. "mp2"; empty without sound
  // Where the time went, in seconds of wall time.
  double preroll_s = 0, render_s = 0, encode_s = 0, total_s = 0;
  int preroll_cycles = 0;  // whole cycles played before recording (0 without preroll)
};

// Renders and writes the whole file. The file appears under out_path only when it was written
// completely; a failed or cancelled export leaves nothing behind (an existing file or PNG folder
// of that name is replaced only on success).
ExportResult ExportLoop(const ExportRequest& request, const ExportObserver& observer = {});

}  // namespace vl::exporting
