// SPDX-License-Identifier: GPL-3.0-or-later
// Striking the note boxes with the mouse.
#include "app/module1.h"
#include "ui/form1.h"

using namespace Module1;

void Form1::Picture2_MouseDown(Integer Index, Integer, Integer, float, float) {
  if (Index < 0 || Index >= static_cast<Integer>(Picture2.size())) return;
  Picture2[Index]->setBorderStyle(1);
  if (Index <= 10) {
    NoteNo = StrikeNote(Index);
    Note_On();
  }
}

void Form1::Picture2_MouseUp(Integer Index, Integer, Integer, float, float) {
  if (Index < 0 || Index >= static_cast<Integer>(Picture2.size())) return;
  Picture2[Index]->setBorderStyle(0);
}
