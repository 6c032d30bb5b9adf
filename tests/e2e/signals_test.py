#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end test: SIGTERM, SIGINT and SIGHUP end the program in every state.

The built program runs on a private Xvfb and PulseAudio, started afresh for
each state and sent a signal there:

  - the start-up box that says the MIDI output cannot be opened (started
    without a sound server);
  - the splash, while the start sound plays (the program waits for it);
  - the overwrite question of Rec, with a stored take;
  - the Save dialog, with a stored take;
  - the message box of Save without a take;
  - a take being recorded;
  - the playback of a stored take.

Each time the program must end within BOUND seconds with status 0, and its
working folder must be empty afterwards: no temporary take, no lock.

  signals_test.py --program build/bin/plinkora --assets assets --artifacts DIR

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or PulseAudio here).
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402
from harness import Failure, log, poll  # noqa: E402

BOUND = 2.0


class States:
    def __init__(self, run):
        self.run = run

    @property
    def s(self):
        return self.run.screen

    def others(self):
        p = self.run.program
        main = getattr(self.run, "main", None)
        return [w for w in self.s.windows()
                if w["pid"] == p.pid and (main is None or w["id"] != main["id"])]

    def end_by(self, sig, state):
        """Sends sig and checks the end: in time, status 0, nothing left."""
        p = self.run.program
        name = signal.Signals(sig).name
        self.run.step = "%s %s" % (name, state)
        temp = os.path.join(self.run.cache, "tempsound.wav")
        had_take = os.path.exists(temp)
        t = time.monotonic()
        p.send_signal(sig)
        try:
            p.wait(BOUND)
        except subprocess.TimeoutExpired:
            raise Failure("the program was still running %.1f s after %s" % (BOUND, name))
        took = time.monotonic() - t
        left = sorted(os.listdir(self.run.cache)) if os.path.isdir(self.run.cache) else []
        log("%s %s: ended after %.2f s with status %d; working folder %s%s"
            % (name, state, took, p.returncode, left or "empty",
               " (a temporary take was there before)" if had_take else ""))
        if p.returncode != 0:
            raise Failure("the program ended with status %d" % p.returncode)
        if left:
            raise Failure("working files left: %s" % left)
        self.run.program = None
        self.run.main = None

    def start(self):
        self.run.open_windows()

    def take(self):
        """Records a short take with one strike and stores it."""
        s = self.s
        s.tap("z")
        self.run.wait_panel("the recording look", lambda p: p.recording_look() is True, name="recording")
        s.tap("KP_5")
        time.sleep(0.4)
        s.tap("x")
        self.run.wait_panel("the idle look", lambda p: p.recording_look() is False, name="stored")
        poll("the temporary take", lambda: os.path.isfile(os.path.join(self.run.cache, "tempsound.wav")), 3)

    def wait_window(self, what):
        win = poll(what, lambda: self.others(), 10)
        log("%s: %r %dx%d" % (what, win[0]["title"], win[0]["w"], win[0]["h"]))
        return win[0]

    # the states ------------------------------------------------------------
    def startup_box(self, sig):
        env = dict(self.run.env, QT_QPA_PLATFORM="xcb",
                   PULSE_SERVER="unix:" + os.path.join(self.run.tmp, "no-sound-server"))
        self.run.main = None
        self.run.program = self.run.launch("plinkora-no-sound.log", env)
        box = self.wait_window("the start-up box (no sound server)")
        if box["title"] != "Plinkora" or (box["w"], box["h"]) == e2e.MAIN_SIZE:
            raise Failure("expected the start-up message box, saw %r %dx%d"
                          % (box["title"], box["w"], box["h"]))
        time.sleep(0.3)
        self.end_by(sig, "with the start-up box up")

    def splash(self, sig):
        self.run.main = None
        self.run.program = self.run.launch("plinkora-splash.log")
        poll("the splash", lambda: [w for w in self.others() if (w["w"], w["h"]) == e2e.SPLASH_SIZE], 15, 0.01)
        # the start sound (2.6 s) is playing and the program waits for it
        time.sleep(0.2)
        self.end_by(sig, "during the splash")

    def overwrite_question(self, sig):
        self.start()
        self.take()
        self.s.tap("z")
        self.wait_window("the overwrite question")
        self.end_by(sig, "with the overwrite question up")

    def save_dialog(self, sig):
        self.start()
        self.take()
        self.s.tap("v")
        self.wait_window("the Save dialog")
        self.end_by(sig, "with the Save dialog up")

    def no_take_box(self, sig):
        self.start()
        self.s.tap("v")
        self.wait_window("the box saying there is no take")
        self.end_by(sig, "with a message box up")

    def recording(self, sig):
        self.start()
        self.take()
        self.s.tap("z")
        self.wait_window("the overwrite question")
        # Yes (No is the default button): Alt and the button's mnemonic
        self.s.press("Alt_L")
        self.s.tap("y")
        self.s.release("Alt_L")
        poll("the box to close", lambda: not self.others(), 5)
        self.s.focus(self.run.main["win"])
        self.run.wait_panel("the recording look over a stored take",
                            lambda p: p.recording_look() is True, name="recording-again")
        self.s.tap("KP_1")
        time.sleep(0.3)
        self.end_by(sig, "while recording")

    def playing(self, sig):
        self.start()
        self.take()
        # The take's strike still rings at the sink; its playback is told
        # from it once the monitor has fallen quiet.
        def quiet():
            x = self.run.monitor.samples(max(0, self.run.monitor.count() - int(0.1 * e2e.RATE)))
            return len(x) > 0 and float(abs(x).max()) < 2e-3
        poll("the strike to die away", quiet, 10, 0.05)
        start = self.run.monitor.count()
        self.s.tap("c")
        poll("the playback to be heard",
             lambda: e2e.find_onset(self.run.monitor.samples(0), start, self.run.monitor.count()) is not None,
             5, 0.05)
        self.end_by(sig, "during playback")


# Each state with the signal it is ended by; the start-up box comes first,
# before the sound server is started.
PLAN = [("startup_box", signal.SIGTERM), ("splash", signal.SIGTERM),
        ("overwrite_question", signal.SIGHUP), ("save_dialog", signal.SIGTERM),
        ("no_take_box", signal.SIGINT), ("recording", signal.SIGTERM), ("playing", signal.SIGINT)]


def main():
    ap = e2e.script_arguments(__doc__)
    ap.add_argument("--state", action="append", choices=[name for name, _ in PLAN],
                    help="only this state (repeatable)")
    args = ap.parse_args()

    def body(run):
        run.start_x()
        states = States(run)
        for name, sig in PLAN:
            if args.state and name not in args.state:
                continue
            if name != "startup_box" and run.monitor is None:
                run.start_sound()
                if not run.screen.numlock_on():
                    raise Failure("NumLock could not be turned on")
            getattr(states, name)(sig)
    return e2e.run_script(args, body, logs=())


if __name__ == "__main__":
    sys.exit(main())
