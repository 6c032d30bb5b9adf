#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The running program's MIDI port, read beside its sound.

Under private PipeWire, WirePlumber and pipewire-pulse (Debian's own
configuration) the built program runs on a private X server and is played
with XTest keys.  The sink's monitor is recorded by graph_record (each
block stamped with the graph cycle it was played in) and a reader,
midi_read, is linked to the program's port (it prints each event's cycle,
clock.nsec, and its offset in frames).  Checked:

  1. the port's node (plinkora-midi, Midi/Source, port out of format
     "8 bit raw midi") is in the graph, linked to nothing by itself and
     so run in no cycle (in no node group); a JACK client under pw-jack
     sees it; once linked it is in the audio stream's node group, so the
     two share their cycles;
  2. the reader, linked while the program plays, first gets the present
     program (116), then exactly what is played: one note-on at velocity
     127 per strike with the note as sent (OPL.3 the cell's note, Nylon and
     NylonB an octave lower), a note-off just before a re-struck key's
     note-on, the ringing notes' note-offs then the program change at a
     tone change, and a note-off where a note died away by itself; a
     second reader linked later, slow to start, also first gets the
     present program;
  3. each note-on struck into silence stands in the cycle and at the
     offset where its sound starts at the sink: the first sample above
     -60 dBFS comes 0 to ALIGN_FRAMES frames after the event's frame (the
     tones sound 0.5-0.9 ms into their note, bench_onsets); a whole cycle
     off (128 frames or more) would fail.  The differences are printed.

With --external-synth the program is first started under its PulseAudio
output (PLINKORA_AUDIO_OUTPUT=pulse): no port is in the graph and it says
that only the wave sounds play; then under PipeWire with --external-synth,
read by a reader that answers the server's start 300 ms late (its link is
active before it runs in the cycles; it still gets the program first):
the port carries the program change and the notes while the sink hears
nothing of them, and the backing loop (Left) is still heard.

With PLINKORA_PIPEWIRE_STATS the program prints at exit the data thread's
time per cycle in the stream's and the port's process; they are printed
here (not asserted; bench/bench_midi_port_cost.py measures them).

  midi_port_program_e2e.py --program build/bin/plinkora --assets assets --artifacts DIR
      [--external-synth]

