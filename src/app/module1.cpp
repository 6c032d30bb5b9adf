// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/module1.h"

namespace Module1 {

void ResetState() {
  AppDir.clear();
  WinDir.clear();
  hMidiOut = 0;
  StartFailed = false;
  MidiMsg = 0;
  NoteNo = 0;
  ToneNo = 0;
  HeldFret = 0;
  FretKey.fill(0);
  LoopOn = 0;
  for (auto& row : StrNote)
    for (auto& n : row) n = 0;
  PresetNo = 0;
  Recording = 0;
  HasTake = 0;
  SaveName.clear();
}

}  // namespace Module1
