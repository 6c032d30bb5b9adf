# SPDX-License-Identifier: GPL-3.0-or-later
"""A player strumming along the backing loop, for long sessions: a four-key
strum every 100 ms (each key pressed 3 ms after the last and all held for
30 ms), and every 5 s a tone change (Down, Down, Up, Up, ... so the tone
goes back and forth)."""
import time

from desktop.children import now_ms

STRUM = ("KP_7", "KP_8", "KP_9", "KP_Add")
STRUM_MS = 100.0
TONE_MS = 5000.0


class Strummer:
    """keys: anything with press, release and tap(key, hold, pause) (the
    Keyboard or the Screen).  Counts go on across calls to play()."""

    def __init__(self, keys):
        self.keys = keys
        self.strums = 0
        self.tone_changes = 0
        self.tone_times = []   # now_ms() of each tone change

    def play(self, until_ms, going=lambda: True):
        """Plays until now_ms() reaches until_ms, or going() is false (it may
        raise instead)."""
        start = now_ms()
        next_strum, next_tone = start, start + TONE_MS
        while now_ms() < until_ms and going():
            if now_ms() >= next_tone:
                self.tone_times.append(now_ms())
                self.keys.tap("Up" if (self.tone_changes // 2) % 2 else "Down", 0.02, 0)
                self.tone_changes += 1
                next_tone += TONE_MS
            for k in STRUM:
                self.keys.press(k)
                time.sleep(0.003)
            time.sleep(0.03)
            for k in STRUM:
                self.keys.release(k)
            self.strums += 1
            next_strum += STRUM_MS
            wait = min(next_strum, next_tone) - now_ms()
            if wait > 0:
                time.sleep(wait / 1000.0)
