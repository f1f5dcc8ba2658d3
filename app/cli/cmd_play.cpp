// vantaloop-cli play LOOP.lqf: plays a loop in real time without a window, for kiosks, signage
// and headless machines, with the desktop's playback rules, remote control over OSC and the
// frames handed to sinks (streams). Ctrl+C or --seconds ends it.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include "app/cli/command.h"
#include "app/cli/printed_model_progress.h"
#include "engine/asset_paths.h"
#include "engine/output_file.h"
#include "engine/sequence_loader.h"
#include "engine/sequence_text.h"
#include "platform/headless/loop_run.h"
#include "platform/headless/png_file.h"
#include "platform/live/frame_sink.h"
#include "platform/live/live_control.h"
#include "platform/live/osc_server.h"
#include "platform/stream/stream_sender.h"
#include "platform/link/beat_follow.h"
#include "platform/midi/midi_remote.h"
#include "ui/midi_profile.h"
#include "render/clock.h"

namespace {

constexpr const char* kName = "play";
// Messages from outside can come in floods; past this many lines a second they are counted, not
// printed.
constexpr int kStatusLinesPerSecond = 20;

namespace fs = std::filesystem;

bool ParseInt(const std::string& text, int lo, int hi, int* out) {
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseSize(const std::string& text, int* w, int* h) {
  size_t at = text.find('x');
  return at != std::string::npos && ParseInt(text.substr(0, at), 16, 8192, w) &&
         ParseInt(text.substr(at + 1), 16, 8192, h);
}

bool ParseSeconds(const std::string& text, double* out) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !(v > 0) || v > 1e7) return false;
  *out = v;
  return true;
}

struct Options {
  std::string loop;
  std::string size, fps, seconds, osc;  // as typed; Run checks them
  std::string snapshot;
  std::vector<std::string> streams;  // --stream URL, each a sink of its own
  int width = 720, height = 576;
  int frames_per_second = 25;
  double run_seconds = 0;  // 0: until Ctrl+C
  int osc_port = 0;        // 0: no OSC
  std::string midi;        // a MIDI input's device name: its mappings and its clock
  bool link = false;       // join the Link session and follow its tempo and bar
};

// Loops whose parsed form has frames to play, counted as playback will count them.
bool HasFramesToPlay(const vl::engine::ParsedSequence& seq) {
  auto probe = std::make_unique<vl::engine::SceneState>();
  vl::engine::SequenceAssets none;
  vl::engine::ApplySequence(*probe, seq, none);
  return vl::engine::HasFramesToPlay(*probe);
}

// The player: one thread owns the scene, the GL context and the renderer; messages are acted on
// between frames.
class LivePlayer final : public vl::live::LivePlayerHost {
 public:
  // `run` plays on `clock`; the frame time is slept here, once, by `sleeper`.
  LivePlayer(const Options& o, vl::headless::LoopRun& run, const vl::render::Clock& clock, vl::render::Sleeper& sleeper)
      : o_(o), run_(run), clock_(clock), sleeper_(sleeper), control_(run.scene(), *this) {
    run_.renderer().set_after_fetch([this](vl::engine::SceneState& s) { control_.HoldTracks(s); });
  }

  vl::live::LiveControl& control() { return control_; }
  std::vector<std::unique_ptr<vl::live::FrameSink>>& sinks() { return sinks_; }
  void set_osc(vl::live::OscServer* osc) { osc_ = osc; }
  void set_midi(vl::midi::MidiRemote* midi) { midi_ = midi; }
  void set_link(vl::link::LinkSession* link) { link_ = link; }

  // LivePlayerHost.
  bool LoadLoop(const fs::path& file, std::string* why) override {
    // Read and checked whole before the playing loop is touched.
    auto seq = vl::engine::ReadLoopFile(file);
    if (!seq) {
      *why = seq.error().ToString();
      return false;
    }
    if (!HasFramesToPlay(*seq)) {
      *why = vl::EscapeControl(file.filename().string()) + ": " + vl::engine::kNothingToPlay;
      return false;
    }
    run_.scene().sequence_file_name = file.filename().string();
    vl::engine::ApplySequence(run_.scene(), *seq, run_.assets());
    control_.set_loaded_file(file);
    Status("playing " + vl::EscapeControl(run_.scene().sequence_file_name));
    return true;
  }
  std::string ApplyEdit(const vl::engine::LoopEdit& edit) override {
    auto done = vl::engine::ApplyEdit(run_.scene(), edit, &run_.assets());
    return done ? std::string() : done.error().message;
  }
  bool SetFullScreen(bool, std::string* why) override {
    *why = "play shows no window";
    return false;
  }
  bool Snapshot(std::string* why) override {
    if (o_.snapshot.empty()) {
      *why = "no --snapshot FILE was given";
      return false;
    }
    // The framebuffer still holds the frame last shown.
    vl::headless::Image image = run_.ReadPixels();
    return vl::headless::WritePngFile(image, o_.snapshot, why);
  }
  void Status(const std::string& line) override {
    const int32_t now = clock_.NowMs();
    if (now - status_window_ms_ >= 1000) {
      if (status_muted_ > 0)
        std::fprintf(stderr, "vantaloop-cli: %s: (%d more messages not shown)\n", kName, status_muted_);
      status_window_ms_ = now;
      status_lines_ = 0;
      status_muted_ = 0;
    }
    if (status_lines_++ < kStatusLinesPerSecond) std::fprintf(stderr, "vantaloop-cli: %s: %s\n", kName, line.c_str());
    else ++status_muted_;
  }

