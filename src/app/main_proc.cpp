// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: the program's entry procedure.
#include "app/module1.h"

namespace Module1 {
namespace {

void EnsureTrailingSlash(std::string& folder) {
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
}

}  // namespace

bool Main() {
  // 1. One copy per user: a second one ends silently.
  if (App_PrevInstance()) return false;

  // 2. The application folder.
  AppDir = App_Path();
  EnsureTrailingSlash(AppDir);

  // 3. The working folder, up to the first NUL of a 260-character buffer.
  char buffer[260] = {};
  GetWindowsDirectoryA(buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  WinDir = buffer;
  EnsureTrailingSlash(WinDir);

  // 4.-6. First chord preset and first tone.
  PresetNo = 0;
  Set_StrNote();
  ToneNo = 116;

  // 7. First note-name redraw; this creates the main window, hidden.
  Show_NoteNames();

  // 8. Recorder flags.
  Recording = 0;
  HasTake = 0;

  // 9. The MIDI output.
  if (midiOutOpen(&hMidiOut, MIDI_MAPPER, 0, 0, 0) != MMSYSERR_NOERROR) {
    Beep();
    MsgBox("MIDIデバイスをオープン出来ません。MIDI音源が使えるか、他のアプリケーションがMIDI音源を使っていないか調べてください。",
           vbOKOnly, App_Title());
    StartFailed = true;
    return false;
  }

  // 10. First program change.
  MidiMsg = ProgramChange(ToneNo);
  midiOutShortMsg(hMidiOut, static_cast<uint32_t>(MidiMsg));

  // 11.-12. Splash while the start sound plays, then the main window.
  Show_Splash();
  Open_MainForm();
  return true;
}

}  // namespace Module1
