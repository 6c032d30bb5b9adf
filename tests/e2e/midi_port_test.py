#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The program's MIDI port node in a real PipeWire graph.

Under a private PipeWire, WirePlumber and pipewire-pulse (Debian's own
configuration), midi_port_feed (tests/desktop/) runs the program's own
PipeWireMidiPort with a scripted source.  Checked:

  1. the node (plinkora-midi, media class Midi/Source) and its port (out,
     "8 bit raw midi") are listed by pw-cli and pw-link, linked to nothing;
  2. while nothing is linked to it, PipeWire never runs the port's node;
  3. a reader linked to it (midi_read, which prints each event's cycle and
     offset) receives every event the port wrote, in the same graph cycle
     and at the same offset, with the same bytes: program changes of two
     bytes, note-ons and note-offs of three; Debian's pw-mididump, linked
     too, reads the same;
  4. a JACK client through PipeWire's JACK service (pw-jack, from
     pipewire-jack) sees it as a JACK MIDI output port.

  midi_port_test.py --bin build/bin --artifacts DIR

Exit status: 0 passed, 1 failed, 77 skipped (a server program missing).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from desktop import servers  # noqa: E402
from desktop.children import Children, Failure, log, poll  # noqa: E402

SKIP = 77
SINK = "midi_port_sink"
CYCLES = 60
NODE, PORT = "plinkora-midi", "out"
READER = "plinkora-test-reader"