  // Plays until interrupted or out of time.
  void Run(const std::atomic<bool>& interrupted) {
    const int32_t start = clock_.NowMs();
    const int frame_ms = 1000 / o_.frames_per_second;
    int64_t k = 0;
    std::vector<vl::live::ReceivedMessage> incoming;
    int64_t dropped_told = 0;
    for (;;) {
      if (interrupted) break;
      const int32_t now = clock_.NowMs();
      if (o_.run_seconds > 0 && now - start >= o_.run_seconds * 1000.0) break;
      const double now_s = now / 1000.0;

      // Messages that came in since the last frame, in order, before it is drawn.
      if (osc_) {
        incoming.clear();
        osc_->Take(&incoming);
        for (const auto& m : incoming) {
          if (!m.problem.empty()) {
            const std::string& a = m.message.address;
            Status("ignored " + vl::EscapeControl(a.size() > 80 ? a.substr(0, 80) + "..." : a) + ": " + m.problem);
            continue;
          }
          if (auto reply = control_.Handle(m.message, now_s)) osc_->Reply(m, *reply);
        }
        if (const int64_t d = osc_->dropped(); d != dropped_told) {
          Status(std::to_string(d - dropped_told) + " OSC messages dropped: they came faster than frames");
          dropped_told = d;
        }
      }

      // ---- MIDI and Link: MIDI's messages act as OSC's; Link, else MIDI clock, keeps the beat. ----
      if (midi_) {
        if (now - midi_polled_ms_ >= 1000) {
          midi_polled_ms_ = now;
          if (const std::string said = midi_->Poll(); !said.empty()) Status(vl::EscapeControl(said));
        }
        for (const auto& m : midi_->Drain().messages) control_.Handle(m, now_s);
      }
      const int beats = control_.beat().BeatsPerLoop();
      if (link_) {
        vl::link::FollowBeat(control_.beat(), vl::link::LinkBeat(*link_, beats), now_s);
        if (const size_t peers = link_->Peers(); peers != link_peers_) {
          link_peers_ = peers;
          Status("Link: " + std::to_string(peers) + (peers == 1 ? " peer" : " peers"));
        }
      } else if (midi_) {
        vl::link::FollowBeat(control_.beat(), vl::link::MidiClockBeat(midi_->clock(), beats, vl::midi::SteadySeconds()),
                             now_s);
      }

      // The frame: the beat or the speed places it, playback draws it and steps on.
      run_.scene().lock_frame_rate = 0;  // paced here, one tick per frame time
      control_.BeforeTick(now_s);
      run_.player().playback().Tick(run_.renderer());
      control_.AfterTick(run_.renderer().last_frame().drawn_frame);

      // ---- Frame sinks: every frame shown is handed over (streams add theirs to sinks_). ----
      if (!sinks_.empty()) {
        vl::headless::Image image = run_.ReadPixels();
        vl::live::ShownFrame shown{image.rgba.data(), image.width, image.height, image.width * 4, shown_, now_s};
        for (auto& sink : sinks_) sink->Deliver(shown);
      }
      ++shown_;

      // The next frame time. Behind by more than a frame: the missed times are skipped, never
      // drawn in a burst.
      ++k;
      int64_t due = start + k * 1000 / o_.frames_per_second;
      const int32_t after = clock_.NowMs();
      if (after - due > frame_ms) {
        k = static_cast<int64_t>(after - start) * o_.frames_per_second / 1000 + 1;
        due = start + k * 1000 / o_.frames_per_second;
      }
      if (due > after) sleeper_.SleepMs(static_cast<int>(due - after));
    }
  }

