// Remote control of a playing loop: checks each LiveMessage (OSC, MIDI, a test) and turns it into
// a change of the scene, the beat clock or the player, made between frames by the thread that owns
// the scene. A message that is not understood changes nothing and says why. No Qt, no OpenGL.
#pragma once
#include <array>
#include <bitset>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/beat_clock.h"
#include "engine/loop_edit.h"
#include "engine/scene_state.h"
#include "platform/live/live_message.h"

namespace vl::live {

// Every address begins with this.
inline constexpr const char* kAddressPrefix = "/vantaloop/";
inline constexpr float kMaxSpeed = 16.0f;
inline constexpr size_t kMaxTextBytes = 255;

// What the player does for the messages that reach beyond the scene.
class LivePlayerHost {
 public:
  virtual ~LivePlayerHost() = default;
  // Loads a loop file. A file that does not load leaves the playing loop as it was and says why.
  virtual bool LoadLoop(const std::filesystem::path& file, std::string* why) = 0;
  // Applies a setting's edit to the playing loop as the editor does (assets and glyphs loaded
  // again as the setting asks); the problem, or nothing when it was applied.
  virtual std::string ApplyEdit(const engine::LoopEdit& edit) = 0;
  // False with why when the player has no window.
  virtual bool SetFullScreen(bool on, std::string* why) = 0;
  // /snapshot: writes the frame on screen where the player was told to; false with why.
  virtual bool Snapshot(std::string* why) = 0;
  // One line for the user (status bar, standard error).
  virtual void Status(const std::string& line) = 0;
};

// The loops /load, /next and /previous choose from: every *.lqf file of each folder, by name,
// folder after folder. Missing folders give none.
std::vector<std::filesystem::path> ListLibrary(const std::vector<std::filesystem::path>& folders);

class LiveControl {
 public:
  LiveControl(engine::SceneState& scene, LivePlayerHost& host) : scene_(scene), host_(host) {}

  void set_library(std::vector<std::filesystem::path> library) { library_ = std::move(library); }
  const std::vector<std::filesystem::path>& library() const { return library_; }
  // The file playing now, so /next and /previous know where they are.
  void set_loaded_file(const std::filesystem::path& file) { loaded_file_ = file; }

  // Acts on one message; now_seconds is the player's clock. Returns the reply to send back to
  // the sender (/state), if any.
  std::optional<LiveMessage> Handle(const LiveMessage& message, double now_seconds);

  // Before each frame: the frame the beat or the speed puts the loop on.
  void BeforeTick(double now_seconds);
  // After the working values are fetched: the held tracks take their held values.
  void HoldTracks(engine::SceneState& scene) const;
  // After each frame: drawn is the frame just drawn. A speed other than 1 moves on by that much
  // instead of the one frame playback stepped.
  void AfterTick(int drawn);

  // The /state reply for what is on screen.
  LiveMessage State() const;

  engine::BeatClock& beat() { return beat_; }
  float speed() const { return speed_; }
  bool held(engine::Track t) const { return held_[static_cast<size_t>(t)]; }
  int last_drawn() const { return last_drawn_; }

 private:
  // Each returns the problem, or nothing when the message was acted on.
  using Args = std::vector<LiveArg>;
  std::string Seek(const Args& args, double now);
  std::string Load(const Args& args);
  std::string Step(int delta);
  std::string Open(const Args& args);
  std::string LoadFile(const std::filesystem::path& file);
  std::string SetSetting(const Args& args);
  std::string HoldTrack(const Args& args);
  std::string Release(const Args& args);
  std::string SetText(const Args& args);

  engine::SceneState& scene_;
  LivePlayerHost& host_;
  std::vector<std::filesystem::path> library_;
  std::filesystem::path loaded_file_;
  engine::BeatClock beat_;
  float speed_ = 1.0f;
  double fraction_ = 0.0;  // of a frame, carried from tick to tick at speeds other than 1
  bool placed_ = false;    // BeforeTick put the frame there (beat lock): the tick's step is not ours
  int last_drawn_ = 0;
  std::bitset<engine::kTrackCount> held_;
  std::array<float, engine::kTrackCount> held_values_{};
};

}  // namespace vl::live
