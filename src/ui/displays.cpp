// SPDX-License-Identifier: GPL-3.0-or-later
// What the note boxes, the preset buttons, the chord labels and the tone
// indicator show.  Each display takes over a frame's picture; nothing is drawn.
#include "app/module1.h"
#include "ui/form1.h"

namespace Module1 {
namespace {

struct ChordLabel { int root; int quality; };
// [preset][label]: label 0 is the top line (chord row 2), 2 the bottom line.
constexpr ChordLabel kChordLabels[2][3] = {
    {{2, 2}, {0, 0}, {8, 1}},    // D 7th, C Maj., G# m
    {{10, 3}, {7, 0}, {4, 3}},   // A# m7, G Maj., E m7
};

// Lit frame of Pic_ToneName for a tone, -1 for a tone outside the ring.
int LitToneFrame(Integer tone) {
  switch (tone) {
    case 116: return 5;
    case 24: return 3;
    case 32: return 1;
    default: return -1;
  }
}

}  // namespace

void Show_NoteNames() {
  Form1& f = form1();
  for (int k = 0; k <= 10; ++k) {
    const Cell c = BoxCell(k);
    const Integer n = static_cast<Integer>(StrNote[c.row][c.string] + HeldFret);
    if (n >= 60 && n <= 85) f.Picture2[k]->setPicture(f.PIC_IndSrc[(n - 60) % 12]->picture());
  }
}

void Show_Preset() {
  Form1& f = form1();
  f.Pic_Preset[0]->setPicture(f.Pic_PreOff[0]->picture());
  f.Pic_Preset[1]->setPicture(f.Pic_PreOff[1]->picture());
  if (PresetNo != 0 && PresetNo != 1) return;
  f.Pic_Preset[PresetNo]->setPicture(f.Pic_PreOn[PresetNo]->picture());
  for (int i = 0; i < 3; ++i)
    f.Pic_CnameH[i]->setPicture(f.Pic_CNameHS[kChordLabels[PresetNo][i].root]->picture());
  for (int i = 0; i < 3; ++i)
    f.Pic_CName[i]->setPicture(f.Pic_CNameLS[kChordLabels[PresetNo][i].quality]->picture());
}

void Show_ToneInd() {
  const int lit = LitToneFrame(ToneNo);
  if (lit < 0) return;
  Form1& f = form1();
  f.Pic_TnInd->setPicture(f.Pic_ToneName[lit]->picture());
  f.Timer1.setEnabled(false);
  f.Timer1.setInterval(1000);
  f.Timer1.setEnabled(true);
}

}  // namespace Module1

void Form1::Timer1_Timer() {
  using Module1::ToneNo;
  const int normal = ToneNo == 116 ? 4 : ToneNo == 24 ? 2 : 0;
  Pic_TnInd->setPicture(Pic_ToneName[normal]->picture());
  Timer1.setEnabled(false);
}
