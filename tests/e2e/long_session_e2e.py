#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A long session of playing under PipeWire: the program keeps up.

Starts private PipeWire, WirePlumber and pipewire-pulse on Debian's own
configuration with nothing else playing, and the program on a private X
server, as an ordinary user with --ordinary-user (nobody, when run as
root), with RealtimeKit for it with --rtkit.  Then --seconds of playing in
phases of --phase seconds: the backing loop on (Left), a 4-note strum
every 100 ms (Numpad 7, 8, 9, +) and a tone change every 5 s; at the end
of each phase the loop off, and once the sink has fallen silent a probe
strike, Numpad 1 (A, 440 Hz in every tone), which must be heard at its
pitch within a second.  The loop must be heard in every phase and the
program must keep running.

Printed, never asserted (they are the machine's as much as the program's;
the benchmarks judge them): runs of exact silence at the sink while the
loop played (dropouts, bench_session's rule), each probe's key-to-sound on
the graph's clock, the periods the program said it played at, the cycles
it says it missed, and the scheduling of its threads.  With RealtimeKit
running, a minimal real-time client (pw_floor, as the program's user)
first shows whether it gives real-time priority; when it does, the
program's PipeWire data thread must have it too.

  long_session_e2e.py --program build/bin/plinkora --assets assets --artifacts DIR --sound-server pipewire
      [--seconds 90] [--phase 30] [--ordinary-user] [--rtkit]

Exit status: 0 passed, 1 failed, 77 skipped (a server program missing).
"""
import math
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402
from desktop.children import now_ms  # noqa: E402
from desktop.floor import floor_client, run_floor  # noqa: E402
from desktop.gaps import GapCounter  # noqa: E402
from desktop.pitch import SILENCE, longest_near_silence_ms  # noqa: E402
from desktop.playing import Strummer  # noqa: E402
from desktop.program import missed_cycles, pipewire_periods  # noqa: E402
from desktop.stats import cpu_seconds, scheduling, threads  # noqa: E402
from rest_e2e import strike_heard  # noqa: E402

A = e2e.midi_hz(69)


def floor_gets_realtime(run):
    """Whether RealtimeKit gives a minimal client real-time priority here:
    pw_floor for 2 s as the program's user."""
    if not floor_client():
        raise e2e.Failure("no pw_floor beside the program (build it)")
    env = dict(run.env)
    env.pop("PULSE_SERVER", None)
    user = run.ordinary_user()
    if user:
        run._user_env(user)   # the sockets reachable for it
    rows, runs, _held = run_floor(env, [256], 2, user=user, settle=0.5, label="RealtimeKit check")
    for row in rows:
        e2e.log(row)
    sched = runs.get(256, {}).get("scheduling", "")
    return sched.startswith(("SCHED_RR", "SCHED_FIFO")), sched


def loop_heard(mon, timeout_ms=5000):
    end = now_ms() + timeout_ms
    while now_ms() < end:
        last = mon.last_ms()
        if last is not None and mon.peak(last - 50, last + 1) > SILENCE:
            return True
        time.sleep(0.01)
    return False


def dropouts(mon, start, end, min_frames):
    """Runs of exact silence among what the sink played in [start, end)."""
    counter = GapCounter(min_frames)
    counter.window(start, end)
    lr, t = mon.take(mon.index_at(start))
    keep = t < end
    if keep.any():
        counter.feed(lr[keep], float(t[keep][0]), 1000.0 / mon.rate)
    counter.finish(1000.0 / mon.rate)
    return counter.gaps


def session(run):
    rtkit = run.start_realtimekit()
    run.start_sound(keep_running=False, graph_clock=True)
    run.start_x()
    if not run.screen.numlock_on():
        raise e2e.Failure("NumLock could not be turned on")
    floor_rt = None
    if rtkit:
        run.step = "RealtimeKit checked with a minimal client"
        floor_rt, sched = floor_gets_realtime(run)
        e2e.log("a minimal client as the program's user gets", sched or "nothing (it did not run)")
    run.open_windows()
    e2e.log("the program runs as", run.ordinary_user() or "this user")
    loop_wav = os.path.join(os.path.dirname(run.args.program), "..", "share", "plinkora", "3crap2.wav")
    quiet = longest_near_silence_ms(loop_wav)
    if quiet is None:
        raise e2e.Failure("cannot read the loop sound %s" % loop_wav)
    gap_ms = max(2.0, 2.0 * quiet)
    min_frames = int(math.ceil(gap_ms * run.monitor.rate / 1000.0))

    s, mon = run.screen, run.monitor
    cpu0, t0 = cpu_seconds(run.program.pid), now_ms()
    player = Strummer(s)

    def going():
        if run.program.poll() is not None:
            raise e2e.Failure("the program ended while being played (status %s)" % run.program.returncode)
        return True

    gaps, probes, phases = [], [], 0
    while now_ms() - t0 < run.args.seconds * 1000.0:
        phases += 1
        run.step = "phase %d: the loop on" % phases
        s.tap("Left")
        if not loop_heard(mon):
            raise e2e.Failure("phase %d: the loop was never heard" % phases)
        start = now_ms()
        until = min(start + run.args.phase * 1000.0, t0 + run.args.seconds * 1000.0)
        run.step = "phase %d: strums and tone changes" % phases
        player.play(until, going)
        end = now_ms()
        mon.wait_until_covered(end, 3000)
        found = dropouts(mon, start, end, min_frames)
        gaps += [((start - t0) / 1000.0 + at, ms) for at, ms in found]
        e2e.log("phase %d: %.0f s of the loop, strums and tone changes: %d dropout(s)%s"
                % (phases, (end - start) / 1000.0, len(found),
                   " (" + ", ".join("%.1f ms at %.2f s" % (ms, at) for at, ms in found) + ")" if found else ""))
        run.step = "phase %d: the loop off, a probe strike" % phases
        s.tap("Left")
        probes.append(strike_heard(run, "KP_1", A, "probe after phase %d" % phases))
    cpu = (cpu_seconds(run.program.pid) - cpu0) / ((now_ms() - t0) / 1000.0) * 100.0
    ts = threads(run.program.pid)
    said = open(os.path.join(run.out, "plinkora.log"), "rb").read().decode("utf-8", "replace")
    missed = missed_cycles(said)
    e2e.log("session: %.0f s, %d strums, %d tone changes, %d phases; dropouts (exact silence >= %.2f ms while "
            "the loop played): %d; probes heard after %s ms; CPU %.1f %% of a core"
            % ((now_ms() - t0) / 1000.0, player.strums, player.tone_changes, phases, gap_ms, len(gaps),
               " ".join("%.1f" % v for v in probes), cpu))
    e2e.log("periods the program said: %s; cycles it says it missed: %s"
            % (" -> ".join(str(p) for p in pipewire_periods(said)) or "none said",
               missed if missed is not None else "not said"))
    e2e.log("scheduling of the program's threads:", scheduling(run.program.pid))
    if floor_rt:
        realtime = [t for t in ts if t[2] in ("SCHED_FIFO", "SCHED_RR")]
        if not realtime:
            raise e2e.Failure("RealtimeKit gave a minimal client real-time priority, but no thread of the "
                              "program has it: %s" % ", ".join("%s %s" % (t[1], t[2]) for t in ts))
    run.close_window(with_take=False)


def main():
    ap = e2e.script_arguments(__doc__)
    ap.add_argument("--seconds", type=float, default=90.0, help="length of the session")
    ap.add_argument("--phase", type=float, default=30.0, help="seconds of playing between probe strikes")
    args = ap.parse_args()
    if args.sound_server != "pipewire":
        print("FAIL: long_session_e2e.py measures the PipeWire output: --sound-server pipewire")
        return 1
    return e2e.run_script(args, session)


if __name__ == "__main__":
    sys.exit(main())
