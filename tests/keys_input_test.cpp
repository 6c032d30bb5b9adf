// SPDX-License-Identifier: GPL-3.0-or-later
// From Qt key events to the virtual-key codes of the key handlers.
#include <QKeyEvent>
#include <gtest/gtest.h>

#include "play/key_input.h"

namespace {

QKeyEvent Press(int key, Qt::KeyboardModifiers mods = {}, quint32 scan = 0, bool rep = false,
                const QString& text = {}) {
  return QKeyEvent(QEvent::KeyPress, key, mods, scan, 0, 0, text, rep);
}
QKeyEvent Release(int key, Qt::KeyboardModifiers mods = {}, quint32 scan = 0, bool rep = false) {
  return QKeyEvent(QEvent::KeyRelease, key, mods, scan, 0, 0, QString(), rep);
}

struct Case {
  const char* what;
  int key;
  Qt::KeyboardModifiers mods;
  quint32 scan;
  int vk;
};

void ExpectCodes(const std::vector<Case>& cases) {
  for (const Case& c : cases)
    EXPECT_EQ(KeyInput::VirtualKey(Press(c.key, c.mods, c.scan)), c.vk) << c.what;
}

constexpr auto KP = Qt::KeypadModifier;
constexpr auto SHIFT = Qt::ShiftModifier;

}  // namespace

TEST(KeyCodes, KeypadAndDigitRowAreToldApart) {
  ExpectCodes({
      {"keypad 0", Qt::Key_0, KP, 90, 96},
      {"keypad 5", Qt::Key_5, KP, 84, 101},
      {"keypad 9", Qt::Key_9, KP, 81, 105},
      {"keypad + ", Qt::Key_Plus, KP, 86, 107},
      {"keypad *", Qt::Key_Asterisk, KP, 63, 106},
      {"keypad -", Qt::Key_Minus, KP, 82, 109},
      {"keypad /", Qt::Key_Slash, KP, 106, 111},
      {"keypad Enter", Qt::Key_Enter, KP, 104, 13},
      {"Return", Qt::Key_Return, {}, 36, 13},
      {"digit 1", Qt::Key_1, {}, 10, 49},
      {"digit 0", Qt::Key_0, {}, 19, 48},
      {"digit without scan code", Qt::Key_7, {}, 0, 55},
      {"main-block +", Qt::Key_Plus, SHIFT, 21, 187},
  });
}

TEST(KeyCodes, DigitRowGoesByPhysicalKey) {
  ExpectCodes({
      {"AZERTY &", Qt::Key_Ampersand, {}, 10, 49},
      {"AZERTY e acute", Qt::Key_Eacute, {}, 11, 50},
      {"AZERTY (", Qt::Key_ParenLeft, {}, 14, 53},
      {"AZERTY _", Qt::Key_Underscore, {}, 17, 56},
      {"AZERTY a grave", Qt::Key_Agrave, {}, 19, 48},
      {"AZERTY Shift+& gives 1", Qt::Key_1, SHIFT, 10, 49},
      {"US Shift+1", Qt::Key_Exclam, SHIFT, 10, 49},
      {"US Shift+9, no scan code", Qt::Key_ParenLeft, SHIFT, 0, 57},
      {"US Shift+0, no scan code", Qt::Key_ParenRight, SHIFT, 0, 48},
      // The same symbols unshifted are keys of other layouts, not digits.
      {"& unshifted, no scan code", Qt::Key_Ampersand, {}, 0, 0},
      {"AZERTY ! (own key)", Qt::Key_Exclam, {}, 61, 0},
      {"AZERTY ) (own key)", Qt::Key_ParenRight, {}, 20, 0},
  });
}

TEST(KeyCodes, KeypadWithNumLockOffSendsTheEditingKeys) {
  ExpectCodes({
      {"keypad 8", Qt::Key_Up, KP, 80, 38},
      {"keypad 2", Qt::Key_Down, KP, 88, 40},
      {"keypad 4", Qt::Key_Left, KP, 83, 37},
      {"keypad 6", Qt::Key_Right, KP, 85, 39},
      {"keypad 7", Qt::Key_Home, KP, 79, 36},
      {"keypad 1", Qt::Key_End, KP, 87, 35},
      {"keypad 9", Qt::Key_PageUp, KP, 81, 33},
      {"keypad 3", Qt::Key_PageDown, KP, 89, 34},
      {"keypad 0", Qt::Key_Insert, KP, 90, 45},
      {"keypad 5", Qt::Key_Clear, KP, 84, 12},
      {"keypad decimal", Qt::Key_Delete, KP, 91, 46},
  });
}

TEST(KeyCodes, KeypadDecimalAndSeparator) {
  ExpectCodes({
      {"decimal key printing .", Qt::Key_Period, KP, 91, 110},
      {"decimal key printing , (German)", Qt::Key_Comma, KP, 91, 110},
      {"keypad comma key (ABNT2, JIS)", Qt::Key_Comma, KP, 129, 108},
      {"synthetic keypad ,", Qt::Key_Comma, KP, 0, 108},
      {"synthetic keypad .", Qt::Key_Period, KP, 0, 110},
      {"main-block ,", Qt::Key_Comma, {}, 59, 188},
  });
}

