// Remote control messages: what each address changes, and that bad ones change nothing, say why
// and never bring the player down. No GL: the player is a fake that records what it was asked.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>

#include "engine/numeric.h"
#include "platform/live/live_control.h"

namespace {

namespace fs = std::filesystem;
using vl::engine::SceneState;
using vl::engine::Track;
using vl::live::LiveArg;
using vl::live::LiveControl;
using vl::live::LiveMessage;

class FakePlayer : public vl::live::LivePlayerHost {
 public:
  bool LoadLoop(const fs::path& file, std::string* why) override {
    loads.push_back(file);
    if (file.filename() == "broken.lqf") {
      *why = "broken.lqf: at byte 4: the file ends early";
      return false;
    }
    return true;
  }
  std::string ApplyEdit(const vl::engine::LoopEdit& edit) override {
    ++edits;
    auto done = vl::engine::ApplyEdit(*scene, edit);
    return done ? std::string() : done.error().message;
  }
  bool SetFullScreen(bool, std::string* why) override {
    *why = "no window";
    return false;
  }
  bool Snapshot(std::string*) override { return true; }
  void Status(const std::string& line) override { lines.push_back(line); }

  std::vector<fs::path> loads;
  std::vector<std::string> lines;
  SceneState* scene = nullptr;
  int edits = 0;
};

struct Rig {
  std::unique_ptr<SceneState> scene = std::make_unique<SceneState>();
  FakePlayer player;
  LiveControl control{*scene, player};

