#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A player's rest under PipeWire: the note after it is heard.

Starts private PipeWire, WirePlumber and pipewire-pulse on Debian's own
configuration with nothing else playing (no silent stream keeps the graph
running, and the recorder of the sink's monitor is passive, so the sink
idles as on a desktop where nothing plays), and the program on a private
X server, as an ordinary user with --ordinary-user (nobody, when run as
root).  On Nylon it strikes Numpad 1 (A, 440 Hz) three times mid-phrase
(after 0.3 s of silence at the sink), then once after each rest of
--rests seconds of silence.  Every strike must be heard, at its pitch,
within a second of its key; each one's key-to-sound, timed by the graph's
own cycles, is printed (never asserted: the figures belong to the
benchmarks), with the program's own lines about its PipeWire output and
the scheduling of its threads.

  rest_e2e.py --program build/bin/plinkora --assets assets --artifacts DIR --sound-server pipewire
      [--rests 4,30] [--ordinary-user] [--rtkit]

Exit status: 0 passed, 1 failed, 77 skipped (a server program missing).
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402
from desktop.children import now_ms  # noqa: E402
from desktop.stats import scheduling  # noqa: E402

A = e2e.midi_hz(69)
QUIET_MS = 300.0


def strike_heard(run, key, hz, label, rest=0.0):
    """Waits for rest seconds of silence at the sink (at least QUIET_MS),
    strikes key and returns its key-to-sound in ms; Failure when nothing is
    heard within a second or not at hz."""
    mon = run.monitor
    if not mon.wait_for_silence(QUIET_MS, 15000):
        raise e2e.Failure("%s: the sink never fell silent before the strike" % label)
    if rest * 1000.0 > QUIET_MS:
        time.sleep(rest - QUIET_MS / 1000.0)
    pressed = now_ms()
    run.screen.tap(key)
    mon.wait_until_covered(pressed + 1400.0, 5000)
    onset, early = mon.first_sound_after(pressed, pressed + 1000.0)
    if early:
        raise e2e.Failure("%s: the sink was already sounding at the key" % label)
    if onset is None:
        raise e2e.Failure("%s: nothing heard within 1 s of the key" % label)
    lr, _t = mon.take(mon.index_at(onset))
    rate = mon.rate
    f, _ = e2e.pitch(lr[int(0.03 * rate):int(0.33 * rate)].mean(axis=1), rate)
    ms = onset - pressed
    e2e.log("%s: heard %.1f ms after the key, at %s Hz" % (label, ms, "%.1f" % f if f else "no pitch"))
    if f is None or abs(f - hz) > 4.0:
        raise e2e.Failure("%s: heard at %s Hz, expected %.1f Hz" % (label, "%.1f" % f if f else "no pitch", hz))
    return ms


def said_about_output(run):
    with open(os.path.join(run.out, "plinkora.log"), "rb") as f:
        said = f.read().decode("utf-8", "replace")
    return [line for line in said.splitlines() if "PipeWire" in line or "period" in line]


def rest(run):
    run.start_realtimekit()
    run.start_sound(keep_running=False, graph_clock=True)
    run.start_x()
    if not run.screen.numlock_on():
        raise e2e.Failure("NumLock could not be turned on")
    run.open_windows()
    e2e.log("the program runs as", run.ordinary_user() or "this user")
    run.step = "Nylon"
    run.screen.tap("Down")
    run.wait_panel("the tone indicator to show Nylon", lambda p: p.tone() in ("Nylon", "Nylon lit"))

    run.step = "mid-phrase strikes"
    mid = [strike_heard(run, "KP_1", A, "mid-phrase strike %d" % (i + 1)) for i in range(3)]
    after = []
    for seconds in run.args.rests:
        run.step = "a strike after %g s of silence" % seconds
        after.append((seconds, strike_heard(run, "KP_1", A, "after %g s of silence" % seconds, seconds)))
        if run.program.poll() is not None:
            raise e2e.Failure("the program ended during the rest (status %s)" % run.program.returncode)

    e2e.log("key to sound, mid-phrase: %s ms; %s"
            % (" ".join("%.1f" % v for v in mid),
               "; ".join("after %g s: %.1f ms" % (s, v) for s, v in after)))
    e2e.log("scheduling of the program's threads:", scheduling(run.program.pid))
    for line in said_about_output(run):
        e2e.log("the program said:", line)
    run.close_window(with_take=False)


def main():
    ap = e2e.script_arguments(__doc__)
    ap.add_argument("--rests", default="4,30", help="seconds of silence before each later strike")
    args = ap.parse_args()
    args.rests = [float(x) for x in args.rests.split(",") if x.strip()]
    if args.sound_server != "pipewire":
        print("FAIL: rest_e2e.py measures the PipeWire output: --sound-server pipewire")
        return 1
    return e2e.run_script(args, rest)


if __name__ == "__main__":
    sys.exit(main())
