// Turning the toolkit's key events into the window's virtual-key codes.
#pragma once

#include <cstdint>

class QKeyEvent;

class KeyInput {
public:
  // Virtual-key code of a key event, 0 when the key has none.
  static int VirtualKey(const QKeyEvent& e);
};