TEST(KeyCodes, LettersFunctionKeysAndModifiers) {
  ExpectCodes({
      {"Z", Qt::Key_Z, {}, 52, 90},
      {"Ctrl+Alt+V", Qt::Key_V, Qt::ControlModifier | Qt::AltModifier, 55, 86},
      {"AZERTY A at the Q place", Qt::Key_A, {}, 24, 65},
      {"Cyrillic at the Z place", 0x042F, {}, 52, 90},
      {"Cyrillic at the C place", 0x0421, {}, 54, 67},
      {"German o umlaut is no letter key", Qt::Key_Odiaeresis, {}, 47, 0},
      {"F1", Qt::Key_F1, {}, 67, 112},
      {"Shift+F12", Qt::Key_F12, SHIFT, 96, 123},
      {"Shift", Qt::Key_Shift, SHIFT, 50, 16},
      {"Ctrl", Qt::Key_Control, Qt::ControlModifier, 37, 17},
      {"Alt", Qt::Key_Alt, Qt::AltModifier, 64, 18},
      {"Up", Qt::Key_Up, {}, 111, 38},
      {"Left", Qt::Key_Left, {}, 113, 37},
      {"unknown", Qt::Key_unknown, {}, 0, 0},
  });
  EXPECT_EQ(KeyInput::VirtualKey(Press(Qt::Key_unknown, {}, 0, false, QStringLiteral("x"))), 88);
  EXPECT_EQ(KeyInput::ShiftMask(Press(Qt::Key_1, SHIFT | Qt::AltModifier | KP)), 1 | 4);
}

TEST(KeySteps, HeldKeyRepeatsDownsAndIsReleasedOnce) {
  KeyInput input;
  for (quint32 scan : {0u, 84u}) {
    auto down = input.translate(Press(Qt::Key_5, KP, scan));
    EXPECT_EQ(down.action, KeyInput::Action::KeyDown);
    EXPECT_EQ(down.keyCode, 101);
    // X11's repeat: a release and a press, both marked as repeats.
    EXPECT_EQ(input.translate(Release(Qt::Key_5, KP, scan, true)).action, KeyInput::Action::None);
    auto again = input.translate(Press(Qt::Key_5, KP, scan, true));
    EXPECT_EQ(again.action, KeyInput::Action::KeyDown);
    EXPECT_EQ(again.keyCode, 101);
    auto up = input.translate(Release(Qt::Key_5, KP, scan));
    EXPECT_EQ(up.action, KeyInput::Action::KeyUp);
    EXPECT_EQ(up.keyCode, 101);
    EXPECT_EQ(input.heldKeys(), 0);
  }
  // With XKB's detectable autorepeat the repeats are presses alone, not
  // marked as repeats: each is a key-down of the same code, and the one
  // release a key-up.
  EXPECT_EQ(input.translate(Press(Qt::Key_Z, {}, 52)).keyCode, 90);
  for (int i = 0; i < 3; ++i) {
    auto again = input.translate(Press(Qt::Key_Z, {}, 52));
    EXPECT_EQ(again.action, KeyInput::Action::KeyDown);
    EXPECT_EQ(again.keyCode, 90);
  }
  EXPECT_EQ(input.heldKeys(), 1);
  auto up = input.translate(Release(Qt::Key_Z, {}, 52));
  EXPECT_EQ(up.action, KeyInput::Action::KeyUp);
  EXPECT_EQ(up.keyCode, 90);
  EXPECT_EQ(input.heldKeys(), 0);
  QKeyEvent other(QEvent::ShortcutOverride, Qt::Key_5, {});
  EXPECT_EQ(input.translate(other).action, KeyInput::Action::None);
}

TEST(KeySteps, ReleaseTakesTheCodeOfItsPress) {
  KeyInput input;
  // Keypad 8 and the digit 2 held together; NumLock goes off meanwhile and
  // Shift comes down, so the releases arrive under other symbols.
  EXPECT_EQ(input.translate(Press(Qt::Key_8, KP, 80)).keyCode, 104);
  EXPECT_EQ(input.translate(Press(Qt::Key_Eacute, {}, 11)).keyCode, 50);
  EXPECT_EQ(input.heldKeys(), 2);
  EXPECT_EQ(input.translate(Release(Qt::Key_Up, KP, 80)).keyCode, 104);
  EXPECT_EQ(input.translate(Release(Qt::Key_2, SHIFT, 11)).keyCode, 50);
  EXPECT_EQ(input.heldKeys(), 0);

  // A release lost while the window did not have the keyboard: the next
  // press of the same key is fresh and its release matches it.
  input.translate(Press(Qt::Key_8, KP, 80));
  EXPECT_EQ(input.translate(Press(Qt::Key_Up, KP, 80)).keyCode, 38);
  EXPECT_EQ(input.heldKeys(), 1);
  EXPECT_EQ(input.translate(Release(Qt::Key_8, KP, 80)).keyCode, 38);

  // Without scan codes each event speaks for itself.
  input.translate(Press(Qt::Key_8, KP));
  EXPECT_EQ(input.translate(Release(Qt::Key_Up, KP)).keyCode, 38);
  EXPECT_EQ(input.heldKeys(), 0);
  // A release whose press never came is translated as it is.
  EXPECT_EQ(input.translate(Release(Qt::Key_F3, {}, 69)).keyCode, 114);
}
