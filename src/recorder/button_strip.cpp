// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder's button strip: pressed look while a mouse button is held, the
// button's procedure on a click.
#include "ui/form1.h"

void Form1::Pic_RecBots_MouseDown(Integer Index, Integer, Integer, float, float) {
  if (Index >= 0 && Index < 4) Pic_RecBots[Index]->setBorderStyle(1);
}

void Form1::Pic_RecBots_MouseUp(Integer Index, Integer, Integer, float, float) {
  if (Index >= 0 && Index < 4) Pic_RecBots[Index]->setBorderStyle(0);
}

void Form1::Pic_RecBots_Click(Integer Index) {
  switch (Index) {
    case 0: Bot_Rec(); break;
    case 1: Bot_Stop(); break;
    case 2: Bot_Play(); break;
    case 3: Bot_Save(); break;
    default: break;
  }
}
