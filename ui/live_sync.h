// The desktop's MIDI remote and Link session: which MIDI input is followed and its mappings (kept
// in the profile store by device name), the MIDI clock and Link as tempo sources, and where their
// player messages go. Lives on the GUI thread; MIDI arrives on the MIDI system's thread and is
// handed over through the event loop.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QTimer>

#include "platform/link/link_session.h"
#include "platform/live/live_message.h"
#include "platform/midi/midi_remote.h"
#include "ui/midi_profile.h"

class QSettings;

namespace vl::ui {

class LiveSync : public QObject {
  Q_OBJECT
 public:
  // `inputs` null: the machine's MIDI system. Reads the choices from `store` and acts on them
  // (opens the input when connected, joins Link); `Problems()` says what could not be read.
  explicit LiveSync(QSettings& store, std::unique_ptr<midi::MidiInputs> inputs = nullptr, QObject* parent = nullptr);
  ~LiveSync() override;

  // Empty when the machine has a MIDI system, else why not (the menu shows it).
  std::string MidiProblem() const { return inputs_->Problem(); }
  midi::MidiRemote& remote() { return *remote_; }
  // Follows the device (a DeviceName; empty for none) and keeps the choice.
  void SetMidiDevice(const std::string& device);
  void SetMappings(const std::string& device, std::vector<midi::MidiMapping> mappings);
  bool midi_clock_tempo() const { return midi_clock_tempo_; }
  void SetMidiClockTempo(bool on);

  void JoinLink(bool on);
  bool link_joined() const { return link_ && link_->joined(); }
  size_t LinkPeers() const { return link_ ? link_->Peers() : 0; }
  link::LinkSession* link_session() { return link_.get(); }

  // Every player message MIDI gives goes here (the live dispatcher).
  void set_message_sink(std::function<void(const live::LiveMessage&)> sink) { sink_ = std::move(sink); }
  // Messages the user should see in the status bar.
  void set_say(std::function<void(const QString&)> say) { say_ = std::move(say); }

  // What the tempo sources say now: a tempo, and where a loop of `beats_per_loop` beats is
  // (0..1) when the source has a beat timeline, at the moment of the call. Link first, then the
  // MIDI clock.
  struct Beat {
    double bpm = 0.0;
    std::optional<double> loop_phase;
    const char* source = "";
  };
  std::optional<Beat> BeatNow(int beats_per_loop) const;

  // Takes what MIDI sent since the last call (also done by itself as messages come).
  void Drain();
  const QStringList& problems() const { return problems_; }

 signals:
  void Learned(const QString& control, const QString& target);
  void MappingsChanged();
  void DevicesChanged();
  void LinkPeersChanged(int peers);
  void ClockStarted();

 private:
  void Load();
  void SaveMappings();
  void Poll();
  void Say(const QString& text) {
    if (say_) say_(text);
  }

  QSettings& store_;
  std::unique_ptr<midi::MidiInputs> inputs_;
  std::unique_ptr<midi::MidiRemote> remote_;
  std::unique_ptr<link::LinkSession> link_;
  bool midi_clock_tempo_ = false;
  std::function<void(const live::LiveMessage&)> sink_;
  std::function<void(const QString&)> say_;
  QTimer poll_;
  std::vector<std::string> devices_;
  int peers_ = 0;
  QStringList problems_;
};

}  // namespace vl::ui
