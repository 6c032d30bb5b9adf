// SPDX-License-Identifier: GPL-3.0-or-later
// Turning the toolkit's key events into the window's virtual-key codes.
//
// The key handlers of the main window work on Windows virtual-key codes
// (VK_*).  Everything that depends on how Qt and the window system report a
// key lives here, so that the handlers see one code per physical key press:
//
// - Keypad keys (Qt::KeypadModifier) have codes of their own: digits 96-105,
//   * 106, + 107, - 109, / 111, Enter 13.  With NumLock off the keypad sends
//   the arrow and editing keys (Up 38, Down 40, Left 37, Right 39, Home 36,
//   End 35, PageUp 33, PageDown 34, Insert 45, Delete 46, and keypad 5 as
//   Clear 12), exactly as the same keys of the editing block do.  Shift with a
//   keypad digit is reported by the window system as the NumLock-off key, as
//   on Windows.
// - The keypad's decimal key (the key left of keypad Enter, X keycode 91) is
//   VK_DECIMAL 110 whatever it prints, '.' or ','.  A keypad key that the
//   window system reports as a comma or separator (KP_Separator, the extra
//   keypad comma of Brazilian and Japanese keyboards) is VK_SEPARATOR 108.
//   Without a scan code (synthetic events) keypad ',' is 108 and keypad '.' is
//   110.
// - The digit row goes by physical key: X keycodes 10-18 are '1'-'9' and 19 is
//   '0' (evdev), so layouts that need Shift for digits (AZERTY sends
//   & é " ' ( - è _ ç à) give 48-57 like any other.  Without a scan code the
//   Qt key decides, and with Shift held the shifted US symbols ! @ # $ % ^ & *
//   ( ) count as their digits.
// - Letters are their capital's code 65-90.  Layouts without Latin letters
//   use the US letter of the key's position.
// - F1-F24 112-135; Shift 16, Ctrl 17, Alt 18; Shift, Ctrl and Alt never
//   change the code of another key.
// - Keys without a virtual-key code get 0, which no row of the key map uses.
//
// The window system repeats a held key.  Each repeat is another key-down; the
// release that X11 sends before each repeat (marked as autorepeat) is
// dropped, so a key-up comes once, when the key is let go.  The program asks
// the X server not to send those releases at all (x11_keyboard.h), since Qt
// can mark them only when the repeat's press is already queued; the repeats
// are then presses alone, not marked, and are key-downs all the same.  A release belongs
// to the physical key that was pressed: the code given at the press is
// remembered by scan code and used again for the repeats and the release,
// even when the key's symbol changed meanwhile (NumLock toggled while the key
// was held).  Events without a scan code are translated afresh each time.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

class QKeyEvent;

class KeyInput {
public:
  // Virtual-key code of a key event, 0 when the key has none.
  static int VirtualKey(const QKeyEvent& e);

  // The modifier mask handed to the handlers: 1 Shift, 2 Ctrl, 4 Alt.
  static int ShiftMask(const QKeyEvent& e);

  enum class Action { None, KeyDown, KeyUp };
  struct Step {
    Action action = Action::None;
    int keyCode = 0;
    int shift = 0;
  };

  // What the window does with a key press or release.  Remembers pressed keys
  // by scan code until their release.  Other event types give Action::None.
  Step translate(const QKeyEvent& e);

  // Number of physical keys pressed and not yet released (by scan code).
  int heldKeys() const { return static_cast<int>(held_.size()); }
  // Forgets every remembered key.
  void clear() { held_.clear(); }

private:
  std::vector<std::pair<uint32_t, int>> held_;   // scan code, code given at the press
};
