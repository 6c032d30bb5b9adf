# SPDX-License-Identifier: GPL-3.0-or-later
"""The recorder through the window: Z, strikes, X, V and the Save dialog,
the saved file checked for the struck notes at their pitches, and C
playing the take back."""
import os
import shutil
import time
import wave

from harness import Failure, find_onset, frame_rms, log, midi_hz, pitch, poll
from desktop.pitch import read_wav


def record_and_save(run):
    run.step = "4. recorder: Z, strikes, X, V, Save dialog"
    s = run.screen
    s.tap("z")
    run.wait_panel("the Rec button's recording look", lambda p: p.recording_look() is True, name="recording")
    time.sleep(0.2)
    # POP preset, Nylon: Numpad 1 = G4, Numpad 5 = D4, Numpad + = B4.
    strikes = [("KP_1", 67), ("KP_5", 62), ("KP_Add", 71)]
    times = []
    for key, note in strikes:
        times.append(time.monotonic())
        s.tap(key)
        time.sleep(0.8)
    s.tap("x")
    run.wait_panel("the Rec button's idle look", lambda p: p.recording_look() is False, name="stopped")
    temp = os.path.join(run.cache, "tempsound.wav")
    poll("the temporary take " + temp, lambda: os.path.isfile(temp), 3)

    s.tap("v")

    def dialog():
        for w in s.windows():
            if w["pid"] == run.program.pid and w["id"] != run.main["id"]:
                return w
        return None
    dlg = poll("the Save dialog", dialog, 10)
    log("Save dialog: %r %dx%d" % (dlg["title"], dlg["w"], dlg["h"]))
    rect = (dlg["x"], dlg["y"], dlg["w"], dlg["h"])
    run.settled("the Save dialog to be drawn", rect)
    run.snapshot("save-dialog", rect)
    if not s.focus(dlg["win"]):
        raise Failure("could not give the Save dialog the keyboard focus")
    target = os.path.join(run.tmp, "saved takes", "my take.wav")
    os.makedirs(os.path.dirname(target))
    s.type_text(target)
    time.sleep(0.3)
    run.snapshot("save-dialog-typed", (dlg["x"], dlg["y"], dlg["w"], dlg["h"]))
    s.tap("Return")
    try:
        poll("the dialog to close", lambda: not any(w["id"] == dlg["id"] for w in s.windows()), 5)
    except Failure:
        run.snapshot("save-dialog-stuck", (dlg["x"], dlg["y"], dlg["w"], dlg["h"]))
        raise
    others = [w for w in s.windows() if w["pid"] == run.program.pid and w["id"] != run.main["id"]]
    if others:
        run.snapshot("message", (others[0]["x"], others[0]["y"], others[0]["w"], others[0]["h"]))
        raise Failure("a window %r appeared after saving (a message box?)" % others[0]["title"])
    sizes = []

    def written():
        # complete when it parses and its size holds over two looks
        try:
            with wave.open(target, "rb"):
                pass
        except (OSError, EOFError, wave.Error):
            return False
        sizes.append(os.path.getsize(target))
        return len(sizes) >= 2 and sizes[-1] == sizes[-2]
    try:
        poll("the saved file " + target, written, 5, 0.1)
    except Failure:
        if not os.path.exists(target):
            raise Failure("no file was saved at %r (files there: %s)"
                          % (target, os.listdir(os.path.dirname(target))))
    if not os.path.exists(target):
        raise Failure("no file was saved at %r" % target)
    shutil.copy(target, os.path.join(run.out, "saved take.wav"))
    check_take(run, target, strikes, times)
    if not s.focus(run.main["win"]):
        raise Failure("could not give the main window the keyboard focus back")
    # C plays the stored take back: its first note is heard again.
    # (over the faint tail of earlier notes that the take begins with)
    run.listen_for_note("c", midi_hz(strikes[0][1]), "C (Play): the take's first note", floor=0.01)


def check_take(run, path, strikes, times):
    import numpy as np
    try:
        x, rate = read_wav(path)
    except (wave.Error, EOFError) as e:
        raise Failure("the saved file is not a PCM WAV: %s" % e)
    log("saved take: %d Hz, %d channel(s), %.2f s" % (rate, x.shape[1], len(x) / rate))
    if len(x) == 0:
        raise Failure("saved take has no frames")
    x = x.mean(axis=1)
    # Strikes stand well over whatever still rang when the take began.
    floor = 0.1 * float(frame_rms(x, int(0.002 * rate)).max())
    first = find_onset(x, int(0.06 * rate), len(x), rate, floor)
    if first is None:
        raise Failure("the saved take is silent (peak %.4f)" % float(np.abs(x).max()))
    found = []
    for (key, note), t in zip(strikes, times):
        expect = first + int((t - times[0]) * rate)
        onset = find_onset(x, expect - int(0.15 * rate), expect + int(0.25 * rate), rate, floor)
        if onset is None:
            raise Failure("saved take: no note starts near %.2f s (strike of %s); notes so far %s"
                          % (expect / rate, key, found))
        f, _ = pitch(x[onset + int(0.03 * rate):onset + int(0.33 * rate)], rate)
        found.append("%s at %.2f s: %s Hz (expected %.1f)"
                     % (key, onset / rate, "%.1f" % f if f else "none", midi_hz(note)))
        if f is None or abs(f - midi_hz(note)) > 4.0:
            raise Failure("saved take: wrong pitch: " + "; ".join(found))
    log("saved take holds:", "; ".join(found))
