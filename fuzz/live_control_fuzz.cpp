// Fuzzes remote control: any run of messages (any address, any arguments) is taken or refused
// with a status line, and the frame the player is sent to stays inside the loop.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "engine/loop_edit.h"
#include "engine/scene_state.h"
#include "engine/sequence_text.h"
#include "platform/live/live_control.h"

namespace {

using namespace vl;

class Player : public live::LivePlayerHost {
 public:
  explicit Player(engine::SceneState& scene) : scene_(scene) {}
  bool LoadLoop(const std::filesystem::path&, std::string* why) override {
    *why = "loads are not fuzzed";
    return false;
  }
  std::string ApplyEdit(const engine::LoopEdit& edit) override {
    auto done = engine::ApplyEdit(scene_, edit);
    return done ? std::string() : done.error().message;
  }
  bool SetFullScreen(bool, std::string* why) override {
    *why = "no window";
    return false;
  }
  bool Snapshot(std::string* why) override {
    *why = "no snapshot";
    return false;
  }
  void Status(const std::string&) override {}

 private:
  engine::SceneState& scene_;
};

const char* const kAddresses[] = {"play",  "stop",    "frame",      "next",  "previous", "load",  "open",
                                  "loop",  "speed",   "tempo",      "beats", "tap",      "text",  "set",
                                  "track", "release", "fullscreen", "state", "snapshot", "nosuch"};

struct Bytes {
  const uint8_t* p;
  size_t n;
  uint8_t u8() { return n ? (--n, *p++) : 0; }
  uint32_t u32() { return u8() | (u8() << 8) | (u8() << 16) | (static_cast<uint32_t>(u8()) << 24); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto scene = std::make_unique<engine::SceneState>();
  if (engine::CompileSequence("version 6\n[settings]\n[key]\nframe = 0\n[key]\nframe = 50\n", "fuzz.txt", *scene))
    __builtin_trap();
  Player player(*scene);
  live::LiveControl control(*scene, player);
  Bytes in{data, size};
  double now = 0;
  while (in.n > 0) {
    live::LiveMessage m;
    m.address = std::string(live::kAddressPrefix) + kAddresses[in.u8() % std::size(kAddresses)];
    for (int args = in.u8() % 4; args > 0; --args) {
      switch (in.u8() % 3) {
        case 0: m.args.emplace_back(static_cast<int32_t>(in.u32())); break;
        case 1: {
          const uint32_t bits = in.u32();
          float f;
          std::memcpy(&f, &bits, sizeof f);
          m.args.emplace_back(f);
          break;
        }
        default: {
          std::string s;
          for (int len = in.u8() % 20; len > 0 && in.n > 0; --len) s += static_cast<char>(in.u8());
          // Track and setting names more often than chance would give them.
          if (!s.empty() && (s[0] & 1))
            s = engine::TrackName(static_cast<engine::Track>(static_cast<uint8_t>(s[0]) % engine::kTrackCount));
          m.args.emplace_back(s);
        }
      }
    }
    now += (in.u8() % 50) / 1000.0;
    (void)control.Handle(m, now);
    control.BeforeTick(now);
    control.HoldTracks(*scene);
    const int frames = engine::PlayedFrameCount(*scene);
    if (frames > 0 && (scene->current_frame < 0 || scene->current_frame >= frames)) __builtin_trap();
    control.AfterTick(scene->current_frame);
  }
  return 0;
}
