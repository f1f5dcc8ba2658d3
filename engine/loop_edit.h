// Editing a loaded loop: settings, initial values, key values, key rows and the loop's length,
// each edit checked before anything changes and answered with the edit that takes it back.
// No OpenGL, no Qt.
//
// Edits work on the SceneState itself, not on a ParsedSequence that is applied afterwards: the
// expanded frames the renderer reads live there, an edit re-expands only the tracks it touched
// (a load would expand all 215), and the curves an editor draws are then exactly what plays.
// An edit is a plain value, and applying it is deterministic, so the same edit applied to two
// scenes holding the same loop leaves them the same. The desktop keeps a document scene of its
// own, applies each edit there through EditHistory (which checks it and keeps the undo), and hands
// the resolved edit (AppliedEdit::redo) to the playing scene between frames:
//
//   auto done = history.Apply(document, SetInitialEdit(Track::text_rot_x, 45.0f));
//   if (!done) { show(done.error().message); return; }
//   view->ChangeScene([edit = done->redo](SceneState& s) { ApplyEdit(s, edit, &assets); });
//
// Undo and Redo return what they applied in the same way: hand their `redo` to the playing scene.
//
// Keys are named by their index (0 .. keyframe_count), which stays unique even in a loaded loop
// whose key frames repeat; FindKeyAtFrame turns a frame number into an index. Edits refuse to
// leave the key frames out of ascending order, but they work on loops read with equal or falling
// frames as long as the keys they touch are in order.
//
// After any edit the scene is what loading the loop written from it (WriteSequence) would give:
// the same expanded frames, and frame slots that no longer lie between the first and the last key
// cleared. Edits leave sequence_version alone; a save writes version 6. A playhead beyond the end
// of a loop made shorter starts over at frame 0.
#pragma once
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/load_error.h"
#include "engine/scene_state.h"
#include "engine/sequence_loader.h"

