#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""What the MIDI port costs the running program's data thread.

Under private PipeWire, WirePlumber and pipewire-pulse (the end-to-end
harness, tests/e2e/harness.py) the built program strums for --seconds (a
strike every 100 ms through XTest, a tone change every 5 s) three times, at
a quantum held at 256 frames (PLINKORA_PIPEWIRE_QUANTUM, so the runs'
cycles compare): without the port (PLINKORA_MIDI_PORT=0), with it
unlinked, and with a reader (midi_read) linked to it.  Each run's figures
are the program's own (PLINKORA_PIPEWIRE_STATS, printed at exit): the data
thread's CPU time per cycle in all, the stream's process, and the port's
(mean; linked, its median and p99).  Prints them; asserts nothing.

  bench_midi_port_cost.py --program build/bin/plinkora --assets assets --artifacts DIR [--seconds 60]

Exit status: 0 measured, 1 failed, 77 skipped (a server program missing).
"""
import os
import re
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness as e2e  # noqa: E402
import midi_port_program_e2e as port_e2e  # noqa: E402
from midi_port_test import pw  # noqa: E402

PORT_NAME = "%s:%s" % (port_e2e.NODE, port_e2e.PORT)


def strum(run, seconds):
    keys = ["KP_%d" % k for k in range(1, 10)]
    end = time.monotonic() + seconds
    i = 0
    while time.monotonic() < end:
        run.screen.tap(keys[i % len(keys)])
        i += 1
        if i % 50 == 0:
            run.screen.tap("Down")
        time.sleep(0.1)
    return i


def cost(run):
    """The data thread's figures without the port, unlinked and linked."""
    run.bin = os.path.dirname(run.args.program)
    run.start_sound(keep_running=False, graph_clock=True)
    port_e2e.start_x(run)
    run.env["PLINKORA_PIPEWIRE_QUANTUM"] = "256"
    port = None
    rows = []
    for name, env, link in (("no port", {"PLINKORA_MIDI_PORT": "0"}, False), ("unlinked", {}, False),
                            ("linked", {}, True)):
        run.step = "strumming, port " + name
        run.env.pop("PLINKORA_MIDI_PORT", None)
        run.env.update(env)
        port_e2e.start(run, [])
        if link:
            port = port or port_e2e.Port(run)
            e2e.poll("the port's node", lambda: PORT_NAME in pw(run.env, "pw-link", "-o").split(), 10, 0.1)
            port.link()
        strikes = strum(run, run.args.seconds)
        run.close_window(with_take=False)
        text = port_e2e.said(run)
        log = "plinkora-%s.log" % name.replace(" ", "-")
        os.rename(os.path.join(run.out, "plinkora.log"), os.path.join(run.out, log))
        m = re.search(r"per cycle: CPU ([\d.]+) us in all; stream ([\d.]+) us over (\d+) cycles"
                      r"(?:; MIDI port ([\d.]+) us over (\d+) cycles it ran in, (\d+) of them linked \(median under "
                      r"([\d.]+) us, p99 under ([\d.]+) us; (\d+) first[;)])?", text)
        if not m:
            raise e2e.Failure("the program did not print its data thread's figures (%s)" % log)
        rows.append((name, strikes, m.groups()))
    e2e.log("data thread per cycle, %g s of strumming each (means; load average %s):"
            % (run.args.seconds, " ".join(open("/proc/loadavg").read().split()[:3])))
    for name, strikes, g in rows:
        e2e.log("  port %-8s  CPU %7s us in all, stream's process %6s us over %s cycles of 256 frames, port's "
                "process %s; %d strikes"
                % (name, g[0], g[1], g[2],
                   "%s us over %s cycles (%s linked: median under %s us, p99 under %s us; %s first)" % g[3:]
                   if g[3] else "none", strikes))
    run.env.pop("PLINKORA_MIDI_PORT", None)
    run.program_env = None


def main():
    ap = e2e.script_arguments(__doc__)
    ap.add_argument("--seconds", type=float, default=60, help="strumming in each of the three runs")
    args = ap.parse_args()
    args.sound_server = "pipewire"
    bin_dir = os.path.dirname(os.path.abspath(args.program))
    missing = [t for t in ("pw-link",) if not shutil.which(t)]
    missing += [b for b in ("midi_read", "graph_record") if not os.access(os.path.join(bin_dir, b), os.X_OK)]
    if missing:
        print("SKIP: missing %s" % ", ".join(missing))
        return e2e.SKIP
    return e2e.run_script(args, cost, logs=("plinkora-linked.log",))


if __name__ == "__main__":
    sys.exit(main())