Exit status: 0 passed, 1 failed, 77 skipped (a server program missing).
"""
import os
import re
import shutil
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402
from desktop.children import now_ms  # noqa: E402
from midi_port_test import Lines, check_jack, pw  # noqa: E402

NODE, PORT = "plinkora-midi", "out"
READER = "plinkora-port-reader"
LEVEL = 1e-3            # -60 dBFS: where a note starts to be heard
# The tones sound 0.5-0.9 ms (24-43 frames at 48 kHz) after their note-on
# at LEVEL; a few frames more for where inside a frame the level is crossed.
ALIGN_FRAMES = 48
NOTE_OFF, NOTE_ON, PROGRAM = 0x80, 0x90, 0xC0
# Cycles the port's node may run in unlinked: those while a link is set up
# (in the group it would run in every cycle, hundreds in a run).
UNLINKED_CYCLES = 16
# Standard preset, no fret: KP_1 is cell (0, 0), note 81; KP_5 cell (1, 1), 72.
CELL = {"KP_1": 81, "KP_5": 72}


def sent_note(key, tone):
    return CELL[key] - (0 if tone == 116 else 12)


def describe(ev):
    names = {NOTE_OFF: "off", NOTE_ON: "on", PROGRAM: "program"}
    return ", ".join("%s %d" % (names.get(b[0] & 0xF0, hex(b[0])), b[1]) for _, _, b in ev)


class Port:
    """The reader linked to the program's port: its events as
    (cycle ns, offset, bytes), in order."""

    def __init__(self, run, start_late_ms=0, name=READER):
        """start_late_ms: the reader answers the server's start that late,
        as a busy program would."""
        self.run = run
        self.name = name
        self.taken = 0
        proc = run.children.start([os.path.join(run.bin, "midi_read"), "--name", name,
                                   "--start-late", str(start_late_ms)], run.env,
                                  name=name, stdout=subprocess.PIPE,
                                  stderr=open(os.path.join(run.out, name + ".log"), "wb"))
        self.lines = Lines(proc)
        e2e.poll("the reader", lambda: self.lines.starting("ready"), 10)
        e2e.poll("the reader's node", lambda: name + ":input" in pw(run.env, "pw-link", "-i").split(), 10, 0.1)

    def link(self):
        r = subprocess.run(["pw-link", "%s:%s" % (NODE, PORT), self.name + ":input"], env=self.run.env,
                           capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            raise e2e.Failure("pw-link %s:%s %s:input: %s" % (NODE, PORT, self.name, r.stderr.strip()))
        # The server sets a link up on its own time (formats, buffers, then
        # the nodes' schedules); the port's events flow once it is active.
        states = []
        try:
            e2e.poll("the link to become active", lambda: states.append(link_states(self.run.env)) or
                     states[-1] and all(st == "active" for st in states[-1]), 10, 0.05)
        except e2e.Failure as failure:
            raise e2e.Failure("%s; the links from the port: %s" % (failure, states[-1] if states else "none"))

    def expect_first(self, what, kinds):
        """As expect, saying on failure how the link and the reader stand."""
        try:
            return self.expect(what, kinds)
        except e2e.Failure as failure:
            self.lines.read()
            ran = self.lines.starting("S ")
            raise e2e.Failure("%s; the link: %s; the reader printed %d line(s), %s"
                              % (failure, link_states(self.run.env), len(self.lines.lines),
                                 "last 'S cycles buffers': %s" % ran[-1] if ran else "never ran"))

    def events(self):
        out = []
        for line in self.lines.starting("R "):
            f = line.split()
            out.append((int(f[1]), int(f[2]), tuple(int(x) for x in f[3:])))
        return out

    def expect(self, what, kinds, timeout=3.0, any_order=False):
        """Waits for the next len(kinds) events and checks their kinds and
        notes (kinds: (status, data1) pairs, in order unless any_order);
        returns them."""
        want = len(kinds)
        e2e.poll("the port's %s" % what, lambda: len(self.events()) >= self.taken + want, timeout, 0.02)
        got = self.events()[self.taken:self.taken + want]
        self.taken += want
        have = [(b[0], b[1]) for _, _, b in got]
        if (sorted(have) != sorted(kinds)) if any_order else (have != list(kinds)):
            raise e2e.Failure("%s: the port carried %s, expected %s"
                              % (what, describe(got), describe([(0, 0, k) for k in kinds])))
        for _, _, b in got:
            if b[0] == NOTE_ON and b[2] != 127:
                raise e2e.Failure("%s: a note-on at velocity %d" % (what, b[2]))
            if b[0] == PROGRAM and len(b) != 2:
                raise e2e.Failure("%s: a program change of %d bytes" % (what, len(b)))
        return got

    def nothing_more(self, what):
        extra = self.events()[self.taken:]
        if extra:
            raise e2e.Failure("%s: the port carried more: %s" % (what, describe(extra)))


def link_states(env):
    """The state of each link from the port's node ("active", or the state
    and the server's error)."""
    import json
    dump = json.loads(pw(env, "pw-dump") or "[]")
    ids = {obj.get("id") for obj in dump if obj.get("type") == "PipeWire:Interface:Node"
           and ((obj.get("info") or {}).get("props") or {}).get("node.name") == NODE}
    out = []
    for obj in dump:
        info = obj.get("info") or {}
        if obj.get("type") == "PipeWire:Interface:Link" and info.get("output-node-id") in ids:
            state = str(info.get("state"))
            out.append(state if state == "active" else "%s (%s)" % (state, info.get("error")))
    return out


def program_nodes(run):
    """The properties of the program's port node and stream node."""
    import json
    dump = json.loads(pw(run.env, "pw-dump") or "[]")
    nodes = {}
    for obj in dump:
        props = (obj.get("info") or {}).get("props") or {}
        if obj.get("type") == "PipeWire:Interface:Node" and props.get("node.name") in (NODE, "plinkora"):
            nodes[props["node.name"]] = props
    if NODE not in nodes or "plinkora" not in nodes:
        raise e2e.Failure("the graph has nodes %s, not the program's stream and port" % sorted(nodes))
    return nodes[NODE], nodes["plinkora"]


