// MIDI mappings in the profile store, by device name: read by the desktop and by the headless
// player. Qt Core only, header only, so the command-line tool needs no widgets for it.
#pragma once
#include <algorithm>
#include <optional>

#include <QSettings>
#include <QStringList>

#include "platform/midi/midi_remote.h"

namespace vl::ui {

inline constexpr const char* kMidiInputKey = "MIDI/Input";
inline constexpr const char* kMidiClockKey = "MIDI/Clock Tempo";
inline constexpr const char* kMidiMappingsKey = "MIDI Mappings";  // an array of Device, Mappings
inline constexpr const char* kLinkJoinedKey = "Link/Joined";

// A profile with more than these is not one we wrote: the rest is left out.
inline constexpr int kMaxMidiDevices = 64;
inline constexpr int kMaxMappingsPerDevice = 512;

// Puts every device's mappings from the store into `remote`; returns what could not be read.
inline QStringList ReadMidiMappings(QSettings& store, midi::MidiRemote& remote) {
  QStringList problems;
  const int devices = store.beginReadArray(kMidiMappingsKey);
  int dropped = 0;
  for (int i = 0; i < std::min(devices, kMaxMidiDevices); ++i) {
    store.setArrayIndex(i);
    const std::string device = store.value("Device").toString().toStdString();
    const QStringList lines = store.value("Mappings").toStringList();
    std::vector<midi::MidiMapping> mappings;
    for (const QString& line : lines) {
      std::optional<midi::MidiMapping> m;
      if (static_cast<int>(mappings.size()) < kMaxMappingsPerDevice) m = midi::ParseMapping(line.toStdString());
      if (m) {
        mappings.push_back(*m);
      } else {
        ++dropped;
      }
    }
    if (!device.empty() && !mappings.empty()) remote.SetMappings(device, std::move(mappings));
  }
  store.endArray();
  if (devices > kMaxMidiDevices)
    problems << QString("The settings hold MIDI mappings for %1 devices; only the first %2 are used.")
                    .arg(devices)
                    .arg(kMaxMidiDevices);
  if (dropped > 0)
    problems << QString("%1 MIDI mapping(s) in the settings could not be read and were left out.").arg(dropped);
  return problems;
}

inline void WriteMidiMappings(QSettings& store, const midi::MidiRemote& remote) {
  store.remove(kMidiMappingsKey);
  store.beginWriteArray(kMidiMappingsKey);
  int i = 0;
  for (const auto& [device, mappings] : remote.all_mappings()) {
    store.setArrayIndex(i++);
    store.setValue("Device", QString::fromStdString(device));
    QStringList lines;
    for (const midi::MidiMapping& m : mappings) lines << QString::fromStdString(midi::FormatMapping(m));
    store.setValue("Mappings", lines);
  }
  store.endArray();
}

}  // namespace vl::ui
