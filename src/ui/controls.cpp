// SPDX-License-Identifier: GPL-3.0-or-later
// The preset buttons and the tone indicator as mouse controls.
#include "app/module1.h"
#include "ui/form1.h"

using namespace Module1;

void Form1::Pic_Preset_Click(Integer Index) {
  PresetNo = Index;
  Show_Preset();
  Set_StrNote();
  Show_NoteNames();
}

void Form1::Pic_TnInd_MouseUp(Integer Button, Integer /*Shift*/, float /*X*/, float /*Y*/) {
  ToneNo = Button == 1 ? NextToneForward(ToneNo) : NextToneBackward(ToneNo);
  Show_ToneInd();
  Set_Tone();
}
