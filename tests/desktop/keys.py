# SPDX-License-Identifier: GPL-3.0-or-later
"""Keys through XTest (python3-xlib), as real key events of the X server."""
import time

from .children import Failure


class Keyboard:
    def __init__(self, d):
        from Xlib import X, XK
        from Xlib.ext import xtest
        self.d, self.X, self.XK, self.xtest = d, X, XK, xtest
        if not d.has_extension("XTEST"):
            raise Failure("the X server has no XTEST extension")
        self._codes = {}

    def keycode(self, keysym_name):
        kc = self._codes.get(keysym_name)
        if kc is None:
            kc = self.d.keysym_to_keycode(self.XK.string_to_keysym(keysym_name))
            if not kc:
                raise Failure("no key for %s on the virtual keyboard" % keysym_name)
            self._codes[keysym_name] = kc
        return kc

    def press(self, keysym_name):
        self.xtest.fake_input(self.d, self.X.KeyPress, self.keycode(keysym_name))
        self.d.sync()

    def release(self, keysym_name):
        self.xtest.fake_input(self.d, self.X.KeyRelease, self.keycode(keysym_name))
        self.d.sync()

    def tap(self, keysym_name, hold=0.04, after=0.02):
        self.press(keysym_name)
        time.sleep(hold)
        self.release(keysym_name)
        if after:
            time.sleep(after)

    def type_text(self, text):
        shift = self.keycode("Shift_L")
        for ch in text:
            ks = ord(ch)   # printable ASCII keysyms are their Latin-1 codes
            choices = [(kc, idx) for kc, idx in self.d.keysym_to_keycodes(ks) if idx in (0, 1)]
            if not choices:
                raise Failure("cannot type %r on the virtual keyboard" % ch)
            kc, idx = sorted(choices, key=lambda c: c[1])[0]
            if idx == 1:
                self.xtest.fake_input(self.d, self.X.KeyPress, shift)
            self.xtest.fake_input(self.d, self.X.KeyPress, kc)
            self.xtest.fake_input(self.d, self.X.KeyRelease, kc)
            if idx == 1:
                self.xtest.fake_input(self.d, self.X.KeyRelease, shift)
            self.d.sync()
            time.sleep(0.01)

    def numlock_on(self):
        """Turns NumLock on, so that the keypad sends its digits."""
        if not self.d.get_keyboard_control().led_mask & 2:   # LED 2 is Num Lock
            self.tap("Num_Lock")
        return bool(self.d.get_keyboard_control().led_mask & 2)
