# SPDX-License-Identifier: GPL-3.0-or-later
"""Dropouts at a sink: runs of exact digital silence while something that
never falls silent (the backing loop) plays, counted in a recording's
pieces as they arrive (bench/bench_session.py, tests/e2e/)."""
import math
import threading

import numpy as np


class GapCounter:
    """Counts runs of exact silence (every channel 0.0) of at least
    min_frames among the frames played between from_ms and until_ms; fed
    each piece of the monitor as it arrives."""

    def __init__(self, min_frames):
        self.lock = threading.Lock()
        self.from_ms = self.until_ms = math.inf
        self.min_frames = min_frames
        self.run = 0
        self.run_start_ms = 0.0
        self.frames = 0   # frames looked at
        self.gaps = []    # (s into the session, ms)

    def window(self, start, until):
        with self.lock:
            self.from_ms, self.until_ms = start, until

    def feed(self, lr, first_ms, frame_ms):
        t = first_ms + np.arange(len(lr)) * frame_ms
        with self.lock:
            inside = (t >= self.from_ms) & (t < self.until_ms)
            # 0 outside the window, 1 sound, 2 exact silence
            state = np.where(inside, np.where((lr[:, 0] == 0.0) & (lr[:, 1] == 0.0), 2, 1), 0)
            edges = np.concatenate(([0], np.nonzero(np.diff(state))[0] + 1, [len(state)]))
            for a, b in zip(edges[:-1], edges[1:]):
                s = state[a]
                if s == 0:
                    self.run = 0
                    continue
                self.frames += b - a
                if s == 2:
                    if self.run == 0:
                        self.run_start_ms = t[a]
                    self.run += b - a
                else:
                    self._close(frame_ms)

    def finish(self, frame_ms):
        """At the end of the window a run still open counts too."""
        with self.lock:
            self._close(frame_ms)

    def _close(self, frame_ms):
        if self.run >= self.min_frames and self.run > 0:
            self.gaps.append(((self.run_start_ms - self.from_ms) / 1000.0, self.run * frame_ms))
        self.run = 0


def bursts(gaps):
    """Gaps less than a second apart make one burst."""
    n, last = 0, -10.0
    for at, _ms in gaps:
        if at - last > 1.0:
            n += 1
        last = at
    return n
