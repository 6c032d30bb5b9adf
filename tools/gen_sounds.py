#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Make Plinkora's two wave sounds: start.wav (the opening flourish played
under the splash) and 3crap2.wav (the background rhythm loop).

Each sound is written here as a Standard MIDI File, rendered by the
`fluidsynth` command-line program with the General MIDI soundfont
FluidR3_GM.sf2 into raw 32-bit float samples, and finished in Python (trim,
fades, seamless loop, level) into 44100 Hz 16-bit stereo PCM WAV.

Deterministic: fluidsynth renders offline (-F) on one core to float samples
(no dither); the conversion to 16 bits rounds without dither.

Needs: fluidsynth, fluid-soundfont-gm (Debian packages); only the Python 3
standard library.

Usage: gen_sounds.py [OUTDIR]   (default: ../assets next to this script)
"""
import array
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(HERE, "..", "assets")
SF2 = os.environ.get("PLINKORA_SF2", "/usr/share/sounds/sf2/FluidR3_GM.sf2")
RATE = 44100
PPQ = 480


# --------------------------------------------------------------------------
# Standard MIDI File writing

def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


class Track:
    def __init__(self):
        self.events = []  # (tick, order, bytes)
        self._n = 0

    def add(self, tick, data, prio=1):
        self.events.append((int(tick), prio, self._n, bytes(data)))
        self._n += 1

    def tempo(self, tick, bpm):
        us = int(round(60_000_000 / bpm))
        self.add(tick, b"\xff\x51\x03" + us.to_bytes(3, "big"), prio=0)

    def program(self, tick, ch, prog):
        self.add(tick, [0xC0 | ch, prog], prio=0)

    def cc(self, tick, ch, num, val):
        self.add(tick, [0xB0 | ch, num, val], prio=0)

    def note(self, tick, ch, key, vel, dur):
        self.add(tick, [0x90 | ch, key, vel], prio=2)
        self.add(tick + dur, [0x80 | ch, key, 0], prio=1)

    def smf(self, end_tick):
        evs = sorted(self.events, key=lambda e: (e[0], e[1], e[2]))
        body = bytearray()
        last = 0
        for tick, _, _, data in evs:
            body += vlq(tick - last) + data
            last = tick
        body += vlq(max(0, end_tick - last)) + b"\xff\x2f\x00"
        head = b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ)
        return head + b"MTrk" + struct.pack(">I", len(body)) + bytes(body)


# --------------------------------------------------------------------------
# rendering and sample helpers

def render(smf_bytes, gain=0.5):
    """Render an SMF with fluidsynth; returns (left, right) float lists."""
    with tempfile.TemporaryDirectory() as tmp:
        mid = os.path.join(tmp, "in.mid")
        raw = os.path.join(tmp, "out.raw")
        with open(mid, "wb") as f:
            f.write(smf_bytes)
        cmd = ["fluidsynth", "-n", "-i", "-q", "-g", str(gain), "-r", str(RATE),
               "-o", "synth.cpu-cores=1", "-o", "synth.reverb.active=1",
               "-o", "synth.chorus.active=0",
               "-T", "raw", "-O", "float", "-F", raw, SF2, mid]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        data = array.array("f")
        with open(raw, "rb") as f:
            data.frombytes(f.read())
    if sys.byteorder != "little":
        data.byteswap()
    return list(data[0::2]), list(data[1::2])


def peak(ch_l, ch_r):
    return max(max(abs(v) for v in ch_l), max(abs(v) for v in ch_r))


def scale(ch, g):
    return [v * g for v in ch]


def write_wav(path, left, right):
    frames = array.array("h")
    for a, b in zip(left, right):
        for v in (a, b):
            s = int(round(v * 32767.0))
            frames.append(32767 if s > 32767 else -32768 if s < -32768 else s)
    if sys.byteorder != "little":
        frames.byteswap()
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames.tobytes())


def db(x):
    return 20 * math.log10(x) if x > 0 else -999.0


# --------------------------------------------------------------------------
# start.wav: a plucked flourish on nylon guitar with a harp shimmer

def make_start():
    bpm = 120
    t = Track()
    t.tempo(0, bpm)
    GTR, HARP = 0, 1
    t.program(0, GTR, 24)    # Acoustic Guitar (nylon)
    t.program(0, HARP, 46)   # Orchestral Harp
    t.cc(0, GTR, 7, 120)
    t.cc(0, HARP, 7, 70)
    t.cc(0, GTR, 10, 58)
    t.cc(0, HARP, 10, 76)
    t.cc(0, GTR, 91, 60)
    t.cc(0, HARP, 91, 90)
    ms = PPQ * bpm / 60000.0  # ticks per millisecond
    # a quick rising arpeggio over the four "strings" of the default chord row
    arp = [(0, 57, 92), (85, 60, 88), (170, 64, 92), (255, 69, 100), (340, 72, 106)]
    for at, key, vel in arp:
        t.note(at * ms, GTR, key, vel, int(1700 * ms))
    # the closing strum, a C major 6/9 colour, rolled downward -> upward
    strum_at = 560
    chord = [48, 55, 60, 64, 69, 74, 76]
    for i, key in enumerate(chord):
        t.note((strum_at + 16 * i) * ms, GTR, key, 96 + 3 * i, int(2200 * ms))
    # harp sparkle on top, an octave up
    for i, key in enumerate((79, 84, 88)):
        t.note((strum_at + 40 + 60 * i) * ms, HARP, key, 70 - 6 * i, int(1800 * ms))
    end = int(3400 * ms)
    left, right = render(t.smf(end))
    # trim: start 4 ms before the first sound, keep 2.6 s in all
    thr = 1e-4
    first = next(i for i, (a, b) in enumerate(zip(left, right)) if abs(a) > thr or abs(b) > thr)
    s0 = max(0, first - int(0.004 * RATE))
    n = int(2.6 * RATE)
    left, right = left[s0:s0 + n], right[s0:s0 + n]
    # 2 ms fade in, 700 ms raised-cosine fade out
    fi = int(0.002 * RATE)
    fo = int(0.7 * RATE)
    for i in range(fi):
        g = i / fi
        left[i] *= g
        right[i] *= g
    for i in range(fo):
        g = 0.5 + 0.5 * math.cos(math.pi * (i + 1) / fo)
        left[n - fo + i] *= g
        right[n - fo + i] *= g
    g = 10 ** (-3.0 / 20) / peak(left, right)   # peak at -3 dBFS
    left, right = scale(left, g), scale(right, g)
    return left, right


# --------------------------------------------------------------------------
# 3crap2.wav: two bars of light percussion at 100 bpm, a seamless loop

LOOP_BPM = 100
LOOP_BARS = 2


def make_loop():
    bpm = LOOP_BPM
    bar = 4 * PPQ
    cycle = LOOP_BARS * bar
    L = int(round(RATE * 60.0 / bpm * 4 * LOOP_BARS))  # samples per cycle
    assert abs(L - RATE * 60.0 / bpm * 4 * LOOP_BARS) < 1e-6
    t = Track()
    t.tempo(0, bpm)
    DR = 9
    t.cc(0, DR, 7, 110)
    t.cc(0, DR, 91, 40)
    six = PPQ // 4  # a sixteenth
    cycles = 4
    for c in range(cycles):
        for b in range(LOOP_BARS):
            base = c * cycle + b * bar
            # kick: beats 1 and 3, a pickup before bar 2's downbeat
            for step, vel in ((0, 96), (8, 84)) + (((14, 56),) if b == 0 else ((10, 60),)):
                t.note(base + step * six, DR, 36, vel, six)
            # side stick on 2 and 4
            for step in (4, 12):
                t.note(base + step * six, DR, 37, 78, six)
            # closed hi-hat eighths, accented on the beat; open hat at the
            # very end of the cycle, closed again by the pedal on the 1
            for step in range(0, 16, 2):
                if b == LOOP_BARS - 1 and step == 14:
                    t.note(base + step * six, DR, 46, 56, 2 * six)
                else:
                    t.note(base + step * six, DR, 42, 70 if step % 4 == 0 else 48, six)
            if b == 0:
                t.note(base, DR, 44, 40, six)
            # shaker sixteenths, soft
            for step in range(16):
                t.note(base + step * six, DR, 82, 46 if step % 2 else 30, six)
            # congas: a light tumbao
            for step, key, vel in ((3, 63, 52), (6, 64, 60), (7, 64, 48), (11, 63, 50),
                                   (14, 62, 44), (15, 63, 46)):
                t.note(base + step * six, DR, key, vel, six)
    end = cycles * cycle + 2 * PPQ
    left, right = render(t.smf(end))
    need = 3 * L
    assert len(left) >= need, (len(left), need)
    # The loop is one cycle of the steady state, cut out of cycle 3 (from S
    # to S + L): everything that rings over from the cycle before is in its
    # start. The cut lies PRE samples before a downbeat, in the quiet just
    # ahead of the kick. The last N samples are crossfaded into the samples
    # S - N .. S - 1 of the rendering, which are exactly what precedes sample
    # S, so the wrap from the loop's end to its start is continuous (values
    # and slope) whatever the synthesiser's timing jitter.
    PRE = int(0.010 * RATE)
    S = 2 * L - PRE
    N = int(0.030 * RATE)
    yl = left[S:S + L]
    yr = right[S:S + L]
    for i in range(L - N, L):
        w = 0.5 - 0.5 * math.cos(math.pi * (i - (L - N) + 1) / N)
        yl[i] = (1 - w) * left[S + i] + w * left[S - L + i]
        yr[i] = (1 - w) * right[S + i] + w * right[S - L + i]
    g = 10 ** (-6.0 / 20) / peak(yl, yr)   # peak at -6 dBFS
    return scale(yl, g), scale(yr, g)


def report(name, left, right, loop=False):
    n = len(left)
    p = peak(left, right)
    rms = math.sqrt(sum(a * a + b * b for a, b in zip(left, right)) / (2 * n))
    msg = "%s: %.3f s, %d frames, peak %.2f dBFS, rms %.1f dBFS" % (name, n / RATE, n, db(p), db(rms))
    if loop:
        q = lambda v: int(round(v * 32767))
        jumps = []
        for ch in (left, right):
            steps = [abs(q(ch[i]) - q(ch[i - 1])) for i in range(1, n)]
            steps.sort()
            wrap = abs(q(ch[0]) - q(ch[-1]))
            jumps.append((wrap, steps[len(steps) // 2], steps[int(len(steps) * 0.99)]))
        msg += "; wrap jump L/R %d/%d (median step %d/%d, 99th pct %d/%d)" % (
            jumps[0][0], jumps[1][0], jumps[0][1], jumps[1][1], jumps[0][2], jumps[1][2])
    print(msg)


def main():
    os.makedirs(OUT, exist_ok=True)
    l, r = make_start()
    write_wav(os.path.join(OUT, "start.wav"), l, r)
    report("start.wav", l, r)
    l, r = make_loop()
    write_wav(os.path.join(OUT, "3crap2.wav"), l, r)
    report("3crap2.wav", l, r, loop=True)


if __name__ == "__main__":
    main()