 private:
  const Options& o_;
  vl::headless::LoopRun& run_;
  const vl::render::Clock& clock_;
  vl::render::Sleeper& sleeper_;
  vl::live::LiveControl control_;
  vl::live::OscServer* osc_ = nullptr;
  vl::midi::MidiRemote* midi_ = nullptr;
  vl::link::LinkSession* link_ = nullptr;
  int32_t midi_polled_ms_ = 0;
  size_t link_peers_ = 0;
  std::vector<std::unique_ptr<vl::live::FrameSink>> sinks_;
  int64_t shown_ = 0;
  int32_t status_window_ms_ = 0;
  int status_lines_ = 0;
  int status_muted_ = 0;
};

// Checks the typed values into `o`; a usage error's exit status when one is wrong.
std::optional<int> TakeTyped(Options& o) {
  if (!o.size.empty() && !ParseSize(o.size, &o.width, &o.height))
    return vl::cli::UsageError(kName, "--size wants WxH, each 16 to 8192");
  if (!o.fps.empty() && !ParseInt(o.fps, 1, 240, &o.frames_per_second))
    return vl::cli::UsageError(kName, "--fps wants 1 to 240");
  if (!o.seconds.empty() && !ParseSeconds(o.seconds, &o.run_seconds))
    return vl::cli::UsageError(kName, "--seconds wants a number of seconds above 0");
  if (!o.osc.empty() && !ParseInt(o.osc, 1, 65535, &o.osc_port))
    return vl::cli::UsageError(kName, "--osc wants a UDP port, 1 to 65535");
  return std::nullopt;
}

// ---- Frame sinks: --stream URL adds its sink to the player's sinks here. ----
// An address that cannot be used stops here, before any is started; one that is down is retried
// while the loop plays.
std::optional<int> AddStreams(const Options& o, LivePlayer& player) {
  std::vector<std::unique_ptr<vl::stream::StreamSender>> senders;
  std::string error;
  for (const std::string& url : o.streams) {
    vl::stream::StreamOptions so;
    so.url = url;
    so.width = o.width, so.height = o.height;
    so.fps = o.frames_per_second;
    senders.push_back(vl::stream::StreamSender::Start(so, &error));
    if (!senders.back()) return vl::cli::UsageError(kName, "--stream: " + vl::EscapeControl(error));
  }
  for (auto& sender : senders) {
    LivePlayer* p = &player;
    player.sinks().push_back(std::make_unique<vl::stream::ToldStream>(
        std::move(sender), [p](const std::string& line) { p->Status(vl::EscapeControl(line)); }));
  }
  return std::nullopt;
}

// A port that cannot be had leaves the loop playing without remote control.
std::unique_ptr<vl::live::OscServer> StartOsc(const Options& o, LivePlayer& player) {
  if (o.osc_port == 0) return nullptr;
  std::string error;
  auto osc = vl::live::OscServer::Start(o.osc_port, &error);
  if (!osc) std::fprintf(stderr, "vantaloop-cli: %s: %s; playing without OSC\n", kName, error.c_str());
  else std::fprintf(stderr, "vantaloop-cli: %s: listening for OSC on UDP port %d\n", kName, osc->port());
  player.set_osc(osc.get());
  return osc;
}

// ---- MIDI (--midi NAME): without it, or without a MIDI system, it plays on. ----
std::unique_ptr<vl::midi::MidiRemote> StartMidi(const Options& o, LivePlayer& player,
                                                std::unique_ptr<vl::midi::MidiInputs>& inputs) {
  if (o.midi.empty()) return nullptr;
  inputs = vl::midi::MakeSystemInputs();
  if (const std::string problem = inputs->Problem(); !problem.empty()) {
    std::fprintf(stderr, "vantaloop-cli: %s: %s; playing without MIDI\n", kName, problem.c_str());
    return nullptr;
  }
  auto midi = std::make_unique<vl::midi::MidiRemote>(*inputs);
  // The mappings learned in the desktop, read from its settings file when that is a plain file.
  std::error_code ec;
  const fs::path profile =
      fs::path(
          QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)).toStdString()) /
      "Vantaloop" / "Vantaloop.conf";
  if (fs::is_regular_file(profile, ec) && fs::file_size(profile, ec) <= (1u << 20) && !ec) {
    QSettings store(QString::fromStdString(profile.string()), QSettings::IniFormat);
    for (const QString& problem : vl::ui::ReadMidiMappings(store, *midi))
      std::fprintf(stderr, "vantaloop-cli: %s: %s\n", kName, problem.toUtf8().constData());
  }
  const std::string device = vl::midi::DeviceName(o.midi);
  midi->SetDevice(device);
  const size_t mapped = midi->Mappings(device).size();
  std::string shown = vl::EscapeControl(device);
  if (midi->connected())
    std::fprintf(stderr, "vantaloop-cli: %s: MIDI input %s, %zu mapping(s)\n", kName, shown.c_str(), mapped);
  else
    std::fprintf(stderr, "vantaloop-cli: %s: MIDI input %s is not connected; it is used when it is\n", kName,
                 shown.c_str());
  player.set_midi(midi.get());
  return midi;
}

