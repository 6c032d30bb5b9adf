#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end check of the three tones through the real window.

Starts the built program on a private virtual X server and PulseAudio server
(harness.py and tests/desktop/), and in each tone, OPL.3 (the one it opens
with), Nylon and NylonB (Down steps to the next), strikes two cells and
measures the pitch of what the null sink's monitor carries:

  Numpad 1, cell (0, 0) of the Standard preset: A (440 Hz)
  Numpad 5, cell (1, 1): C (261.6 Hz)

Every tone sounds the struck cell's pitch: OPL.3 is sent an octave higher
than Nylon and NylonB and its FM patch sounds an octave low, so all three
land on the same frequency.  The program must not say that the OPL3 FM
soundfont is missing.

  tones_e2e.py --program build/bin/plinkora --assets assets --artifacts DIR

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or PulseAudio here).
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402

OPL3 = "/usr/share/sounds/sf2/OPL-3_FM_128M.sf2"
# (keypad key, the cell's note number in the program, its name)
STRIKES = [("KP_1", 81, "A"), ("KP_5", 72, "C")]
# The tones in the order Down steps through them, with the indicator's frame.
TONES = [(116, "OPL.3"), (24, "Nylon"), (32, "NylonB")]


def sounding_hz(cell_note):
    # Nylon and NylonB are sent the cell's note less an octave and sound it;
    # OPL.3 is sent the cell's note and sounds an octave below it.
    return e2e.midi_hz(cell_note - 12)


def wait_for_quiet(run, level=0.002, longest=4.0):
    """Waits until the last note has died away at the monitor (OPL.3 rings
    for seconds), so that it does not pull the next note's pitch."""
    import numpy as np
    end = time.monotonic() + longest
    time.sleep(0.3)
    while time.monotonic() < end:
        n = run.monitor.count()
        x = run.monitor.samples(n - int(0.1 * e2e.RATE), n)
        if len(x) and float(np.sqrt(np.mean(x * x))) < level:
            return
        time.sleep(0.05)


def run_tones(run):
    run.start_instrument()
    heard = []
    for i, (program, frame) in enumerate(TONES):
        run.step = "tone %d (%s)" % (program, frame)
        if i > 0:
            run.screen.tap("Down")
        try:
            run.wait_panel("the tone indicator to show " + frame,
                           lambda p, f=frame: p.tone() in (f, f + " lit"), name="tone-%d" % program)
        except e2e.Failure:
            raise e2e.Failure("the tone indicator shows %s, expected %s" % (run.panel().tone(), frame))
        for key, cell, name in STRIKES:
            wait_for_quiet(run)
            run.listen_for_note(key, sounding_hz(cell),
                                "%s: %s, cell note %d (%s)" % (frame, key, cell, name))
            heard.append("%s %s" % (frame, name))
    e2e.log("every tone sounded its cells' pitches:", ", ".join(heard))
    run.close_window(with_take=False)
    with open(os.path.join(run.out, "plinkora.log"), "rb") as f:
        said = f.read().decode("utf-8", "replace")
    if "OPL3" in said:
        raise e2e.Failure("the program says: %s" % said.strip())


def main():
    args = e2e.script_arguments(__doc__).parse_args()
    if not os.path.isfile(OPL3):
        print("FAIL: the OPL3 FM soundfont %s is not installed (scripts/install-deps.sh brings "
              "opl3-soundfont)" % OPL3)
        return 1
    return e2e.run_script(args, run_tones)


if __name__ == "__main__":
    sys.exit(main())
