// SPDX-License-Identifier: GPL-3.0-or-later
// The program's shared state and its module procedures.  Everything here is
// used from the one UI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/winapi.h"

using Integer = int16_t;
using Long = int32_t;

namespace Module1 {

// ---- shared state (start values are set by Main) ----
inline std::string AppDir;      // the program's data folder, ending in '/'
inline std::string WinDir;      // the private working folder, ending in '/'
inline HMIDIOUT hMidiOut = 0;   // the open MIDI output
inline Long MidiMsg = 0;        // the packed short message most recently sent
inline Long NoteNo = 0;         // note of the next note-on, before the tone's octave shift
inline Integer ToneNo = 0;      // current tone: program 116, 24 or 32
inline Integer HeldFret = 0;    // highest fret key held (1..12), 0 when none
inline std::array<Integer, 13> FretKey{};   // 1 while fret key n is held; [0] unused
inline Integer LoopOn = 0;      // 1 after the Left arrow switched the loop on
inline Integer StrNote[3][4]{}; // base notes, [chord row][string]
inline Integer PresetNo = 0;    // current chord preset, 0 or 1
inline Integer Recording = 0;   // 1 while a take is open
inline Integer HasTake = 0;     // 1 once a take is stored
inline std::string SaveName;    // path chosen in the last Save dialog

// Puts every variable back to its value before Main runs.
void ResetState();

// ---- start-up ----
// Returns true when the program goes on to its event loop, false when it ends
// (second copy, or no MIDI output).
bool Main();
// Main ended the program because it could not start (no MIDI output): the
// process then exits with a failure status, unlike a second copy.
inline bool StartFailed = false;

// ---- MIDI output ----
void Note_On();
void Set_Tone();
constexpr Long ProgramChange(Integer tone) { return tone * 256 + 192; }
constexpr Integer OctaveShift(Integer tone) { return tone == 116 ? 0 : 12; }

// ---- chord table and frets ----
void Set_StrNote();
void Set_HeldFret();

struct Cell { int row; int string; };
// The note box (Picture2 index 0..10) bound to each cell; nullptr-like
// {-1,-1} for an index without a cell.
constexpr Cell BoxCell(int box) {
  constexpr Cell table[11] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2},
                              {2, 0}, {2, 1}, {2, 2}, {2, 3}, {1, 3}};
  return (box >= 0 && box <= 10) ? table[box] : Cell{-1, -1};
}
// NoteNo for a strike of note box `box` with the frets held now.
Long StrikeNote(int box);

// ---- displays (src/ui) ----
void Show_NoteNames();
void Show_Preset();
void Show_ToneInd();
void Show_Splash();
void Open_MainForm();

// Tone ring, shared by the arrow keys and the tone indicator.
constexpr Integer NextToneForward(Integer tone) {
  return tone == 116 ? 24 : tone == 24 ? 32 : 116;
}
constexpr Integer NextToneBackward(Integer tone) {
  return tone == 32 ? 24 : tone == 24 ? 116 : 32;
}

// Sets a control's width, height, left and top, in that order.  Any control
// with those four setters will do.
template <class Control>
void Set_CtlRect(Control& ctl, Integer& Width, Integer& Height, Integer& Left, Integer& Top) {
  ctl.setWidth(Width);
  ctl.setHeight(Height);
  ctl.setLeft(Left);
  ctl.setTop(Top);
}

}  // namespace Module1
