// SPDX-License-Identifier: GPL-3.0-or-later
#include "play/key_input.h"

#include "play/vkeys.h"
#include "ui/picture_box.h"

#include <QKeyEvent>
#include <algorithm>

namespace {

using namespace vk;

// X keycode of the keypad's decimal key (evdev KEY_KPDOT + 8).
constexpr uint32_t kKeypadDecimalScan = 91;

// X keycodes (evdev + 8) of the main block: the digit row and the letters by
// their place on a US keyboard.
int DigitRowKey(uint32_t scan) {
  if (scan >= 10 && scan <= 18) return '1' + static_cast<int>(scan - 10);
  if (scan == 19) return '0';
  return 0;
}

int LetterKeyByPlace(uint32_t scan) {
  static constexpr char kTop[] = "QWERTYUIOP";   // 24..33
  static constexpr char kHome[] = "ASDFGHJKL";   // 38..46
  static constexpr char kBottom[] = "ZXCVBNM";   // 52..58
  if (scan >= 24 && scan <= 33) return kTop[scan - 24];
  if (scan >= 38 && scan <= 46) return kHome[scan - 38];
  if (scan >= 52 && scan <= 58) return kBottom[scan - 52];
  return 0;
}

int KeypadKey(int key, uint32_t scan) {
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return VK_NUMPAD0 + (key - Qt::Key_0);
  switch (key) {
    case Qt::Key_Asterisk: return VK_MULTIPLY;
    case Qt::Key_Plus: return VK_ADD;
    case Qt::Key_Minus: return VK_SUBTRACT;
    case Qt::Key_Slash: return VK_DIVIDE;
    case Qt::Key_Period:
    case Qt::Key_Comma:
      if (scan == kKeypadDecimalScan) return VK_DECIMAL;
      if (key == Qt::Key_Comma) return VK_SEPARATOR;
      return VK_DECIMAL;
    default: return 0;   // Enter and the NumLock-off keys: as elsewhere
  }
}

// The digit that a shifted symbol of the US digit row stands for.
int UsShiftedDigit(int key) {
  switch (key) {
    case Qt::Key_Exclam: return '1';
    case Qt::Key_At: return '2';
    case Qt::Key_NumberSign: return '3';
    case Qt::Key_Dollar: return '4';
    case Qt::Key_Percent: return '5';
    case Qt::Key_AsciiCircum: return '6';
    case Qt::Key_Ampersand: return '7';
    case Qt::Key_Asterisk: return '8';
    case Qt::Key_ParenLeft: return '9';
    case Qt::Key_ParenRight: return '0';
    default: return 0;
  }
}

int OrdinaryKey(int key) {
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return key;   // same values as VK '0'..'9'
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return key;   // same values as VK 'A'..'Z'
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return VK_F1 + (key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return VK_TAB;
    case Qt::Key_Clear: return VK_CLEAR;
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    case Qt::Key_Alt:
    case Qt::Key_AltGr: return VK_MENU;
    case Qt::Key_Pause: return VK_PAUSE;
    case Qt::Key_CapsLock: return VK_CAPITAL;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_End: return VK_END;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Select: return VK_SELECT;
    case Qt::Key_Print:
    case Qt::Key_SysReq: return VK_SNAPSHOT;
    case Qt::Key_Insert: return VK_INSERT;
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Help: return VK_HELP;
    case Qt::Key_Meta:
    case Qt::Key_Super_L: return VK_LWIN;
    case Qt::Key_Super_R: return VK_RWIN;
    case Qt::Key_Menu: return VK_APPS;
    case Qt::Key_NumLock: return VK_NUMLOCK;
    case Qt::Key_ScrollLock: return VK_SCROLL;
    case Qt::Key_Semicolon:
    case Qt::Key_Colon: return VK_OEM_1;
    case Qt::Key_Equal:
    case Qt::Key_Plus: return VK_OEM_PLUS;
    case Qt::Key_Comma:
    case Qt::Key_Less: return VK_OEM_COMMA;
    case Qt::Key_Minus:
    case Qt::Key_Underscore: return VK_OEM_MINUS;
    case Qt::Key_Period:
    case Qt::Key_Greater: return VK_OEM_PERIOD;
    case Qt::Key_Slash:
    case Qt::Key_Question: return VK_OEM_2;
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde: return VK_OEM_3;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft: return VK_OEM_4;
    case Qt::Key_Backslash:
    case Qt::Key_Bar: return VK_OEM_5;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight: return VK_OEM_6;
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl: return VK_OEM_7;
    default: return 0;
  }
}

// Last resort for events that carry only text: a plain digit or letter.
int TextKey(const QString& text) {
  if (text.size() != 1) return 0;
  const char16_t c = text.at(0).unicode();
  if (c >= u'0' && c <= u'9') return c;
  if (c >= u'A' && c <= u'Z') return c;
  if (c >= u'a' && c <= u'z') return c - u'a' + 'A';
  return 0;
}

}  // namespace

int KeyInput::VirtualKey(const QKeyEvent& e) {
  const int key = e.key();
  const uint32_t scan = e.nativeScanCode();

  if (e.modifiers() & Qt::KeypadModifier) {
    if (const int vk = KeypadKey(key, scan)) return vk;
  } else if (const int digit = DigitRowKey(scan)) {
    return digit;
  }

  if (const int vk = OrdinaryKey(key)) return vk;
  // Without a scan code a shifted US digit key arrives as its symbol.  The
  // same symbols are unshifted keys on other layouts, so they count as digits
  // only while Shift is down.
  if (scan == 0 && (e.modifiers() & Qt::ShiftModifier)) {
    if (const int digit = UsShiftedDigit(key)) return digit;
  }
  if (!(e.modifiers() & Qt::KeypadModifier)) {
    if (const int letter = LetterKeyByPlace(scan)) return letter;
  }
  if (scan == 0) return TextKey(e.text());
  return 0;
}

int KeyInput::ShiftMask(const QKeyEvent& e) { return VbShift(e.modifiers()); }

KeyInput::Step KeyInput::translate(const QKeyEvent& e) {
  const bool press = e.type() == QEvent::KeyPress;
  if (!press && e.type() != QEvent::KeyRelease) return {};
  // X11 reports a held key as release-press pairs, both marked as repeats:
  // the release is not a real one.
  if (!press && e.isAutoRepeat()) return {};

  const uint32_t scan = e.nativeScanCode();
  auto held = std::find_if(held_.begin(), held_.end(),
                           [scan](const auto& h) { return h.first == scan; });
  Step step;
  step.action = press ? Action::KeyDown : Action::KeyUp;
  step.shift = ShiftMask(e);

  if (scan == 0) {
    step.keyCode = VirtualKey(e);
  } else if (press) {
    if (held != held_.end() && e.isAutoRepeat()) {
      step.keyCode = held->second;
    } else {
      // A fresh press, also of a key whose release was lost while the window
      // did not have the keyboard.
      step.keyCode = VirtualKey(e);
      if (held != held_.end()) held->second = step.keyCode;
      else held_.emplace_back(scan, step.keyCode);
    }
  } else if (held != held_.end()) {
    step.keyCode = held->second;
    held_.erase(held);
  } else {
    step.keyCode = VirtualKey(e);
  }
  return step;
}
