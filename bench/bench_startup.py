#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Start-up of the real program, step by step, and its memory once the main
window is idle, over several starts.

Each start runs bin/plinkora with PLINKORA_STARTUP_STAMPS=1: the program
writes, once its main window is up, the monotonic time at which each step
of start-up ended (src/platform/startup_stamps.h), on the same clock as
this script's.  From outside, the script watches the X server for the
splash and the main window (the time each is first seen mapped), and reads
/proc for memory 2 s after the main window: resident in all, its anonymous
part, and the heap's share (smaps).

Steps (ms after exec): main (the program's code starts: the libraries are
loaded), display check, instance lock, qt (QApplication and the backend),
midi open asked (the main window made, hidden), and on the sound side, on
its own thread: output chosen, output started, soundfonts read, samples
pinned, onsets, synth pool, sound prepared; then sound taken over (the
first midiOutOpen has it), first message (the program change), splash
(painted), start sound (it ended), main window (shown).

"Start-up to main window, start sound excluded" is the main window's time
less the time the program spent in the start sound (from "splash" to
"start sound"); bench_desktop.py's figure of the same name subtracts the
sound's length instead, which leaves in the sound server's own delay
before it plays a new stream.

Needs DISPLAY and a sound server (scripts/bench.sh starts both).

  bench_startup.py [--runs N] [--output pulse|pipewire] [--user NAME]
                   [--program PATH] [--table]
"""
import argparse
import math
import os
import re
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from desktop.children import Failure, now_ms  # noqa: E402
from desktop.pitch import wav_seconds  # noqa: E402
from desktop.program import Program  # noqa: E402
from desktop.screen import Screen, connect  # noqa: E402

STAMPS = re.compile(r"start-up stamps \(ms, CLOCK_MONOTONIC\):(.*)")


def stamps_of(text):
    """{step: monotonic ms} from the program's stamps line."""
    m = STAMPS.search(text)
    if not m:
        return {}
    out = {}
    for item in re.finditer(r" ([a-z][a-z ]*?)=([0-9.]+)", m.group(1)):
        out[item.group(1)] = float(item.group(2))
    return out


def smaps_kb(pid):
    """Resident kB in all, anonymous, and in the heap mappings, from smaps."""
    total = anon = heap = 0
    name = ""
    try:
        with open("/proc/%d/smaps" % pid) as f:
            for line in f:
                if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                    parts = line.split(None, 5)
                    name = parts[5].strip() if len(parts) > 5 else ""
                elif line.startswith("Rss:"):
                    kb = int(line.split()[1])
                    total += kb
                    if name == "[heap]":
                        heap += kb
                elif line.startswith("Anonymous:"):
                    anon += int(line.split()[1])
    except OSError:
        return math.nan, math.nan, math.nan
    return total, anon, heap


def one_start(args, screen):
    env = {"PLINKORA_STARTUP_STAMPS": "1"}
    if args.output:
        env["PLINKORA_AUDIO_OUTPUT"] = args.output
    t0 = now_ms()
    p = Program(args.program, args.user, env)
    r = {}
    try:
        while now_ms() - t0 < 30000 and p.alive():
            if "splash seen" not in r and screen.find(pid=p.pid):
                r["splash seen"] = now_ms() - t0
            if screen.find("Plinkora", pid=p.pid):
                r["main window seen"] = now_ms() - t0
                break
            time.sleep(0.001)
        if "main window seen" not in r:
            raise Failure("the main window did not appear: %s" % p.output()[-400:])
        deadline = time.monotonic() + 5
        while not stamps_of(p.output()) and time.monotonic() < deadline:
            time.sleep(0.01)
        steps = {k: v - t0 for k, v in stamps_of(p.output()).items()}
        r["steps"] = steps
        time.sleep(2)
        r["rss"], r["anon"], r["heap"] = smaps_kb(p.pid)
        if "splash" in steps and "start sound" in steps:
            r["sound"] = steps["start sound"] - steps["splash"]
    finally:
        p.stop()
    return r


def median(values):
    values = [v for v in values if v is not None and not math.isnan(v)]
    return statistics.median(values) if values else math.nan


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=8)
    ap.add_argument("--output", choices=("pulse", "pipewire"))
    ap.add_argument("--user")
    ap.add_argument("--program", default=os.path.join(HERE, "..", "build", "bin", "plinkora"))
    ap.add_argument("--table", action="store_true", help="only the summary rows")
    args = ap.parse_args()
    args.program = os.path.realpath(args.program)
    start_wav = os.path.join(os.path.dirname(args.program), "..", "share", "plinkora", "start.wav")
    sound_ms = wav_seconds(start_wav) * 1000.0
    d = connect(quiet=True)
    screen = Screen(d)
    runs = []
    try:
        for _ in range(max(1, args.runs)):
            runs.append(one_start(args, screen))
            time.sleep(0.5)
    except Failure as e:
        print("bench_startup: %s" % e, file=sys.stderr)
        return 1
    finally:
        d.close()

    order = []
    for r in runs:
        for k, v in sorted(r["steps"].items(), key=lambda kv: kv[1]):
            if k not in order:
                order.append(k)
    if not args.table:
        print("%d starts, ms after exec (median, min-max):" % len(runs))
        for k in order:
            v = [r["steps"].get(k) for r in runs]
            v = [x for x in v if x is not None]
            print("  %-18s %7.1f   (%.1f-%.1f)" % (k, median(v), min(v), max(v)))
        for k in ("splash seen", "main window seen"):
            v = [r[k] for r in runs if k in r]
            print("  %-18s %7.1f   (%.1f-%.1f)   from outside" % (k, median(v), min(v), max(v)))
    excluded = [r["main window seen"] - r["sound"] for r in runs if "sound" in r]
    print("| Splash on screen after exec | %.0f ms | median of %d; target <= 120 ms |"
          % (median([r.get("splash seen") for r in runs]), len(runs)))
    without_sound = median([r["main window seen"] for r in runs]) - sound_ms
    if excluded:
        print("| Start-up to main window, start sound excluded | %.0f ms | the time in the start sound "
              "taken out; (%.0f ms with only the sound's %.0f ms taken out); target < 200 ms |"
              % (median(excluded), without_sound, sound_ms))
    else:
        print("| Start-up to main window, start sound excluded | %.0f ms | the sound's %.0f ms taken out "
              "(the program wrote no stamps); target < 200 ms |" % (without_sound, sound_ms))
    print("| Resident memory, idle main window | %.1f MB | anonymous %.1f MB, heap %.1f MB; target < 64 MB |"
          % (median([r["rss"] for r in runs]) / 1024.0, median([r["anon"] for r in runs]) / 1024.0,
             median([r["heap"] for r in runs]) / 1024.0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