def check_node(run):
    """The port's node beside the stream, in no group and linked to nothing."""
    port, stream = program_nodes(run)
    group = "plinkora-%d" % run.program.pid
    if port.get("media.class") != "Midi/Source" or port.get("node.group") \
            or stream.get("node.group") != group:
        raise e2e.Failure("the port's node %s (group %s), the stream's group %s; expected Midi/Source in no "
                          "group, the stream in %s"
                          % (port.get("media.class"), port.get("node.group"), stream.get("node.group"), group))
    ports = pw(run.env, "pw-cli", "ls", "Port")
    if not re.search(r'format\.dsp = "8 bit raw midi"', ports) or "%s:%s" % (NODE, PORT) \
            not in pw(run.env, "pw-link", "-o").split():
        raise e2e.Failure("no 8 bit raw midi port %s:%s" % (NODE, PORT))
    if NODE in pw(run.env, "pw-link", "-l"):
        raise e2e.Failure("the port was linked by itself")
    e2e.log("the port's node %s (Midi/Source) in no group, the stream in node group %s; %s:%s not linked"
            % (NODE, group, NODE, PORT))


def check_grouped(run):
    """Linked, the port's node is in the stream's group."""
    group = "plinkora-%d" % run.program.pid
    e2e.poll("the linked port's node in group %s" % group,
             lambda: program_nodes(run)[0].get("node.group") == group, 5, 0.05)
    e2e.log("linked: the port's node joined the stream's node group %s" % group)


def onset_after(run, ns, offset, label):
    """Frames from the event at (cycle ns, offset) to the first sample of
    its sound at the sink; the sink must be silent from a cycle before."""
    mon, rate = run.monitor, run.monitor.rate
    at_ms = ns / 1e6 + offset * 1000.0 / rate
    mon.wait_until_covered(at_ms + 200.0, 5000)
    lr, t = mon.take(mon.index_at(ns / 1e6 - 6.0))
    x = np.abs(lr[:, 0].astype(np.float64))
    loud = np.nonzero((x > LEVEL) & (t < at_ms + 200.0))[0]
    if not len(loud):
        raise e2e.Failure("%s: nothing heard at the sink within 200 ms of its note-on" % label)
    first = int(loud[0])
    if t[first] < at_ms - 2.0 * 1000.0 / rate:
        raise e2e.Failure("%s: the sink was sounding %.2f ms before the note-on"
                          % (label, at_ms - t[first]))
    return int(round((t[first] - ns / 1e6) * rate / 1000.0)) - offset


def strike(run, port, key, tone, what, into_silence=True):
    """Strikes key; checks its note-on (and its alignment when struck into
    silence); returns the event and the frames to its sound."""
    if into_silence and not run.monitor.wait_for_silence(150.0, 8000):
        raise e2e.Failure("%s: the sink never fell silent" % what)
    note = sent_note(key, tone)
    run.screen.tap(key)
    ev = port.expect(what, [(NOTE_ON, note)])[0]
    if not into_silence:
        return ev, None
    frames = onset_after(run, ev[0], ev[1], what) if run.synth_heard else None
    if frames is not None:
        e2e.log("%s: note-on %d at offset %d of its cycle; its sound starts %d frames (%.2f ms) after it"
                % (what, note, ev[1], frames, frames * 1000.0 / run.monitor.rate))
    return ev, frames


def frames_between(a, b, rate=48000):
    return int(round((b[0] - a[0]) * rate / 1e9)) + b[1] - a[1]


def same_moment(what, evs):
    if len({(ns, off) for ns, off, _ in evs}) != 1:
        raise e2e.Failure("%s: not at one frame: %s" % (what, [(ns, off) for ns, off, _ in evs]))


def tone_change(port, what, ringing, program):
    """The ringing notes' note-offs at the close, then the new program where
    its own call lands: a few frames later (each call lands at its own
    frame, one period after it was made)."""
    evs = port.expect(what, [(NOTE_OFF, n) for n in ringing] + [(PROGRAM, program)], any_order=True)
    if evs[-1][2][0] != PROGRAM:
        raise e2e.Failure("%s: the program change came before the note-offs: %s" % (what, describe(evs)))
    if ringing:
        same_moment(what + "'s note-offs", evs[:-1])
        gap = frames_between(evs[0], evs[-1])
        if not 0 <= gap <= ALIGN_FRAMES:
            raise e2e.Failure("%s: the program change %d frames after the note-offs" % (what, gap))
    return evs


