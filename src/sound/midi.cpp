// SPDX-License-Identifier: GPL-3.0-or-later
// The two messages the instrument sends, both on MIDI channel 1.
#include "app/module1.h"

namespace Module1 {

void Note_On() {
  const Long note = NoteNo - OctaveShift(ToneNo);
  MidiMsg = (127 << 16) | ((note & 0xFF) << 8) | 0x90;
  midiOutShortMsg(hMidiOut, static_cast<uint32_t>(MidiMsg));
}

void Set_Tone() {
  // No note-off first: ringing notes are left to the device's close.
  midiOutClose(hMidiOut);
  midiOutOpen(&hMidiOut, MIDI_MAPPER, 0, 0, 0);
  MidiMsg = ProgramChange(ToneNo);
  midiOutShortMsg(hMidiOut, static_cast<uint32_t>(MidiMsg));
}

}  // namespace Module1
