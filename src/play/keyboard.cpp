// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard map: keypad and digit row strike the note boxes, F1-F12 are the
// frets, the arrows choose tone, preset and background loop, and Z X C V work
// the recorder's buttons.  The codes are Windows virtual-key codes; key_input
// turns Qt's key events into them.
#include <QKeyEvent>

#include "app/module1.h"
#include "play/vkeys.h"
#include "ui/form1.h"

using namespace Module1;

namespace {

using namespace vk;

// Note box struck by a key, -1 for a key that strikes nothing.  Keys 1-9 of the
// keypad or the digit row are boxes 0-8; 0 strikes nothing.
int StruckBox(int code) {
  if (code >= VK_NUMPAD0 + 1 && code <= VK_NUMPAD0 + 9) return code - VK_NUMPAD0 - 1;
  if (code >= '1' && code <= '9') return code - '1';
  if (code == VK_ADD) return 9;
  if (code == VK_RETURN || code == VK_SEPARATOR) return 10;
  return -1;
}

// Fret 1-12 of a key, 0 for a key that is no fret.
int Fret(int code) { return code >= VK_F1 && code <= VK_F12 ? code - VK_F1 + 1 : 0; }

// Recorder button (0 Rec, 1 Stop, 2 Play, 3 Save) of a key, -1 for none.
int RecorderButton(int code) {
  switch (code) {
    case VK_Z: return 0;
    case VK_X: return 1;
    case VK_C: return 2;
    case VK_V: return 3;
    default: return -1;
  }
}

void ToggleLoop() {
  if (LoopOn == 0) {
    LoopOn = 1;
    sndPlaySoundA((AppDir + "3crap2.wav").c_str(), SND_ASYNC | SND_LOOP);
  } else {
    // Also when the recorder or shutdown silenced the loop already: this press
    // only switches it off, and the next one starts it again.
    LoopOn = 0;
    sndPlaySoundA(nullptr, SND_NODEFAULT);
  }
}

}  // namespace

void Form1::keyEvent(QKeyEvent* e) {
  const KeyInput::Step step = keyInput.translate(*e);
  Integer code = static_cast<Integer>(step.keyCode);
  Integer shift = static_cast<Integer>(step.shift);
  if (step.action == KeyInput::Action::KeyDown) Form_KeyDown(code, shift);
  else if (step.action == KeyInput::Action::KeyUp) Form_KeyUp(code, shift);
  e->accept();
}

void Form1::Form_KeyDown(Integer& KeyCode, Integer& /*Shift*/) {
  Pic_KeyInd[0]->setPicture(Pic_KeyInd[2]->picture());

  const int code = KeyCode;
  if (const int box = StruckBox(code); box >= 0) {
    // The note goes out before anything else is redrawn.
    Picture2[box]->setBorderStyle(1);
    NoteNo = StrikeNote(box);
    Note_On();
  } else if (const int fret = Fret(code)) {
    FretKey[fret] = 1;
    Set_HeldFret();
  } else if (const int button = RecorderButton(code); button >= 0) {
    Pic_RecBots[button]->setBorderStyle(1);
  } else {
    switch (code) {
      case VK_DOWN:
        ToneNo = NextToneForward(ToneNo);
        Show_ToneInd();
        Set_Tone();
        break;
      case VK_UP:
        ToneNo = NextToneBackward(ToneNo);
        Show_ToneInd();
        Set_Tone();
        break;
      case VK_RIGHT:
        PresetNo = PresetNo == 1 ? 0 : 1;
        Show_Preset();
        Set_StrNote();
        Show_NoteNames();
        break;
      case VK_LEFT:
        ToggleLoop();
        break;
      default:
        break;
    }
  }

  Show_NoteNames();
  Pic_KeyInd[0]->setPicture(Pic_KeyInd[1]->picture());
}

void Form1::Form_KeyUp(Integer& KeyCode, Integer& /*Shift*/) {
  const int code = KeyCode;
  if (const int box = StruckBox(code); box >= 0) {
    Picture2[box]->setBorderStyle(0);
  } else if (const int fret = Fret(code)) {
    FretKey[fret] = 0;
    Set_HeldFret();
  } else if (const int button = RecorderButton(code); button >= 0) {
    Pic_RecBots[button]->setBorderStyle(0);
    switch (button) {
      case 0: Bot_Rec(); break;
      case 1: Bot_Stop(); break;
      case 2: Bot_Play(); break;
      default: Bot_Save(); break;
    }
  }
  Show_NoteNames();
}
