#include "app/desktop/desktop_live.h"

#include <cstdio>

#include <QSettings>

#include "app/desktop/zentrope_view.h"
#include "engine/asset_paths.h"
#include "engine/load_error.h"
#include "ui/loop_library.h"
#include "ui/settings_dlg.h"

namespace vl::desktop {

DesktopLive::DesktopLive(CZentropeView& view, QSettings& settings, QObject* parent)
    : QObject(parent), view_(view), settings_(settings) {
  control_ = std::make_unique<live::LiveControl>(view_.scene(), *this);
  control_->set_library(live::ListLibrary({ProgramFolder() / ui::kSequencesFolder, ui::UserSequencesFolder()}));
  // The control's state is the scene's companion: the drawing thread uses it during a tick, the
  // GUI thread between ticks (messages are made scene changes), never both at once.
  live::LiveControl* c = control_.get();
  view_.set_live_hooks({[c](double now) { c->BeforeTick(now); }, [c](engine::SceneState& s) { c->HoldTracks(s); },
                        [c](int drawn) { c->AfterTick(drawn); }});
  // Often enough that a message shows in the next frame or the one after.
  poll_.setInterval(5);
  connect(&poll_, &QTimer::timeout, this, &DesktopLive::TakeMessages);
  // The main window may take the view down first.
  connect(&view_, &QObject::destroyed, this, [this] {
    view_gone_ = true;
    poll_.stop();
  });
}

DesktopLive::~DesktopLive() {
  osc_.reset();
  if (!view_gone_) view_.set_live_hooks({});
}

void DesktopLive::ApplySettings() {
  const int port = ui::StoredOscPort(settings_);
  const double tempo = ui::StoredTempo(settings_);
  const int beats = ui::StoredBeatsPerLoop(settings_);
  view_.ChangeScene([this, tempo, beats](engine::SceneState&) {
    const double now = view_.NowSeconds();
    engine::BeatClock& beat = control_->beat();
    if (beat.Tempo() != tempo) beat.SetTempo(tempo, now);
    if (beat.BeatsPerLoop() != beats) beat.SetBeatsPerLoop(beats, now);
  });
  if (port == port_wanted_ && (osc_ || port == 0)) return;
  port_wanted_ = port;
  osc_.reset();
  poll_.stop();
  if (port == 0) return;
  std::string error;
  osc_ = live::OscServer::Start(port, &error);
  if (!osc_) {
    // The picture plays on; only remote control is missing.
    view_.Say(QString::fromStdString(error + "; OSC is off"), StatusKind::kProblem);
    std::fprintf(stderr, "vantaloop: %s; OSC is off\n", error.c_str());
    return;
  }
  std::fprintf(stderr, "vantaloop: listening for OSC on UDP port %d\n", osc_->port());
  view_.Say(QString("Listening for OSC on UDP port %1").arg(osc_->port()));
  poll_.start();
}

void DesktopLive::TakeMessages() {
  if (!osc_) return;
  std::vector<live::ReceivedMessage> incoming;
  osc_->Take(&incoming);
  for (live::ReceivedMessage& m : incoming) {
    if (!m.problem.empty()) {
      const std::string& a = m.message.address;
      Status("ignored " + EscapeControl(a.size() > 80 ? a.substr(0, 80) + "..." : a) + ": " + m.problem);
      continue;
    }
    // Made between ticks, as the panel's changes are.
    view_.ChangeScene([this, m = std::move(m)](engine::SceneState&) {
      if (auto reply = control_->Handle(m.message, view_.NowSeconds()))
        if (osc_) osc_->Reply(m, *reply);
    });
  }
}

void DesktopLive::Dispatch(live::LiveMessage message) {
  view_.ChangeScene([this, m = std::move(message)](engine::SceneState&) { control_->Handle(m, view_.NowSeconds()); });
}

void DesktopLive::ChangeBeat(std::function<void(engine::BeatClock&, double)> change) {
  view_.ChangeScene(
      [this, change = std::move(change)](engine::SceneState&) { change(control_->beat(), view_.NowSeconds()); });
}

void DesktopLive::Tap() {
  view_.ChangeScene([this](engine::SceneState&) {
    control_->beat().Tap(view_.NowSeconds());
    const QString tempo = TempoText();
    view_.Say(tempo.isEmpty() ? QString("Tap: tap again for the tempo") : "Tap: " + tempo);
  });
}

QString DesktopLive::TempoText() {
  const engine::BeatClock& beat = control_->beat();
  // Read between ticks only; the tick may be placing the frame.
  const double tempo = beat.Tempo();
  if (tempo <= 0) return {};
  QString text = QString("%1 BPM").arg(tempo, 0, 'f', 1);
  if (beat.BeatsPerLoop() > 0) {
    const int at = static_cast<int>(beat.BeatAt(view_.NowSeconds())) + 1;
    text += QString(", beat %1 of %2").arg(std::clamp(at, 1, beat.BeatsPerLoop())).arg(beat.BeatsPerLoop());
  }
  return text;
}

bool DesktopLive::LoadLoop(const std::filesystem::path& file, std::string*) {
  // The view's own load, once this change is over: it says itself when the file does not load,
  // and keeps the loop on screen then.
  const std::string path = file.string();
  QTimer::singleShot(0, &view_, [this, path] { view_.LoadLoop(path); });
  return true;
}

std::string DesktopLive::ApplyEdit(const engine::LoopEdit& edit) {
  // Called from a scene change: the scene is the GUI thread's now.
  std::string problem = view_.ApplyLiveEdit(edit);
  if (problem.empty() && record_edit_)
    QTimer::singleShot(0, this, [this, edit] {
      if (record_edit_) record_edit_(edit);
    });
  return problem;
}

bool DesktopLive::SetFullScreen(bool on, std::string* why) {
  if (!full_screen_) {
    *why = "there is no window to show full screen";
    return false;
  }
  QTimer::singleShot(0, this, [this, on] { full_screen_(on); });
  return true;
}

bool DesktopLive::Snapshot(std::string* why) {
  *why = "the desktop saves its picture with File > Save Bitmap";
  return false;
}

void DesktopLive::Status(const std::string& line) {
  // A flood of bad messages is counted, not printed line by line.
  if (!status_window_.isValid() || status_window_.elapsed() >= 1000) {
    if (status_muted_ > 0) std::fprintf(stderr, "vantaloop: OSC: (%d more messages not shown)\n", status_muted_);
    status_window_.start();
    status_lines_ = 0;
    status_muted_ = 0;
  }
  if (status_lines_++ >= 20) {
    ++status_muted_;
    return;
  }
  std::fprintf(stderr, "vantaloop: OSC: %s\n", line.c_str());
  view_.Say(QString::fromStdString("OSC: " + line));
}

}  // namespace vl::desktop
