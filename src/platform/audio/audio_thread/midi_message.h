// SPDX-License-Identifier: GPL-3.0-or-later
// A short MIDI message as midiOutShortMsg packs it: status in bits 0-7,
// first data byte in bits 8-15, second in bits 16-23.  Decoded here only.
// Any thread.
#pragma once

#include <cstdint>

namespace platform {

// Threads: any (a value).
struct MidiMessage {
  enum Kind : uint8_t {
    NoteOff = 0x80,
    NoteOn = 0x90,
    KeyPressure = 0xA0,
    Controller = 0xB0,
    Program = 0xC0,
    ChannelPressure = 0xD0,
    PitchBend = 0xE0,
  };
  uint32_t packed = 0;

  constexpr MidiMessage(uint32_t p) : packed(p) {}
  static constexpr MidiMessage make(Kind kind, int channel, int d1, int d2 = 0) {
    return MidiMessage(uint32_t(kind | (channel & 0x0F)) | uint32_t(d1 & 0x7F) << 8 |
                       uint32_t(d2 & 0x7F) << 16);
  }

  constexpr uint32_t status() const { return packed & 0xFF; }
  constexpr Kind kind() const { return Kind(packed & 0xF0); }
  constexpr int channel() const { return int(packed & 0x0F); }
  constexpr int data1() const { return int((packed >> 8) & 0x7F); }
  constexpr int data2() const { return int((packed >> 16) & 0x7F); }
  // A note-on with velocity 0 is a note-off.
  constexpr bool isNoteOn() const { return kind() == NoteOn && data2() != 0; }
  constexpr bool isNoteOff() const { return kind() == NoteOff || (kind() == NoteOn && data2() == 0); }
  // Pitch bend's two data bytes as one 14-bit value.
  constexpr int bend() const { return data1() | data2() << 7; }

  // True for note-off, note-on, key pressure, controller, program change,
  // channel pressure and pitch bend with data bytes below 0x80; false for
  // system messages, bare data bytes and out-of-range data.  Program change
  // and channel pressure have one data byte: the second is not looked at.
  constexpr bool isChannelVoice() const {
    const uint32_t s = status(), d1 = (packed >> 8) & 0xFF, d2 = (packed >> 16) & 0xFF;
    if (s < 0x80 || s >= 0xF0 || (d1 & 0x80)) return false;
    const uint32_t k = s & 0xF0;
    return k == Program || k == ChannelPressure || (d2 & 0x80) == 0;
  }
};

}  // namespace platform