def start_x(run):
    run.start_x()
    if not run.screen.numlock_on():
        raise e2e.Failure("NumLock could not be turned on")


def start(run, args):
    """The program with `args`, its windows open."""
    run.env["PLINKORA_PIPEWIRE_STATS"] = "1"
    run.program_args = list(args)
    run.open_windows()


def said(run, log="plinkora.log"):
    with open(os.path.join(run.out, log), "rb") as f:
        return f.read().decode("utf-8", "replace")


def figures(run, log="plinkora.log"):
    """Prints the program's figures for its data thread; the port's node
    must have run only in cycles it was linked in (unlinked it is in no
    group, and no cycle wakes it), but for the few while a link is set up
    (it may join the group a cycle or so before its port has a format)."""
    for line in said(run, log).splitlines():
        if "per cycle" in line or "PipeWire cycles" in line:
            e2e.log("the program said:", line.replace("plinkora: ", ""))
        m = re.search(r"MIDI port [\d.]+ us over (\d+) cycles it ran in, (\d+) of them linked", line)
        if m and int(m.group(1)) - int(m.group(2)) > UNLINKED_CYCLES:
            raise e2e.Failure("the port's node ran in %s cycles, only %s of them linked" % m.groups())


def played(run):
    """The alignment run: the port read beside the sound, all three tones."""
    run.bin = os.path.dirname(run.args.program)
    run.synth_heard = True
    run.start_sound(keep_running=False, graph_clock=True)
    start_x(run)
    start(run, [])
    run.step = "the port's node"
    e2e.poll("the port's node", lambda: "%s:%s" % (NODE, PORT) in pw(run.env, "pw-link", "-o").split(), 10, 0.1)
    check_node(run)
    check_jack(run.env, run.bin)

    run.step = "the reader linked"
    port = Port(run)
    port.link()
    first = port.expect_first("first event", [(PROGRAM, 116)])
    e2e.log("linked: the first event is the present program, 116, at offset %d" % first[0][1])
    check_grouped(run)

    aligned = []
    tone = 116
    run.step = "OPL.3"
    ev, f = strike(run, port, "KP_1", tone, "OPL.3 KP_1")
    aligned.append(f)
    time.sleep(0.3)
    run.step = "a key struck again"
    run.screen.tap("KP_1")
    again = port.expect("a re-struck key", [(NOTE_OFF, 81), (NOTE_ON, 81)])
    same_moment("the re-struck key's note-off and note-on", again)
    time.sleep(0.3)

    run.step = "tone change to Nylon"
    run.screen.tap("Down")
    tone_change(port, "the tone change to Nylon", [81], 24)
    tone = 24
    ev, f = strike(run, port, "KP_5", tone, "Nylon KP_5")
    aligned.append(f)
    time.sleep(0.3)
    run.step = "tone change to NylonB"
    run.screen.tap("Down")
    tone_change(port, "the tone change to NylonB", [60], 32)
    tone = 32
    run.step = "NylonB, left to die away"
    ev, f = strike(run, port, "KP_1", tone, "NylonB KP_1")
    aligned.append(f)
    off = port.expect("NylonB's note dying away", [(NOTE_OFF, 69)], timeout=15.0)[0]
    e2e.log("NylonB's note ended by itself %.2f s after its note-on" % ((off[0] - ev[0]) / 1e9))

    run.step = "tone change to Nylon, nothing ringing"
    run.screen.tap("Up")
    tone_change(port, "the tone change to Nylon with nothing ringing", [], 24)
    tone = 24
    ev, f = strike(run, port, "KP_1", tone, "Nylon KP_1")
    aligned.append(f)
    time.sleep(0.3)
    run.step = "tone change to OPL.3"
    run.screen.tap("Up")
    tone_change(port, "the tone change to OPL.3", [69], 116)
    tone = 116
    ev, f = strike(run, port, "KP_5", tone, "OPL.3 KP_5")
    aligned.append(f)
    time.sleep(0.5)
    port.nothing_more("after the last strike")

    # A second program linked while the first listens, slow to start: it
    # too first gets the tone that plays (the first hears that program
    # again, which changes nothing for it), then the notes, as the first.
    run.step = "a second reader"
    second = Port(run, start_late_ms=300, name=READER + "-2")
    second.link()
    second.expect_first("the second reader's first event", [(PROGRAM, 116)])
    port.expect("the first reader, as the second joined", [(PROGRAM, 116)])
    strike(run, port, "KP_1", tone, "OPL.3 KP_1, two readers", into_silence=False)
    second.expect("the second reader's note", [(NOTE_ON, sent_note("KP_1", tone))])
    e2e.log("a second reader, linked late and slow to start: the present program, then the note")

    e2e.log("each note-on to its sound at the sink, frames: %s (allowed 0-%d; the tones sound 24-43 frames "
            "into their note)" % (" ".join(str(a) for a in aligned), ALIGN_FRAMES))
    bad = [a for a in aligned if not 0 <= a <= ALIGN_FRAMES]
    if bad:
        raise e2e.Failure("note-ons not where their sound starts: %s frames" % bad)
    run.close_window(with_take=False)
    figures(run)