  Rig() {
    player.scene = scene.get();
    // A loop of 100 frames, playing from frame 0.
    scene->keyframe_count = 2;
    scene->play_to_sequence_end = 1;
    scene->baked_frame_count = 100;
    scene->playing = 1;
    scene->sequence_file_name = "spiral.lqf";
  }
  std::optional<LiveMessage> Send(const std::string& name, std::vector<LiveArg> args = {}, double now = 0) {
    return control.Handle(LiveMessage{"/vantaloop/" + name, std::move(args)}, now);
  }
  // Lines said since the last call.
  size_t Said() {
    const size_t n = player.lines.size() - seen;
    seen = player.lines.size();
    return n;
  }
  // One tick as playback runs it: the frame is drawn, then stepped on by one while playing.
  int Tick(double now) {
    control.BeforeTick(now);
    const int drawn = scene->current_frame;
    if (scene->playing) {
      ++scene->current_frame;
      if (scene->current_frame == vl::engine::PlayedFrameCount(*scene)) scene->playing = 0, scene->current_frame = 0;
    }
    control.AfterTick(drawn);
    return drawn;
  }
  size_t seen = 0;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

TEST(LiveControl, BadMessagesChangeNothingAndSayWhy) {
  Rig r;
  r.scene->current_frame = 10;
  const std::vector<std::pair<std::string, std::vector<LiveArg>>> bad = {
      {"nonsense", {}},
      {"frame", {}},
      {"frame", {int32_t{100}}},  // one past the last frame
      {"frame", {int32_t{-1}}},
      {"frame", {2.5f}},
      {"frame", {kNaN}},
      {"frame", {std::string("7")}},
      {"speed", {kNaN}},
      {"speed", {kInf}},
      {"speed", {-1.0f}},
      {"speed", {17.0f}},
      {"tempo", {5.0f}},
      {"tempo", {1000.0f}},
      {"beats", {int32_t{-2}}},
      {"beats", {1.5f}},
      {"loop", {int32_t{2}}},
      {"play", {int32_t{1}}},
      {"track", {std::string("no_such_track"), 1.0f}},
      {"track", {std::string("background_r"), kNaN}},
      {"track", {std::string("background_r"), std::string("red")}},
      {"track", {std::string("background_r"), 1e30f}},
      {"track", {int32_t{3}, 1.0f}},
      {"release", {std::string("no_such_track")}},
      {"set", {std::string("no_such_setting"), 1.0f}},
      {"set", {std::string("particles_on"), std::string("on")}},
      {"set", {std::string("particle_count"), 2.5f}},
      {"set", {std::string("sprite_texture_name"), std::string(30000, 'x')}},
      {"set", {std::string("text_string"), std::string("two\nlines")}},
      {"text", {int32_t{4}}},
      {"text", {std::string("\x1b[31mred")}},
      {"text", {std::string("\xff\xfe")}},
      {"text", {std::string("snow \xe2\x98\x83")}},  // not in the text's encoding
      {"fullscreen", {int32_t{1}}},                  // play has no window
      {"load", {std::string("../../etc/passwd")}},
  };
  for (const auto& [name, args] : bad) {
    r.Send(name, args);
    EXPECT_EQ(r.Said(), 1u) << name;
  }
  EXPECT_EQ(r.scene->current_frame, 10);
  EXPECT_EQ(r.control.speed(), 1.0f);
  EXPECT_EQ(r.control.beat().Tempo(), 0.0);
  EXPECT_FALSE(r.control.held(Track::background_r));
  EXPECT_EQ(r.scene->settings.text_string, SceneState().settings.text_string);
  EXPECT_EQ(r.player.edits, 0);
  EXPECT_TRUE(r.player.loads.empty());
  // Only the prefix is ours; addresses and names from the network are escaped.
  r.control.Handle(LiveMessage{"/other/play", {}}, 0);
  r.Send("\x1b]0;owned\x07", {});
  ASSERT_EQ(r.Said(), 2u);
  EXPECT_EQ(r.player.lines.back().find('\x1b'), std::string::npos);
}

TEST(LiveControl, EveryAddressTakesEveryKindOfArgumentWithoutHarm) {
  Rig r;
  const std::vector<std::string> names = {"play",  "stop",    "frame",      "next",  "previous", "load", "open",
                                          "loop",  "speed",   "tempo",      "beats", "tap",      "text", "set",
                                          "track", "release", "fullscreen", "state", "snapshot"};
  const std::vector<LiveArg> kinds = {
      int32_t{0},    int32_t{-2147483647 - 1}, int32_t{2147483647},        0.5f, kNaN, -kInf,
      std::string(), std::string(5000, 'x'),   std::string("background_g")};
  for (const std::string& name : names) {
    r.Send(name, {});
    for (const LiveArg& a : kinds) {
      r.Send(name, {a});
      for (const LiveArg& b : kinds) r.Send(name, {a, b});
    }
    // Whatever was accepted, the loop stays playable.
    r.Tick(1.0);
    EXPECT_GE(r.scene->current_frame, 0) << name;
    EXPECT_LT(r.scene->current_frame, 100) << name;
    EXPECT_TRUE(std::isfinite(r.control.speed())) << name;
  }
  EXPECT_TRUE(std::isfinite(r.control.beat().Tempo()));
  // No path from the network was ever loaded unless it named a readable file.
  for (const fs::path& p : r.player.loads) EXPECT_TRUE(fs::exists(p)) << p;
}

TEST(LiveControl, HeldTracksOverrideTheLoopUntilReleased) {
  Rig r;
  r.Send("track", {std::string("background_r"), int32_t{255}});
  r.Send("track", {std::string("text_alpha"), 0.5f});
  EXPECT_EQ(r.Said(), 0u);
  r.scene->work.background_r = 3.0f;  // what the frame fetched from the loop
  r.control.HoldTracks(*r.scene);
  EXPECT_EQ(r.scene->work.background_r, 255.0f);
  EXPECT_EQ(r.scene->work.text_alpha, 0.5f);
  r.Send("release", {std::string("background_r")});
  r.scene->work.background_r = 3.0f;
  r.control.HoldTracks(*r.scene);
  EXPECT_EQ(r.scene->work.background_r, 3.0f);
  EXPECT_TRUE(r.control.held(Track::text_alpha));
  r.Send("release");
  EXPECT_FALSE(r.control.held(Track::text_alpha));
}

TEST(LiveControl, SpeedSkipsOrRepeatsFramesAndWrapsAtTheEnd) {
  Rig r;
  r.scene->loop_sequence = 2.0f;
  r.Send("speed", {2.0f});
  EXPECT_EQ(r.Tick(0), 0);
  EXPECT_EQ(r.Tick(0), 2);
  EXPECT_EQ(r.Tick(0), 4);
  r.Send("speed", {int32_t{0}});  // held where it is
  EXPECT_EQ(r.Tick(0), 6);
  EXPECT_EQ(r.Tick(0), 6);
  r.Send("speed", {0.5f});
  EXPECT_EQ(r.Tick(0), 6);
  EXPECT_EQ(r.Tick(0), 6);
  EXPECT_EQ(r.Tick(0), 7);
  EXPECT_EQ(r.Tick(0), 7);
  // Past the end: playback's rewind to frame 0, which the loop switch restarts.
  r.Send("speed", {3.0f});
  r.Send("frame", {int32_t{98}});
  EXPECT_EQ(r.Tick(0), 98);
  EXPECT_EQ(r.scene->current_frame, 0);
  EXPECT_EQ(r.scene->playing, 0);
}

TEST(LiveControl, TempoAndBeatsPlaceTheLoopAndStateReportsThem) {
  Rig r;
  r.Send("tempo", {120.0f}, 10.0);
  r.Send("beats", {int32_t{8}}, 10.0);
  r.Send("frame", {int32_t{0}}, 10.0);
  EXPECT_EQ(r.Said(), 0u);
  EXPECT_EQ(r.Tick(10.0), 0);
  EXPECT_EQ(r.Tick(12.0), 50);
  EXPECT_EQ(r.Tick(14.0), 0);  // one pass in 4 s
  auto reply = r.Send("state", {}, 14.0);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->address, "/vantaloop/state");
  ASSERT_EQ(reply->args.size(), 7u);
  EXPECT_EQ(std::get<std::string>(reply->args[0]), "spiral.lqf");
  EXPECT_EQ(std::get<int32_t>(reply->args[1]), 0);
  EXPECT_EQ(std::get<int32_t>(reply->args[2]), 100);
  EXPECT_EQ(std::get<int32_t>(reply->args[3]), 1);
  EXPECT_EQ(std::get<float>(reply->args[4]), 1.0f);
  EXPECT_EQ(std::get<float>(reply->args[5]), 120.0f);
  EXPECT_EQ(std::get<int32_t>(reply->args[6]), 8);
  // Stopped, the beat moves nothing; a tap puts frame 0 on it.
  r.Send("stop");
  r.scene->current_frame = 30;
  r.control.BeforeTick(15.0);
  EXPECT_EQ(r.scene->current_frame, 30);
  r.Send("play");
  r.Send("tap", {}, 20.0);
  EXPECT_EQ(r.Tick(20.0), 0);
  r.Send("beats", {int32_t{0}}, 21.0);
  EXPECT_EQ(std::get<int32_t>(r.Send("state", {}, 21.0)->args[6]), 0);
}

TEST(LiveControl, LoadsChooseFromTheLibraryAndAFailedLoadKeepsTheLoop) {
  const fs::path dir = fs::temp_directory_path() / ("live_library_" + std::to_string(::getpid()));
  fs::create_directories(dir / "Sequences");
  for (const char* n : {"b.lqf", "a.lqf", "broken.lqf", "notes.txt", ".hidden.lqf"})
    std::ofstream(dir / "Sequences" / n) << "x";
  fs::create_directory(dir / "Sequences" / "folder.lqf");
  Rig r;
  r.control.set_library(vl::live::ListLibrary({dir / "Sequences", dir / "missing"}));
  ASSERT_EQ(r.control.library().size(), 3u);  // a, b, broken: by name, files only
  r.Send("load", {std::string("b")});
  r.Send("load", {int32_t{0}});
  r.Send("next");
  r.Send("next");  // broken.lqf: fails, the loop stays
  EXPECT_EQ(r.Said(), 1u);
  EXPECT_NE(r.player.lines.back().find("plays on"), std::string::npos);
  r.Send("previous");  // from b (the last that loaded): a
  r.Send("load", {std::string("B.LQF")});
  r.Send("load", {int32_t{3}});
  EXPECT_EQ(r.Said(), 1u);
  std::vector<std::string> loaded;
  for (const fs::path& p : r.player.loads) loaded.push_back(p.filename().string());
  EXPECT_EQ(loaded, (std::vector<std::string>{"b.lqf", "a.lqf", "b.lqf", "broken.lqf", "a.lqf", "b.lqf"}));
  // /open takes a path, but only of a readable file.
  r.Send("open", {(dir / "Sequences" / "folder.lqf").string()});
  r.Send("open", {(dir / "none.lqf").string()});
  EXPECT_EQ(r.Said(), 2u);
  r.Send("open", {(dir / "Sequences" / "a.lqf").string()});
  EXPECT_EQ(r.Said(), 0u);
  fs::remove_all(dir);
}

TEST(LiveControl, SettingsAndTextAreEditsOfTheLoop) {
  Rig r;
  r.Send("set", {std::string("particles_on"), int32_t{2}});
  r.Send("set", {std::string("particle_count"), 300.0f});
  r.Send("set", {std::string("text_font_weight"), int32_t{700}});
  r.Send("set", {std::string("sprite_texture_name"), std::string("Textures/Gold.jpg")});
  r.Send("text", {std::string("Caf\xc3\xa9 \xe2\x82\xac")});
  EXPECT_EQ(r.Said(), 0u) << r.player.lines.back();
  EXPECT_EQ(r.player.edits, 5);
  EXPECT_EQ(r.scene->settings.particles_on, 2.0f);
  EXPECT_EQ(r.scene->settings.particle_count, 300);
  EXPECT_EQ(r.scene->settings.text_font_weight, 700);
  // As a loop file keeps them: its length field set with the name, the text in Windows-1252.
  EXPECT_EQ(r.scene->settings.sprite_texture_name, "Textures/Gold.jpg");
  EXPECT_EQ(r.scene->settings.sprite_texture_name_length, 17.0f);
  EXPECT_EQ(r.scene->settings.text_string, "Caf\xe9 \x80");
}

}  // namespace
