#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end test of Plinkora.

Runs the built program on a virtual X server and a PulseAudio server of its
own, plays it with real key events (XTest), reads the window back from
screenshots and listens to the sound server's output:

  1. the splash, then the main window: 345 x 288, titled "Plinkora", its
     displays matching the committed pictures (note names read back);
  2. Down, F3 held, Numpad 5 sounds MIDI note 63 (311.1 Hz);
  3. Right switches to the POP preset: its note names, chord labels, button;
  4. Z, strikes, X, V and the Save dialog with a path containing a space:
     the saved file is a PCM WAV holding the struck notes at their pitches;
     C plays the take back (recorder_steps.py);
  5. a second copy ends at once without a window, and without reaching a
     sound server (its PulseAudio and PipeWire sockets are ours, and stay
     unanswered);
  6. closing the window (WM_DELETE_WINDOW) ends the program with status 0
     and leaves its working folder empty (the temporary take is deleted).

  e2e_test.py --program build/bin/plinkora --assets assets --artifacts DIR
  e2e_test.py ... --latency 40     measure key-to-sound instead (no checks)

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or PulseAudio here).
Screenshots, recordings and logs stay in the artifacts folder after a
failure (and with --keep).
"""
import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (RATE, Failure, expected_labels, expected_names, find_onset, log, midi_hz,  # noqa: E402
                     poll, run_script, script_arguments)
from desktop.children import now_ms  # noqa: E402
import recorder_steps  # noqa: E402


def strike_with_fret(run):
    run.step = "2. Down, F3 held, Numpad 5"
    s = run.screen
    s.tap("Down")
    run.wait_panel("the tone indicator to show Nylon", lambda p: p.tone().startswith("Nylon") and
                    not p.tone().startswith("NylonB"), name="tone-nylon")
    s.press("F3")
    want = expected_names(0, 3)
    try:
        run.wait_panel("names raised by fret 3", lambda p: p.note_names()[0] == want, name="fret3")
    except Failure:
        raise Failure("with F3 held the note boxes read %s, expected %s"
                      % (run.panel().read_names(), want))
    log("F3 held: names", " ".join(want))
    run.listen_for_note("KP_5", midi_hz(63), "Numpad 5 with F3 held (note 63)")
    s.release("F3")
    run.wait_panel("names back after F3 released", lambda p: p.note_names()[0] == expected_names(0),
                    name="fret-released")

def switch_preset(run):
    run.step = "3. preset change (Right)"
    run.screen.tap("Right")
    want, labels = expected_names(1), expected_labels(1)
    try:
        p = run.wait_panel("the POP preset", lambda p: p.note_names()[0] == want and
                            p.chord_labels() == labels and p.preset_buttons() == 1, name="pop")
    except Failure:
        p = run.panel()
        raise Failure("after Right: note names %s (expected %s), chord labels %s (expected %s), lit preset %s"
                      % (p.read_names(), want, p.chord_labels(), labels, p.preset_buttons()))
    log("POP: names", " ".join(p.note_names()[0]), "| chords:", ", ".join(p.chord_labels()))

def listening(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    s.listen(8)
    s.setblocking(False)
    return s


def second_copy(run):
    run.step = "5. second copy"
    # The sound servers the second copy is shown are sockets of ours: any
    # connection to them is a copy that reached for a sound server.
    fake = os.path.join(run.tmp, "fake-servers")
    os.makedirs(fake, mode=0o700, exist_ok=True)
    servers = {"PulseAudio": listening(os.path.join(fake, "native")),
               "PipeWire": listening(os.path.join(fake, "pipewire-0"))}
    env = dict(run.env, PULSE_SERVER="unix:" + os.path.join(fake, "native"), PIPEWIRE_RUNTIME_DIR=fake)
    t = time.monotonic()
    second = run.launch("plinkora-second.log", env)
    seen = []

    def ended():
        seen.extend(w["title"] for w in run.screen.windows() if w["pid"] == second.pid)
        return second.poll() is not None
    try:
        poll("the second copy to end", ended, 5, 0.02)
    except Failure:
        raise Failure("a second copy was still running after 5 s (windows seen: %s)" % seen)
    log("second copy ended after %.2f s with status %d, windows seen: %s"
        % (time.monotonic() - t, second.returncode, seen or "none"))
    if seen:
        raise Failure("the second copy showed windows: %s" % seen)
    for name, s in servers.items():
        try:
            s.accept()[0].close()
            raise Failure("the second copy connected to the %s server" % name)
        except BlockingIOError:
            pass
        finally:
            s.close()
    if run.program.poll() is not None:
        raise Failure("the first copy ended when the second started")
    mains = [w for w in run.screen.windows() if w["title"] == "Plinkora"]
    if len(mains) != 1:
        raise Failure("%d windows titled Plinkora after the second start" % len(mains))


def test(run):
    run.start_instrument()
    strike_with_fret(run)
    switch_preset(run)
    recorder_steps.record_and_save(run)
    second_copy(run)
    run.close_window()


def latency(run, n):
    """Key-to-sound at the sound server, measured from outside: a strike's
    time is taken just before its XTest key press; its sound's is the play
    time the monitor gives the onset's sample (tests/desktop/monitor.py).
    bench/bench_desktop.py measures the same on every tone, into silence."""
    import numpy as np
    run.start_instrument()
    s, mon = run.screen, run.monitor
    s.tap("Down")   # Nylon: a clean, quick attack
    run.wait_panel("the tone indicator to show Nylon", lambda p: p.tone() in ("Nylon", "Nylon lit"))
    results, missed = [], 0
    margin = int(0.1 * RATE)
    for i in range(n):
        time.sleep(0.3)
        start = mon.count()
        pressed = now_ms()
        s.tap(("KP_1", "KP_3")[i % 2], 0.03, 0)
        end = start + int(0.25 * RATE)
        poll("the sound of strike %d" % (i + 1), lambda: mon.count() >= end, 3, 0.01)
        x = mon.samples(start - margin, end)
        rel = find_onset(x, margin, len(x))
        if rel is None:
            missed += 1
            continue
        onset = start - margin + rel
        results.append(float(mon.times(onset, onset + 1)[0]) - pressed)
    run.close_window(with_take=False)
    if not results:
        print("no onset found after any of the %d strikes" % n)
        return 1
    a = np.array(results)
    print("key-to-sound over %d strikes, %d without a detected onset:" % (n, missed))
    print("  median %.1f ms, p90 %.1f ms, max %.1f ms (min %.1f ms)"
          % (np.median(a), np.percentile(a, 90), a.max(), a.min()))
    print("  = the onset's play time at the sink (the monitor's latency report) - the key's time")
    return 0


def main():
    ap = script_arguments(__doc__)
    ap.add_argument("--latency", type=int, metavar="N", help="measure key-to-sound over N strikes")
    args = ap.parse_args()
    body = (lambda run: latency(run, args.latency)) if args.latency else test
    return run_script(args, body, logs=("plinkora.log", "plinkora-second.log"))


if __name__ == "__main__":
    sys.exit(main())
