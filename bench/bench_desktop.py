#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Figures for the real program on a desktop, measured from outside it:
start-up to the main window, resident memory, CPU use while idle and while
playing fast, and key-to-sound at the sound server on each tone, beside the
stock FluidSynth player measured the same way.

It starts bin/plinkora, watches the X server for its windows, reads /proc
for memory and CPU, sends keys through XTest and records the default
sink's monitor (tests/desktop/).  Needs DISPLAY and a PulseAudio (or
PipeWire) server with a null sink as default (scripts/bench.sh starts
both).

Key to sound: a strike's time is taken on this process's monotonic clock
just before its key event goes to the X server; the sound's time is when
the sink played the note's first sound, i.e. the first sample above
-60 dBFS whose following millisecond is above -60 dBFS as a whole, each
sample timed by the graph cycle the sink played it in (PipeWire) or by
the monitor stream's own latency report.  A low threshold
counts only the delay, not how long a tone's attack takes to grow loud.
Every strike goes into silence: the monitor must have been below -60 dBFS
for a while before the key is sent, so no earlier note's tail is taken for
the new one.  Each tone in turn: OPL.3 (the tone at start), then Down to
Nylon, then Down to NylonB.

Rests (--rests 4,30,300): after the strikes on every tone, back on Nylon,
single strikes each after that many seconds of silence at the sink (with
nothing else in the graph: the monitor's recorder is passive), --rest-strikes
of each, printed beside Nylon's strikes above (0.3 s of silence before each).

The stock player (--stock): `fluidsynth -a pulseaudio -o
audio.period-size=1024 -q` with FluidR3_GM.sf2, after the program has
ended, each tone's program number selected in turn; a note is struck by
writing `noteon 0 60 100` to its standard input, its time taken just
before the write; the same silence rule and the same first sound.

  bench_desktop.py [--strikes N]        strikes on each tone (default 20)
                   [--idle SECS]        idle CPU measured over this long (10)
                   [--playing SECS]     CPU while playing: loop on, 10 strikes a second (20)
                   [--user NAME]        run the program (and the stock player) as this user
                   [--output pulse|pipewire]  PLINKORA_AUDIO_OUTPUT for the program
                   [--stock]            the stock FluidSynth player too
                   [--rests L]          seconds of silence before single strikes, e.g. 4,30,300
                   [--rest-strikes N]   strikes after each rest (default 2)
                   [--program PATH] [--fragment FRAMES (monitor read size)] [--table]
"""
import argparse
import math
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from desktop.children import Failure, now_ms  # noqa: E402
from desktop.keys import Keyboard  # noqa: E402
from desktop.monitor import GraphMonitor, open_monitor  # noqa: E402
from desktop.pitch import wav_seconds  # noqa: E402
from desktop.program import Program  # noqa: E402
from desktop.screen import Screen, connect  # noqa: E402
from desktop.stats import scheduling  # noqa: E402

QUIET_MS, WINDOW_MS = 300.0, 500.0
TONES = [("OPL.3", 116), ("Nylon", 24), ("NylonB", 32)]   # with their General MIDI programs
STOCK_SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"


def percentile(v, p):
    if not v:
        return math.nan
    v = sorted(v)
    return v[min(len(v) - 1, int(math.ceil(p * len(v))) - 1)]


class Series:
    def __init__(self, tone):
        self.tone = tone
        self.latencies = []
        self.missed = 0       # no sound within the window
        self.not_silent = 0   # the monitor never fell silent before the strike: not struck
        self.mistimed = 0     # the sound seemed to begin before the key: not counted

    def strike(self, mon, press, release, rest=0.0):
        """One strike into silence: press(), 60 ms, release(); the first
        sound within WINDOW_MS of the press.  rest: seconds of silence
        before it (at least QUIET_MS)."""
        if not mon.wait_for_silence(QUIET_MS, 20000):
            self.not_silent += 1
            return
        if rest * 1000.0 > QUIET_MS:
            time.sleep(rest - QUIET_MS / 1000.0)
        pressed = now_ms()
        press()
        time.sleep(0.06)
        release()
        mon.wait_until_covered(pressed + WINDOW_MS, WINDOW_MS + 3000)
        onset, early = mon.first_sound_after(pressed, pressed + WINDOW_MS)
        if early:
            self.mistimed += 1
        elif onset is None:
            self.missed += 1
        else:
            self.latencies.append(onset - pressed)

    def figures(self):
        v = self.latencies
        return percentile(v, 0.5), percentile(v, 0.9), percentile(v, 0.95), max(v) if v else math.nan

    def notes(self):
        out = "%d not heard" % self.missed
        if self.not_silent:
            out += ", %d not struck (never silent)" % self.not_silent
        if self.mistimed:
            out += ", %d mistimed (sound before the key), left out" % self.mistimed
        return out


def output_lines(text):
    """The program's lines about its sound output."""
    return [l.strip() for l in text.splitlines()
            if re.search(r"sound|output|audio|pulse|pipewire", l, re.I) and "plinkora" in l.lower()]


def measure_program(args, mon, start_sound_ms):
    d = connect(quiet=True)
    screen, keys = Screen(d), Keyboard(d)
    env = {"PLINKORA_AUDIO_OUTPUT": args.output} if args.output else {}
    t0 = now_ms()
    p = Program(args.program, args.user, env)
    r = dict(program=p)
    try:
        t_splash, main = None, None
        while now_ms() - t0 < 30000 and p.alive():
            if t_splash is None and screen.find():
                t_splash = now_ms() - t0
            main = screen.find("Plinkora")
            if main:
                r["t_main"] = now_ms() - t0
                break
            time.sleep(0.001)
        if not main:
            raise Failure("the main window did not appear")
        r.update(splash=t_splash, size=(main["w"], main["h"]))
        time.sleep(2)
        r["rss"] = p.rss_kb()
        c0 = p.cpu_seconds()
        time.sleep(args.idle)
        r["idle_cpu"] = (p.cpu_seconds() - c0) / args.idle * 100.0

        keys.numlock_on()
        screen.focus(main["win"])
        time.sleep(0.2)
        series = [Series(t) for t, _ in TONES]
        for i, run in enumerate(series):
            if i:
                keys.tap("Down", 0.03, 0)
                time.sleep(0.3)
            for s in range(args.strikes):
                if not p.alive():
                    break
                key = ("KP_4", "KP_6")[s % 2]
                run.strike(mon, lambda: keys.press(key), lambda: keys.release(key))
        r["series"] = series
        r["threads"] = scheduling(p.pid)

        # Rests: back on Nylon, single strikes after long silences.
        r["rests"] = []
        if args.rests and p.alive():
            keys.tap("Up", 0.03, 0)
            time.sleep(0.3)
            for rest in args.rests:
                run = Series("Nylon after %g s" % rest)
                for s in range(args.rest_strikes):
                    if not p.alive():
                        break
                    key = ("KP_4", "KP_6")[s % 2]
                    run.strike(mon, lambda: keys.press(key), lambda: keys.release(key), rest)
                r["rests"].append((rest, run))

        # Playing fast: the loop on, ten strikes a second over the keypad.
        r["playing_cpu"] = math.nan
        if args.playing > 0 and p.alive():
            keys.tap("Left", 0.03, 0)
            time.sleep(0.5)
            pad = ["KP_%d" % k for k in range(1, 9)]
            c0, w0 = p.cpu_seconds(), now_ms()
            i = 0
            while now_ms() - w0 < args.playing * 1000.0:
                keys.tap(pad[i % 8], 0.04, 0)
                i += 1
                nxt = w0 + i * 100.0
                if nxt > now_ms():
                    time.sleep((nxt - now_ms()) / 1000.0)
            r["playing_cpu"] = (p.cpu_seconds() - c0) / ((now_ms() - w0) / 1000.0) * 100.0
            keys.tap("Left", 0.03, 0)
        r["survived"] = p.alive()
    finally:
        r["said"] = output_lines(p.output())
        p.stop()
        d.close()
    return r


def measure_stock(args, mon):
    """Key to sound of the stock FluidSynth player, on each tone's program."""
    p = Program(["fluidsynth", "-a", "pulseaudio", "-o", "audio.period-size=1024", "-q", STOCK_SOUNDFONT],
                args.user, stdin=subprocess.PIPE)
    series = [Series(t) for t, _ in TONES]
    try:
        def say(line):
            p.proc.stdin.write((line + "\n").encode())
            p.proc.stdin.flush()
        # The shell answers once the soundfont is loaded; then its stream plays.
        say("help")
        end = time.monotonic() + 60
        while "help" not in p.output().lower():
            if not p.alive() or time.monotonic() > end:
                raise Failure("the stock player did not start: %s" % p.output()[-500:])
            time.sleep(0.05)
        time.sleep(1.0)
        for run, (_tone, program) in zip(series, TONES):
            say("prog 0 %d" % program)
            time.sleep(0.2)
            for _ in range(args.strikes):
                if not p.alive():
                    break
                run.strike(mon, lambda: say("noteon 0 60 100"), lambda: say("noteoff 0 60"))
    finally:
        try:
            p.proc.stdin.close()
        except OSError:
            pass
        p.stop()
    return series


def monitor_clock(mon):
    if isinstance(mon, GraphMonitor):
        return "the PipeWire graph's cycle times (checked with clicks)"
    return "%s's latency reports, read in %d-frame pieces" % (mon.server_name, mon.fragment_frames)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--strikes", type=int, default=20)
    ap.add_argument("--idle", type=float, default=10.0)
    ap.add_argument("--playing", type=float, default=20.0)
    ap.add_argument("--user")
    ap.add_argument("--output", choices=("pulse", "pipewire"))
    ap.add_argument("--stock", action="store_true")
    ap.add_argument("--rests", default="", help="seconds of silence before single strikes, e.g. 4,30,300")
    ap.add_argument("--rest-strikes", type=int, default=2)
    ap.add_argument("--program", default=os.path.join(HERE, "..", "build", "bin", "plinkora"))
    ap.add_argument("--fragment", type=int, help="frames per read of the monitor (PulseAudio clock)")
    ap.add_argument("--clock", choices=("auto", "graph", "pulse"), default="auto",
                    help="what times the monitor: PipeWire's graph cycles (auto under PipeWire) or the "
                         "monitor stream's latency reports")
    ap.add_argument("--table", action="store_true")
    args = ap.parse_args()
    args.strikes = max(1, args.strikes)
    args.rests = [float(x) for x in args.rests.split(",") if x.strip()]
    args.program = os.path.realpath(args.program)
    try:
        mon = open_monitor(args.clock, keep_seconds=30, fragment_frames=getattr(args, 'fragment'),
                           wait_for_data=0)
    except Failure as e:
        print("bench_desktop: %s" % e, file=sys.stderr)
        return 1
    start_wav = os.path.join(os.path.dirname(args.program), "..", "share", "plinkora", "start.wav")
    start_sound = wav_seconds(start_wav) * 1000.0
    try:
        r = measure_program(args, mon, start_sound)
        stock = measure_stock(args, mon) if args.stock else None
    except Failure as e:
        print("bench_desktop: %s" % e, file=sys.stderr)
        return 1
    finally:
        mon.close()

    series = r["series"]
    if not args.table:
        print("main window %dx%d; splash after %.0f ms; start sound %.0f ms; program run as %s; "
              "monitor timed by %s"
              % (r["size"] + (r["splash"] if r["splash"] is not None else math.nan, start_sound,
                              args.user or "this user", monitor_clock(mon))))
        for run in series + (stock or []):
            print("%s%s, ms in strike order: %s" % ("stock " if stock and run in stock else "", run.tone,
                                                  " ".join("%.1f" % v for v in run.latencies)))
    print("| Start-up to main window, start sound excluded | %.0f ms | (%.0f ms in all); target < 200 ms |"
          % (r["t_main"] - start_sound, r["t_main"]))
    print("| Resident memory, idle main window | %.0f MB | target < 64 MB |" % (r["rss"] / 1024.0))
    print("| CPU while idle (%.0f s) | %.2f %% of a core | target < 1 %% |" % (args.idle, r["idle_cpu"]))
    if args.playing > 0:
        print("| CPU while playing (loop on, 10 strikes/s, %.0f s) | %.1f %% of a core | target < 15 %% |"
              % (args.playing, r["playing_cpu"]))
    print("| Sound output the program reported | %s | its stderr%s |"
          % ("; ".join(r["said"]) or "(nothing)",
             ", PLINKORA_AUDIO_OUTPUT=" + args.output if args.output else ""))
    heard = True
    for i, run in enumerate(series):
        med, p90, p95, top = run.figures()
        print("| Key to sound at the sound server, %s (%d strikes into silence) | median %.1f ms | p90 %.1f, "
              "p95 %.1f, max %.1f ms; %s; first sound above -60 dBFS; target median <= 5, p95 <= 8 |"
              % (run.tone, len(run.latencies), med, p90, p95, top, run.notes()))
        heard = heard and run.latencies and run.mistimed == 0
        if stock:
            s = stock[i]
            smed, sp90, sp95, stop_ = s.figures()
            print("| Key to sound, stock FluidSynth player, program %d as for %s (%d strikes) | median %.1f ms | "
                  "p90 %.1f, p95 %.1f, max %.1f ms; %s; fluidsynth -a pulseaudio, period 1024, FluidR3_GM |"
                  % (TONES[i][1], s.tone, len(s.latencies), smed, sp90, sp95, stop_, s.notes()))
            print("| Key to sound, program / stock, %s | median %.2f | p95 %.2f |"
                  % (run.tone, med / smed if smed else math.nan, p95 / sp95 if sp95 else math.nan))
    nylon = series[1] if len(series) > 1 else series[0]
    for rest, run in r["rests"]:
        med, _p90, p95, top = run.figures()
        print("| Key to sound after %g s of silence, Nylon (%d strikes) | median %.1f ms | each %s ms; max %.1f; "
              "%s; mid-phrase (0.3 s of silence) Nylon: median %.1f, p95 %.1f |"
              % (rest, len(run.latencies), med, " ".join("%.1f" % v for v in run.latencies) or "-", top,
                 run.notes(), nylon.figures()[0], nylon.figures()[2]))
        heard = heard and len(run.latencies) == args.rest_strikes
    print("| Scheduling of the program's threads after the strikes | %s | /proc/PID/task/*/stat |" % r["threads"])
    if mon.overflows:
        print("(the monitor recording overflowed %d times)" % mon.overflows)
    if not r["survived"]:
        print("bench_desktop: the program ended while being played", file=sys.stderr)
    return 0 if heard and r["survived"] else 1


if __name__ == "__main__":
    sys.exit(main())
