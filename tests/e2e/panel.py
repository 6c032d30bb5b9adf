# SPDX-License-Identifier: GPL-3.0-or-later
"""The main window's displays read back from a screenshot, by comparing
each display's rectangle with the committed pictures it can show."""
import os

MAIN_SIZE = (345, 288)
SPLASH_SIZE = (344, 147)

NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
QUALITIES = ["Maj.", "m", "7th", "m7"]
# Note boxes 0..10: (left, top) in the window, and their (row, string) cell.
NOTE_BOXES = [(136, 216), (176, 216), (216, 216), (136, 176), (176, 176), (216, 176),
              (136, 136), (176, 136), (216, 136), (256, 136), (256, 216)]
CELLS = [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2), (2, 3), (1, 3)]
PRESETS = {  # chord table, [row][string]
    0: [[69, 60, 64, 0], [67, 60, 64, 69], [69, 62, 66, 72]],
    1: [[67, 61, 64, 0], [67, 62, 67, 69], [69, 62, 66, 71]],
}
PRESET_NAMES = ["Standard", "POP"]
# Chord labels from the top line down: (root pitch class, quality index).
CHORD_LABELS = {0: [(2, 2), (0, 0), (8, 1)], 1: [(10, 3), (7, 0), (4, 3)]}
TONE_FRAMES = ["NylonB", "NylonB lit", "Nylon", "Nylon lit", "OPL.3", "OPL.3 lit"]


class Artwork:
    """The committed pictures (assets/)."""

    def __init__(self, folder):
        import numpy as np
        from PIL import Image
        self.np = np

        def load(name):
            with Image.open(os.path.join(folder, name)) as im:
                return np.asarray(im.convert("RGB"), dtype=np.int16)

        self.notes = [load("note_%02d.gif" % k) for k in range(12)]
        self.roots = [load("root_%02d.jpg" % k) for k in range(12)]
        self.qualities = [load("quality_%d.jpg" % k) for k in range(4)]
        self.presets = {(on, k): load("preset_%s_%d.jpg" % ("on" if on else "off", k))
                        for on in (False, True) for k in (0, 1)}
        self.tones = [load("tone_%d.jpg" % k) for k in range(6)]
        self.rec_idle = load("recbot_0.jpg")
        self.rec_on = load("recind_1.jpg")
        self.splash = load("splash.jpg")

    def diff(self, shot, ref):
        """Mean absolute difference per channel, 0..255."""
        if shot.shape != ref.shape:
            return 255.0
        return float(self.np.abs(shot.astype(self.np.int16) - ref).mean())

    def best(self, shot, refs, tolerance):
        """Index of the picture that the shot shows, and its difference;
        index None unless it is within tolerance and clearly closer than any
        other (some frames differ from each other by little: two note names
        by 2.5 on average)."""
        diffs = [self.diff(shot, r) for r in refs]
        order = sorted(range(len(refs)), key=lambda i: diffs[i])
        k = order[0]
        clear = len(order) < 2 or diffs[k] < 0.5 * diffs[order[1]]
        return (k if diffs[k] <= tolerance and clear else None), diffs[k]


# Pictures drawn by the program are the committed ones, unscaled: GIF frames
# come out exact, JPEG frames within the rounding of two JPEG decoders.
GIF_TOLERANCE = 0.5
TOLERANCE = 1.5


class Panel:
    """The main window's displays as read back from a screenshot."""

    def __init__(self, art, shot):
        self.art = art
        self.shot = shot

    def crop(self, x, y, w, h):
        return self.shot[y:y + h, x:x + w]

    def note_names(self):
        names, diffs = [], []
        for x, y in NOTE_BOXES:
            k, dv = self.art.best(self.crop(x, y, 33, 33), self.art.notes, GIF_TOLERANCE)
            names.append("?" if k is None else NOTE_NAMES[k])
            diffs.append(dv)
        return names, diffs

    def read_names(self):
        """The note names with how far each box is from its closest picture."""
        names, diffs = self.note_names()
        return " ".join("%s(%.1f)" % nd for nd in zip(names, diffs))

    def chord_labels(self):
        out = []
        for row in range(3):
            r, _ = self.art.best(self.crop(56, 136 + 40 * row, 33, 33), self.art.roots, TOLERANCE)
            q, _ = self.art.best(self.crop(88, 136 + 40 * row, 40, 33), self.art.qualities, TOLERANCE)
            out.append("?" if r is None or q is None else "%s %s" % (NOTE_NAMES[r], QUALITIES[q]))
        return out

    def preset_buttons(self):
        """Which preset button is lit, or None when the pictures do not fit."""
        looks = []
        for k in (0, 1):
            shot = self.crop(56 + 120 * k, 112, 113, 17)
            on, off = self.art.diff(shot, self.art.presets[(True, k)]), self.art.diff(shot, self.art.presets[(False, k)])
            if min(on, off) > TOLERANCE:
                return None
            looks.append(on < off)
        return looks.index(True) if looks.count(True) == 1 else None

    def tone(self):
        k, _ = self.art.best(self.crop(296, 232, 41, 17), self.art.tones, TOLERANCE)
        return "?" if k is None else TONE_FRAMES[k]

    def recording_look(self):
        shot = self.crop(16, 264, 73, 17)
        on, idle = self.art.diff(shot, self.art.rec_on), self.art.diff(shot, self.art.rec_idle)
        if min(on, idle) > TOLERANCE:
            return None
        return on < idle


def expected_names(preset, fret=0):
    table = PRESETS[preset]
    return [NOTE_NAMES[(table[r][s] + fret) % 12] for r, s in CELLS]


def expected_labels(preset):
    return ["%s %s" % (NOTE_NAMES[r], QUALITIES[q]) for r, q in CHORD_LABELS[preset]]

