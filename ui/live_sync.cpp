#include "ui/live_sync.h"

#include <QMetaObject>
#include <QSettings>

namespace vl::ui {

namespace {
// How often the MIDI inputs and Link's peers are looked at: a device plugged in is in use within
// this time.
constexpr int kPollMs = 1000;
}  // namespace

LiveSync::LiveSync(QSettings& store, std::unique_ptr<midi::MidiInputs> inputs, QObject* parent)
    : QObject(parent), store_(store), inputs_(inputs ? std::move(inputs) : midi::MakeSystemInputs()) {
  remote_ = std::make_unique<midi::MidiRemote>(*inputs_);
  // MIDI's thread only asks the GUI thread to drain.
  remote_->set_wake([this] { QMetaObject::invokeMethod(this, &LiveSync::Drain, Qt::QueuedConnection); });
  Load();
  connect(&poll_, &QTimer::timeout, this, &LiveSync::Poll);
  poll_.start(kPollMs);
}

LiveSync::~LiveSync() {
  // The input is closed first, which ends the MIDI thread: no wake can then be on its way to
  // this object; drains already queued go with it.
  remote_.reset();
}

void LiveSync::Load() {
  problems_ = ReadMidiMappings(store_, *remote_);
  midi_clock_tempo_ = store_.value(kMidiClockKey, false).toBool();
  const std::string device = store_.value(kMidiInputKey).toString().toStdString();
  if (!device.empty() && inputs_->Problem().empty()) {
    remote_->SetDevice(device);
    devices_ = remote_->Devices();
  }
  if (store_.value(kLinkJoinedKey, false).toBool()) JoinLink(true);
}

void LiveSync::SaveMappings() { WriteMidiMappings(store_, *remote_); }

void LiveSync::SetMidiDevice(const std::string& device) {
  remote_->SetDevice(device);
  store_.setValue(kMidiInputKey, QString::fromStdString(device));
  if (!device.empty() && !remote_->connected() && inputs_->Problem().empty())
    Say(QString::fromStdString("MIDI input " + device + " is not connected; it is used when it is"));
}

void LiveSync::SetMappings(const std::string& device, std::vector<midi::MidiMapping> mappings) {
  remote_->SetMappings(device, std::move(mappings));
  SaveMappings();
  emit MappingsChanged();
}

void LiveSync::SetMidiClockTempo(bool on) {
  midi_clock_tempo_ = on;
  store_.setValue(kMidiClockKey, on);
}

void LiveSync::JoinLink(bool on) {
  if (on && !link_) link_ = std::make_unique<link::LinkSession>();
  if (link_) link_->Join(on);
  store_.setValue(kLinkJoinedKey, on);
  Poll();
}

void LiveSync::Poll() {
  if (inputs_->Problem().empty()) {
    const std::string said = remote_->Poll();
    if (!said.empty()) Say(QString::fromStdString(said));
    std::vector<std::string> devices = remote_->Devices();
    if (devices != devices_) {
      devices_ = std::move(devices);
      emit DevicesChanged();
    }
  }
  const int peers = static_cast<int>(LinkPeers());
  if (peers != peers_) {
    peers_ = peers;
    emit LinkPeersChanged(peers);
  }
}

void LiveSync::Drain() {
  midi::MidiRemote::Drained drained = remote_->Drain();
  if (drained.learned) {
    emit Learned(QString::fromStdString(midi::DescribeControl(drained.learned->control, drained.learned->fine)),
                 QString::fromStdString(midi::DescribeTarget(drained.learned->target)));
  }
  if (drained.mappings_changed) {
    SaveMappings();
    emit MappingsChanged();
  }
  if (drained.clock_started && midi_clock_tempo_) emit ClockStarted();
  if (sink_)
    for (const live::LiveMessage& m : drained.messages) sink_(m);
}

std::optional<LiveSync::Beat> LiveSync::BeatNow(int beats_per_loop) const {
  const double now_seconds = midi::SteadySeconds();
  if (link_ && link_->joined()) return Beat{link_->Tempo(), link_->LoopPhase(beats_per_loop), "Link"};
  if (midi_clock_tempo_ && remote_->connected()) {
    const midi::MidiClock& clock = remote_->clock();
    const double bpm = clock.Tempo(now_seconds);
    if (bpm <= 0) return std::nullopt;
    Beat beat{bpm, std::nullopt, "MIDI clock"};
    if (clock.Running()) beat.loop_phase = clock.LoopPhase(beats_per_loop, now_seconds);
    return beat;
  }
  return std::nullopt;
}

}  // namespace vl::ui