int Run(Options o) {
  if (std::optional<int> wrong = TakeTyped(o)) return *wrong;

  std::error_code ec;
  const fs::path loop_path = fs::absolute(o.loop, ec);
  if (ec) return vl::cli::Fail(kName, o.loop + ": no such file");
  if (const std::string why = vl::WhyNotReadable(loop_path); !why.empty())
    return vl::cli::Fail(kName, o.loop + ": " + why);
  if (!o.snapshot.empty())
    if (vl::Status same = vl::RefuseSameFile(loop_path, o.snapshot))
      return vl::cli::UsageError(kName, same->ToString());

  // One thread owns the scene, the GL context and the renderer: this one.
  vl::render::SteadyClock clock;
  vl::render::ThreadSleeper sleeper;
  vl::cli::PrintedModelProgress model_progress(kName);
  vl::headless::LoopRunSetup setup;
  setup.width = o.width;
  setup.height = o.height;
  setup.fps = o.frames_per_second;
  setup.live_clock = &clock;
  setup.prepare_assets = [&](vl::render::RenderAssets& assets) { assets.set_model_progress(&model_progress); };
  std::string error;
  auto run = vl::headless::LoopRun::Create(setup, &error);
  if (!run) return vl::cli::Fail(kName, error);
  auto player = std::make_unique<LivePlayer>(o, *run, clock, sleeper);
  // The library /load, /next and /previous choose from: the Sequences folder of the library
  // folder, then the user's own, as the desktop lists them.
  std::vector<fs::path> folders = {vl::ProgramFolder() / "Sequences"};
  if (const fs::path user = vl::UserDataFolder(); !user.empty()) folders.push_back(user / "Sequences");
  player->control().set_library(vl::live::ListLibrary(folders));
  std::string why;
  if (!player->LoadLoop(loop_path, &why)) return vl::cli::Fail(kName, why);

  if (std::optional<int> wrong = AddStreams(o, *player)) return *wrong;
  std::unique_ptr<vl::live::OscServer> osc = StartOsc(o, *player);
  std::unique_ptr<vl::midi::MidiInputs> midi_inputs;
  std::unique_ptr<vl::midi::MidiRemote> midi = StartMidi(o, *player, midi_inputs);
  // ---- Link (--link): the session's tempo and bar. ----
  std::unique_ptr<vl::link::LinkSession> link;
  if (o.link) {
    link = std::make_unique<vl::link::LinkSession>();
    link->Join(true);
    std::fprintf(stderr, "vantaloop-cli: %s: joined the Link session\n", kName);
    player->set_link(link.get());
  }

  const std::atomic<bool>& interrupted = vl::cli::CatchInterrupts();
  player->Run(interrupted);
  // The OSC and MIDI threads stop before the player they queue for goes.
  osc.reset();
  player->sinks().clear();  // streams end, and say so, while the player they speak through is whole
  midi.reset();
  link.reset();
  return 0;
}

}  // namespace

VL_CLI_COMMAND(
    play, "play", "Play a loop in real time without a window, remote-controlled over OSC.", [](CLI::App& app) {
      auto o = std::make_shared<Options>();
      app.add_option("LOOP.lqf", o->loop, "The loop file")->required();
      app.add_option("--size", o->size, "Frame size, default 720x576")->type_name("WxH");
      app.add_option("--fps", o->fps, "Frames per second, default 25")->type_name("N");
      app.add_option("--seconds", o->seconds, "Stop after this long (default: until Ctrl+C)")->type_name("S");
      app.add_option("--osc", o->osc, "Take OSC messages on this UDP port")->type_name("PORT");
      app.add_option("--stream", o->streams,
                     "Send the frames shown to udp://host:port or srt://host:port (MPEG-TS), "
                     "rtmp://host/app/key or a V4L2 loopback /dev/videoN; may be given again")
          ->type_name("URL");
      app.add_option("--snapshot", o->snapshot, "Where the OSC message /vantaloop/snapshot writes the frame on screen")
          ->type_name("FILE.png");
      app.add_option("--midi", o->midi,
                     "Take this MIDI input's learned controls and its clock (device name, as Options > MIDI shows it)")
          ->type_name("NAME");
      app.add_flag("--link", o->link, "Join the Link session: follow its tempo and bar");
      return [o] { return Run(*o); };
    });