class Lines:
    """A child's standard output, read as it comes."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        os.set_blocking(proc.stdout.fileno(), False)
        self.rest = b""

    def read(self):
        try:
            chunk = self.proc.stdout.read()
        except (BlockingIOError, TypeError):
            chunk = None
        if chunk:
            self.rest += chunk
            *done, self.rest = self.rest.split(b"\n")
            self.lines += [d.decode(errors="replace") for d in done]
        return self.lines

    def starting(self, prefix):
        return [line for line in self.read() if line.startswith(prefix)]


def pw(env, *argv):
    return subprocess.run(list(argv), env=env, capture_output=True, text=True, timeout=20).stdout


def events(lines, tag):
    """(cycle ns, offset, bytes) of each "W ..." or "R ..." line."""
    out = []
    for line in lines:
        f = line.split()
        if f[0] != tag:
            continue
        data = [int(x) for x in f[3:]]
        if tag == "W" and data[0] & 0xF0 in (0xC0, 0xD0):
            data = data[:2]
        out.append((int(f[1]), int(f[2]), tuple(data)))
    return out


def check_listed(env):
    ports = pw(env, "pw-cli", "ls", "Port")
    nodes = pw(env, "pw-cli", "ls", "Node")
    node = re.search(r'node\.name = "%s"(.*?)(?=\n\tid |\Z)' % NODE, nodes, re.S)
    if not node or 'media.class = "Midi/Source"' not in node.group(0):
        raise Failure("no node %s with media class Midi/Source in pw-cli ls Node:\n%s" % (NODE, nodes))
    if not re.search(r'format\.dsp = "8 bit raw midi"[^\n]*\n(?:[^\n]*\n)*?\s*port\.name = "%s"' % PORT, ports) \
            and not re.search(r'port\.name = "%s"(?:[^\n]*\n)*?\s*format\.dsp = "8 bit raw midi"' % PORT, ports):
        raise Failure("no 8 bit raw midi port %s in pw-cli ls Port:\n%s" % (PORT, ports))
    outs = pw(env, "pw-link", "-o").split()
    if "%s:%s" % (NODE, PORT) not in outs:
        raise Failure("pw-link -o does not list %s:%s: %s" % (NODE, PORT, outs))
    links = pw(env, "pw-link", "-l")
    if NODE in links:
        raise Failure("the port was linked by itself:\n%s" % links)
    log("listed: node %s (Midi/Source), port %s:%s (8 bit raw midi), not linked" % (NODE, NODE, PORT))


def check_jack(env, bin_dir):
    if not shutil.which("pw-jack") or not os.path.exists(os.path.join(bin_dir, "jack_ports")):
        log("JACK check skipped: pw-jack (pipewire-jack) or jack_ports (libjack headers) missing")
        return
    r = subprocess.run(["pw-jack", os.path.join(bin_dir, "jack_ports")], env=env, capture_output=True,
                       timeout=20)
    names = [line.split(b"\t")[0].decode(errors="replace") for line in r.stdout.splitlines()]
    if r.returncode != 0 or not any(n.endswith("Plinkora MIDI:" + PORT) for n in names):
        raise Failure("a JACK client does not see the port (status %d): %s %s"
                      % (r.returncode, names, r.stderr.decode(errors="replace")))
    log("a JACK client sees it:", [n for n in names if "Plinkora" in n])


def run(args, children, tmp, out):
    env = servers.private_env(tmp)
    servers.start_pipewire(children, env, out, SINK)
    feed_p = children.start([os.path.join(args.bin, "midi_port_feed"), "--cycles", str(CYCLES)], env,
                            name="midi_port_feed", stdout=subprocess.PIPE,
                            stderr=open(os.path.join(out, "feed.log"), "wb"))
    feed = Lines(feed_p)
    poll("the port's node", lambda: feed.starting("ready"), 10)
    poll("the node in the graph", lambda: "%s:%s" % (NODE, PORT) in pw(env, "pw-link", "-o").split(), 10, 0.1)
    check_listed(env)

    time.sleep(1.0)
    status = feed.starting("S ")
    if not status or status[-1].split()[1] != "0":
        raise Failure("the unlinked port's node ran: %s" % status[-1:])
    log("unlinked for 1 s: the node ran in no cycle")

    reader_p = children.start([os.path.join(args.bin, "midi_read"), "--name", READER], env, name="midi_read",
                              stdout=subprocess.PIPE, stderr=open(os.path.join(out, "reader.log"), "wb"))
    reader = Lines(reader_p)
    poll("the reader", lambda: reader.starting("ready"), 10)
    dump_p = children.start(["pw-mididump"], env, name="pw-mididump", stdout=subprocess.PIPE,
                            stderr=open(os.path.join(out, "pw-mididump.log"), "wb"))
    dump = Lines(dump_p)
    poll("pw-mididump's node", lambda: "midi-dump:input" in pw(env, "pw-link", "-i").split(), 10, 0.1)
    poll("the reader's node", lambda: READER + ":input" in pw(env, "pw-link", "-i").split(), 10, 0.1)
    for target in (READER + ":input", "midi-dump:input"):
        r = subprocess.run(["pw-link", "%s:%s" % (NODE, PORT), target], env=env, capture_output=True, text=True,
                           timeout=20)
        if r.returncode != 0:
            raise Failure("pw-link %s:%s %s: %s" % (NODE, PORT, target, r.stderr.strip()))
    log("linked to the reader and to pw-mididump")

    expected = CYCLES * 2 + (CYCLES + 7) // 8
    poll("the port's %d events" % expected, lambda: len(feed.starting("W ")) >= expected, 30, 0.1)
    poll("the reader's %d events" % expected, lambda: len(reader.starting("R ")) >= expected, 10, 0.1)
    time.sleep(0.3)
    written, read = events(feed.read(), "W"), events(reader.read(), "R")
    with open(os.path.join(out, "events.txt"), "w") as f:
        f.write("\n".join("%s | %s" % (w, r) for w, r in zip(written, read + [None] * len(written))))
    if written != read:
        bad = next(i for i, (w, r) in enumerate(zip(written + [None], read + [None])) if w != r)
        raise Failure("the reader's events differ from the port's from event %d: wrote %s, read %s"
                      % (bad, written[bad:bad + 3], read[bad:bad + 3]))
    cycles = sorted(set(ns for ns, _, _ in written))
    kinds = {b[0] & 0xF0 for _, _, b in written}
    if len(cycles) != CYCLES or kinds != {0x80, 0x90, 0xC0} or any(o != 0 for _, o, b in written if b[0] == 0xC0):
        raise Failure("not the script: %d cycles, kinds %s" % (len(cycles), sorted(kinds)))
    log("the reader got all %d events in their cycles at their offsets (%d cycles)" % (len(read), len(cycles)))

    # pw-mididump, linked a moment later, read the same from where it began.
    shown = [line for line in dump.read() if re.match(r"\s*\d+: ", line)]
    dumped = [(int(line.split(":")[0]), "Note On" in line, "Note Off" in line, "Program" in line) for line in shown]
    tail = [(o, b[0] & 0xF0 == 0x90, b[0] & 0xF0 == 0x80, b[0] & 0xF0 == 0xC0) for _, o, b in written]
    if len(dumped) < expected // 2 or dumped != tail[len(tail) - len(dumped):]:
        raise Failure("pw-mididump showed %d events, not the port's last ones: %s" % (len(dumped), shown[:6]))
    log("pw-mididump showed the last %d of them" % len(dumped))

    check_jack(env, args.bin)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--artifacts", required=True)
    args = ap.parse_args()
    missing = [t for t in servers.PIPEWIRE_TOOLS + ("pw-cli", "pw-link", "pw-mididump")
               if t != "Xvfb" and not shutil.which(t)]
    if missing:
        print("skipped: missing", ", ".join(missing))
        return SKIP
    out = os.path.abspath(args.artifacts)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    tmp = tempfile.mkdtemp(prefix="plinkora-midi-port-")
    children = Children()
    try:
        run(args, children, tmp, out)
    except Failure as e:
        print("FAIL:", e)
        return 1
    finally:
        children.stop_all()
        shutil.rmtree(tmp, ignore_errors=True)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
