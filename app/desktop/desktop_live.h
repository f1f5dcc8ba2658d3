// The desktop's live control: OSC messages (on the port of the settings) and tap tempo act on the
// playing loop between frames, through the view; the beat clock places the frame each tick. The
// status bar's tempo and beat come from here.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include "platform/live/live_control.h"
#include "platform/live/osc_server.h"

class QSettings;

namespace vl::desktop {

class CZentropeView;

class DesktopLive : public QObject, public live::LivePlayerHost {
  Q_OBJECT
 public:
  DesktopLive(CZentropeView& view, QSettings& settings, QObject* parent = nullptr);
  ~DesktopLive() override;

  // Takes the settings' port, tempo and beats per loop (at start-up and after Apply).
  void ApplySettings();
  // The T key.
  void Tap();
  // A message from another source (MIDI): acted on between frames as an OSC one is; no answer.
  void Dispatch(live::LiveMessage message);
  // The beat clock changed between frames, by an outside tempo source (Link, MIDI clock).
  void ChangeBeat(std::function<void(engine::BeatClock&, double now_seconds)> change);
  // "120 BPM, beat 3 of 8", or empty when there is no tempo.
  QString TempoText();
  int osc_port() const { return osc_ ? osc_->port() : 0; }
  void set_full_screen(std::function<void(bool)> full_screen) { full_screen_ = std::move(full_screen); }
  // Told, on the GUI thread after the frame, of every edit a remote control made to the loop, so
  // the editor's document (what Save writes) holds it too.
  void set_record_edit(std::function<void(const engine::LoopEdit&)> record) { record_edit_ = std::move(record); }

  // LivePlayerHost.
  bool LoadLoop(const std::filesystem::path& file, std::string* why) override;
  std::string ApplyEdit(const engine::LoopEdit& edit) override;
  bool SetFullScreen(bool on, std::string* why) override;
  bool Snapshot(std::string* why) override;
  void Status(const std::string& line) override;

 private:
  void TakeMessages();

  CZentropeView& view_;
  QSettings& settings_;
  std::unique_ptr<live::LiveControl> control_;
  std::unique_ptr<live::OscServer> osc_;
  int port_wanted_ = 0;
  bool view_gone_ = false;
  QTimer poll_;
  std::function<void(bool)> full_screen_;
  std::function<void(const engine::LoopEdit&)> record_edit_;
  QElapsedTimer status_window_;
  int status_lines_ = 0;
  int status_muted_ = 0;
};

}  // namespace vl::desktop