def external(run):
    """No port under PulseAudio; under PipeWire with --external-synth the
    port carries the notes and the sink hears only the wave channel."""
    run.bin = os.path.dirname(run.args.program)
    run.synth_heard = False
    run.start_sound(keep_running=False, graph_clock=True)

    start_x(run)
    run.step = "under the PulseAudio output"
    run.env["PLINKORA_AUDIO_OUTPUT"] = "pulse"
    start(run, ["--external-synth"])
    time.sleep(0.5)
    if any(NODE in n for n in pw(run.env, "pw-link", "-o").split()):
        raise e2e.Failure("a MIDI port while the program plays through PulseAudio")
    if "only the wave sounds play" not in said(run):
        raise e2e.Failure("the program did not say that only the wave sounds play: %s" % said(run)[-300:])
    e2e.log("under PulseAudio: no port in the graph, and the program says only the wave sounds play")
    run.close_window(with_take=False)
    os.rename(os.path.join(run.out, "plinkora.log"), os.path.join(run.out, "plinkora-pulse.log"))
    del run.env["PLINKORA_AUDIO_OUTPUT"]

    run.step = "--external-synth under PipeWire"
    start(run, ["--external-synth"])
    e2e.poll("the port's node", lambda: "%s:%s" % (NODE, PORT) in pw(run.env, "pw-link", "-o").split(), 10, 0.1)
    port = Port(run, start_late_ms=300)
    port.link()
    port.expect_first("first event", [(PROGRAM, 116)])
    for key in ("KP_1", "KP_5"):
        ev, _ = strike(run, port, key, 116, "silenced OPL.3 " + key)
        at_ms = ev[0] / 1e6
        run.monitor.wait_until_covered(at_ms + 300.0, 5000)
        peak = run.monitor.peak(at_ms - 50.0, at_ms + 300.0)
        if peak >= LEVEL:
            raise e2e.Failure("%s: the silenced synthesizer was heard (peak %.4f)" % (key, peak))
    e2e.log("two strikes on the port, nothing of them at the sink")
    run.screen.tap("Down")
    tone_change(port, "the tone change to Nylon", [81, 72], 24)
    run.step = "the loop, still heard"
    pressed = now_ms()
    run.screen.tap("Left")
    run.monitor.wait_until_covered(pressed + 1500.0, 5000)
    onset, _early = run.monitor.first_sound_after(pressed, pressed + 1500.0)
    if onset is None:
        raise e2e.Failure("the backing loop was not heard with --external-synth")
    e2e.log("the backing loop heard %.1f ms after Left" % (onset - pressed))
    run.screen.tap("Left")
    port.nothing_more("the loop")
    run.close_window(with_take=False)
    figures(run)


def main():
    ap = e2e.script_arguments(__doc__)
    ap.add_argument("--external-synth", action="store_true", help="the run without the embedded synthesizer")
    args = ap.parse_args()
    args.sound_server = "pipewire"
    bin_dir = os.path.dirname(os.path.abspath(args.program))
    missing = [t for t in ("pw-link", "pw-cli", "pw-dump") if not shutil.which(t)]
    missing += [b for b in ("midi_read", "graph_record") if not os.access(os.path.join(bin_dir, b), os.X_OK)]
    if missing:
        print("SKIP: missing %s" % ", ".join(missing))
        return e2e.SKIP
    return e2e.run_script(args, external if args.external_synth else played)


if __name__ == "__main__":
    sys.exit(main())
