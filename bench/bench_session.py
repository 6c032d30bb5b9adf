#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Dropouts of the real program, counted from outside: a long session played
through the window as a player would (the backing loop on, a 4-note strum
every 100 ms, a tone change every 5 s) while the null sink's monitor is
recorded (tests/desktop/).  The loop sound never falls silent (the loop
file is checked: its quietest stretch is far shorter than a gap counted),
so while it plays every run of exact digital silence at the sink at least
that long is audio the program did not deliver in time: a dropout.

Needs DISPLAY and a PulseAudio (or PipeWire) server with a null sink as
default (scripts/bench.sh starts both).

  bench_session.py [--seconds N]     length of the session (default 600)
                   [--user NAME]     run the program as this (ordinary) user
                   [--output pulse|pipewire]  PLINKORA_AUDIO_OUTPUT for the program
                   [--min-gap MS]    shortest run of silence counted (default 2)
                   [--floor FILE]    the floor client's summary (bench/pw_floor.cpp --summary),
                                     measured in the same run: the program's figures beside it
                   [--program PATH] [--table]

Under PipeWire it also prints the periods the program said it played at
(its stderr), the cycles it says it missed when it says so, and the
scheduling of its threads (/proc) near the end of the session.  With
--floor: the rule of the targets (the program holds the shortest period
at which the floor client missed at most 2 cycles a minute, missing no
more than twice the floor's cycles there, and drops out no more often than
the floor missed), each figure beside the floor's, scaled to the session.
"""
import argparse
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from desktop.children import Failure, now_ms  # noqa: E402
from desktop.gaps import GapCounter, bursts  # noqa: E402
from desktop.keys import Keyboard  # noqa: E402
from desktop.monitor import open_monitor, server_name  # noqa: E402
from desktop.pitch import SILENCE, longest_near_silence_ms  # noqa: E402
from desktop.playing import Strummer  # noqa: E402
from desktop.floor import read_summary  # noqa: E402
from desktop.program import Program, missed_cycles, pipewire_periods  # noqa: E402
from desktop.stats import scheduling  # noqa: E402
from desktop.screen import Screen, connect  # noqa: E402


def floor_rows(path, periods, missed, dropouts, seconds):
    """The program's period, missed cycles and dropouts beside the floor
    client's in the same run (the rule of the targets)."""
    try:
        runs, held = read_summary(path)
    except OSError:
        print("| The program against the floor | no floor figures | %s unreadable |" % path)
        return
    final = periods[-1] if periods else None
    print("| Period: the program's last against the floor's shortest held | %s / %s | target: the same |"
          % ("%d frames" % final if final else "unknown", "%d frames" % held if held else "none held"))
    at = runs.get(final) if final else None
    if at is None or at["seconds"] <= 0:
        print("| The program against the floor at its period | no floor run at %s frames | |"
              % (final if final else "its (unknown)"))
        return
    scaled = at["missed"] * seconds / at["seconds"]
    print("| Dropouts against the floor's misses at %d frames | %d / %.1f | floor: %d missed in %.0f s (%s), "
          "scaled to the %.0f s session; target: no more than the floor |"
          % (final, dropouts, scaled, at["missed"], at["seconds"], at["scheduling"], seconds))
    if missed is not None:
        print("| Missed cycles against twice the floor's at %d frames | %d / %.1f | target: no more |"
              % (final, missed, 2 * scaled))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=600.0)
    ap.add_argument("--user")
    ap.add_argument("--output", choices=("pulse", "pipewire"))
    ap.add_argument("--min-gap", type=float, default=2.0)
    ap.add_argument("--floor")
    ap.add_argument("--program", default=os.path.join(HERE, "..", "build", "bin", "plinkora"))
    ap.add_argument("--table", action="store_true")
    args = ap.parse_args()
    args.program = os.path.realpath(args.program)
    # A gap counted must be longer than anything quiet the loop holds.
    loop_wav = os.path.join(os.path.dirname(args.program), "..", "share", "plinkora", "3crap2.wav")
    loop_quiet = longest_near_silence_ms(loop_wav)
    if loop_quiet is None:
        print("bench_session: cannot read the loop sound %s" % loop_wav, file=sys.stderr)
        return 1
    gap_ms = max(args.min_gap, 2.0 * loop_quiet)
    # Under PipeWire the graph's own monitor (48 kHz, nothing resampled).
    rate = 48000 if "PipeWire" in server_name() else 44100
    counter = GapCounter(max(1, int(math.ceil(gap_ms * rate / 1000.0))))
    try:
        d = connect(quiet=True)
        mon = open_monitor("auto", keep_seconds=5, on_frames=counter.feed, rate=rate, wait_for_data=0)
    except Failure as e:
        print("bench_session: %s" % e, file=sys.stderr)
        return 1
    screen, keys = Screen(d), Keyboard(d)
    # The program's own count of missed cycles and its data thread's
    # figures, printed at exit.
    env = {"PLINKORA_PIPEWIRE_STATS": "1"}
    if args.output:
        env["PLINKORA_AUDIO_OUTPUT"] = args.output
    p = Program(args.program, args.user, env)
    try:
        main_win = None
        t0 = now_ms()
        while not main_win and now_ms() - t0 < 30000 and p.alive():
            main_win = screen.find("Plinkora")
            time.sleep(0.005)
        if not main_win:
            print("bench_session: the main window did not appear", file=sys.stderr)
            return 1
        time.sleep(1.0)
        keys.numlock_on()
        screen.focus(main_win["win"])
        time.sleep(0.2)

        # The loop on; count from when it has been heard for half a second.
        keys.tap("Left", 0.03, 0)
        looping, t0 = False, now_ms()
        while not looping and now_ms() - t0 < 5000:
            last = mon.last_ms()
            looping = last is not None and mon.peak(last - 50, last + 1) > SILENCE
            time.sleep(0.01)
        if not looping:
            print("bench_session: the loop sound was never heard", file=sys.stderr)
            return 1
        time.sleep(0.5)
        start = now_ms()
        counter.window(start, math.inf)
        cpu0 = p.cpu_seconds()
        player = Strummer(keys)
        player.play(start + args.seconds * 1000.0, p.alive)
        strums, tone_changes = player.strums, player.tone_changes
        tone_times = [(t - start) / 1000.0 for t in player.tone_times]   # s into the session
        end = now_ms()
        survived = p.alive()
        cpu = (p.cpu_seconds() - cpu0) / ((end - start) / 1000.0) * 100.0
        threads = scheduling(p.pid)
        counter.window(start, end)
        mon.wait_until_covered(end, 3000)
        counter.finish(1000.0 / rate)
        keys.tap("Left", 0.03, 0)
    finally:
        p.stop()
        mon.close()
        d.close()
    said = p.output()

    with counter.lock:
        gaps, frames = list(counter.gaps), counter.frames
    longest = max((ms for _at, ms in gaps), default=0.0)
    heard_s = frames / rate
    if not args.table:
        print("session %.0f s as %s: %d strums, %d tone changes; %.1f s of the sink's output looked at; "
              "loop sound's quietest stretch %.3f ms, gaps counted from %.2f ms"
              % ((end - start) / 1000.0, args.user or "this user", strums, tone_changes, heard_s,
                 loop_quiet, gap_ms))
        for at, ms in gaps:
            # How long after the last tone change (they close and reopen the device).
            since = [at - t for t in tone_times if t <= at]
            print("  gap at %.3f s: %.1f ms%s" % (at, ms, " (%.0f ms after a tone change)" % (since[-1] * 1000)
                                                   if since else ""))
    print("| Dropouts heard at the sink over a %.0f s session | %d | runs of >= %.0f ms exact silence while the loop "
          "played, in %d bursts, longest %.1f ms; loop on, 4-note strums every 100 ms, a tone change every 5 s; "
          "target 0 |" % ((end - start) / 1000.0, len(gaps), gap_ms, bursts(gaps), longest))
    print("| CPU during that session | %.1f %% of a core | 40 notes/s and the loop |" % cpu)
    periods = pipewire_periods(said)
    missed = missed_cycles(said)
    if periods or "PipeWire" in mon.server_name:
        print("| The program's PipeWire period, as it said | %s | its stderr, in order |"
              % (" -> ".join("%d" % f for f in periods) + " frames" if periods else "not said"))
        print("| Graph cycles the program missed, its own count | %s | |"
              % ("%d" % missed if missed is not None else "not said (the program prints no missed-cycle count)"))
    print("| Scheduling of the program's threads near the session's end | %s | /proc/PID/task/*/stat |" % threads)
    if args.floor:
        floor_rows(args.floor, periods, missed, len(gaps), (end - start) / 1000.0)
    if mon.overflows:
        print("(the monitor recording overflowed %d times: part of the output was not looked at)" % mon.overflows)
    # Most of the output must have been looked at for the count to mean anything.
    covered = heard_s > 0.95 * (end - start) / 1000.0
    if not covered:
        print("bench_session: only %.1f s of the output reached the monitor" % heard_s, file=sys.stderr)
    if not survived:
        print("bench_session: the program ended while being played", file=sys.stderr)
    return 0 if survived and covered else 1


if __name__ == "__main__":
    sys.exit(main())