namespace vl::engine {

// The longest string setting an edit will write: the loaders copy names into buffers of this size.
inline constexpr size_t kMaxSettingBytes = kNameBufferLimit;

// One change to a loop. Build them with the functions below rather than by hand.
struct LoopEdit {
  enum class Kind : uint8_t {
    kSetSetting,    // setting = number / integer / bytes, by the setting's type
    kSetInitial,    // track's initial value = value
    kSetKeyValue,   // track's value at key `key` = value
    kInsertKey,     // a key row on `frame`; `row` gives every track's value (empty: keep the motion)
    kDeleteKey,     // key `key` and its row
    kMoveKey,       // key `key` to `frame`, its row with it
    kSetKeyFrames,  // every key to the frames in `frames` (same count), rows with them
    kSetLength,     // the loop runs `frame` frames: the last key moves, or with `stretch` all keys
    kGroup,         // `steps` in order, undone together
  };
  Kind kind = Kind::kGroup;
  Setting setting{};
  float number = 0.0f;  // an F setting
  int32_t integer = 0;  // an I setting
  std::string bytes;    // an S setting, Windows-1252 bytes as the file stores them
  Track track{};
  float value = 0.0f;
  int32_t key = 0;
  int32_t frame = 0;
  bool stretch = false;
  std::vector<float> row;       // kTrackCount values, by track
  std::vector<int32_t> frames;  // keyframe_count + 1 frames
  std::vector<LoopEdit> steps;
  std::string description;  // for an Edit menu: "Set text_string", "Move key 2 to frame 90"
  bool restores = false;    // an undo: puts back what was there, unchecked
};

// ---- Making edits ---------------------------------------------------------------------------

LoopEdit SetFloatSettingEdit(Setting setting, float value);
LoopEdit SetIntSettingEdit(Setting setting, int32_t value);
// `bytes` are Windows-1252; the setting's `_length` field, where it has one, is set to their count.
LoopEdit SetStringSettingEdit(Setting setting, std::string bytes);
LoopEdit SetInitialEdit(Track track, float value);
LoopEdit SetKeyValueEdit(Track track, int32_t key, float value);
// A new key on `frame` between two keys or after the last; every track gets the value it has
// there, so nothing moves differently beyond float rounding.
LoopEdit InsertKeyEdit(int32_t frame);
LoopEdit DeleteKeyEdit(int32_t key);
LoopEdit MoveKeyEdit(int32_t key, int32_t to_frame);
LoopEdit SetKeyFramesEdit(std::vector<int32_t> frames);
// The loop's length in frames (last key frame minus first): by moving the last key, or with
// `stretch` by scaling every key's distance from the first (rounded to frames, order kept).
LoopEdit SetLengthEdit(int32_t frames, bool stretch = false);
LoopEdit GroupEdit(std::vector<LoopEdit> steps, std::string description);
// The value of `track` at the key on `frame`; with no key there, a key is added first (the other
// tracks keep their motion) and then given the value: what clicking at the playhead and typing a
// value does, and what `vantaloop-cli edit --key` does.
LoopEdit SetValueAtFrameEdit(const SceneState& scene, Track track, int32_t frame, float value);

// From text as `dump` prints it: a setting or track name, and a number ("12.5", "-3", "1e3"; an
// I setting takes whole numbers only) or a string (UTF-8, every character one that Windows-1252
// has; U+0080..U+009F stand for bytes 0x80..0x9F as dump prints them). Errors say what is wrong
// with the name or the value; NaN and infinities are refused.
Expected<LoopEdit> ParseSettingEdit(std::string_view name, std::string_view value);
Expected<Track> ParseTrackName(std::string_view name);
Expected<float> ParseTrackValue(std::string_view value);

// A setting's value as text an editor shows and ParseSettingEdit takes back unchanged: numbers as
// dump prints them, strings as UTF-8 read as Windows-1252 (where dump shows bytes 0x80..0x9F as
// U+0080..U+009F, this shows the characters Windows-1252 gives them, the euro sign and so on).
std::string SettingText(const SceneState& scene, Setting setting);

// UTF-8 to the file's 8-bit text, or nothing when a character has no Windows-1252 byte, the text
// is not UTF-8, or it holds a NUL.
std::optional<std::string> Utf8ToWindows1252(std::string_view utf8);

// ---- Applying edits -------------------------------------------------------------------------

struct AppliedEdit {
  LoopEdit redo;                    // the edit as applied, resolved (an inserted row filled in): replay it elsewhere
  LoopEdit undo;                    // applied to the edited scene, takes the edit back exactly
  std::bitset<kTrackCount> tracks;  // tracks whose values changed (re-expanded)
  std::bitset<kSettingCount> settings;  // settings written
  bool keys_changed = false;            // key count or key frames changed
};

// Checks the edit against the scene and applies it, or refuses it with a message and leaves the
// scene as it was. Only the tracks an edit touched are expanded again; a setting that names an
// asset or the font asks `assets` to load again, as a load would (no assets: nothing loads).
Expected<AppliedEdit> ApplyEdit(SceneState& scene, const LoopEdit& edit, SequenceAssets* assets = nullptr);

// Expands one track again from key segment `from_segment` on, exactly as the load's expansion
// would have; the scene's key list must already be expanded up to there.
void ExpandTrack(SceneState& scene, Track track, int32_t from_segment = 0);

// Puts `edit` at the end of edits waiting to be applied in order, taking out those it makes
// pointless: an edit that only sets things (settings, initial values, key values and key frames,
// by key index) overwrites an earlier one that sets nothing else, as long as only such edits
// come between. A drag's moves, or steps of typing, that arrive between two frames then cost
// the playing scene one edit.
void QueueEdit(std::vector<LoopEdit>& queue, LoopEdit edit);

// ---- Reading a loop for an editor -----------------------------------------------------------

// The index of the key on `frame`, or nothing. With repeated frames, the first such key.
std::optional<int32_t> FindKeyAtFrame(const SceneState& scene, int32_t frame);

// Whether a loop file carries key values for the track (two tracks have initial values only).
bool IsKeyedTrack(Track track);

struct KeyMarker {
  int32_t key;       // index
  int32_t frame;     // the key's frame number
  float value;       // the value stored for the track at this key (key 0's is not played)
  int32_t shown_at;  // the frame whose expanded value this key sets: frame - 1 (key 0: its frame)
};
std::vector<KeyMarker> KeyMarkers(const SceneState& scene, Track track);

// The expanded values the renderer reads, frames 0 .. kFrameSlots - 1; playback runs through the
// first PlayedFrameCount(scene) of them.
inline std::span<const float> FrameValues(const SceneState& scene, Track track) {
  return {scene.track(track).frame_values, static_cast<size_t>(kFrameSlots)};
}

// ---- Undo -----------------------------------------------------------------------------------

// The undo stack of one document: apply, undo, redo, descriptions for the Edit menu and a marker
// of the state last saved (for the title's asterisk). Each call returns what it applied, so the
// caller can hand the same change (`redo`) to the playing scene.
class EditHistory {
 public:
  // Applies `edit` and pushes it (dropping what could be redone). With `merge`, an edit that
  // continues the last one (a drag, typing in a field) joins it as one undo step, unless the loop
  // was saved in between. A drag that sends, at every move, the values and key frames measured
  // from where it began stays a step of constant size however long it runs.
  Expected<AppliedEdit> Apply(SceneState& scene, const LoopEdit& edit, SequenceAssets* assets = nullptr,
                              bool merge = false);
  // Nothing when there is nothing to undo / redo.
  std::optional<AppliedEdit> Undo(SceneState& scene, SequenceAssets* assets = nullptr);
  std::optional<AppliedEdit> Redo(SceneState& scene, SequenceAssets* assets = nullptr);

  bool CanUndo() const { return position_ > 0; }
  bool CanRedo() const { return position_ < steps_.size(); }
  // Most recent first.
  std::vector<std::string> UndoDescriptions() const;
  std::vector<std::string> RedoDescriptions() const;

  void MarkSaved() { saved_ = static_cast<std::ptrdiff_t>(position_); }
  bool IsModified() const { return saved_ != static_cast<std::ptrdiff_t>(position_); }
  // A new document: no steps, not modified.
  void Clear();

 private:
  struct Step {
    LoopEdit redo, undo;
  };
  std::vector<Step> steps_;
  size_t position_ = 0;       // steps_[0 .. position_) are applied
  std::ptrdiff_t saved_ = 0;  // position at the last save; -1 when that state cannot come back
};

}  // namespace vl::engine
