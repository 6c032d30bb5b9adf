# SPDX-License-Identifier: GPL-3.0-or-later
"""Recording a sink's monitor through libpulse (ctypes), with the moment
each sample was played.

Each sample's time is the moment the sink played it, on this process's
monotonic clock (children.now_ms): the time of a read, less the record
stream's latency as the server reports it at that read (sink to us,
interpolated between timing updates), less the samples read after it.  A
sample's time therefore does not depend on how much is read at once, and
is comparable with now_ms() taken when a key is sent.  The reads are done
in the stream's read callback, on libpulse's own thread, the time taken
and the latency asked for side by side, so that however long the callback
waits for the interpreter both see the same moment.

How much it asks to read at once does matter in another way: the null
sink renders as often as the most impatient reader or player asks, so a
monitor read in 64-frame pieces makes it pull the program's audio every
1.5 ms, which no sound card would, and shortens key-to-sound by about
5 ms.  The monitor therefore asks for 2048-frame pieces (46 ms), more than
any player does, and the program's own stream sets the sink's pace.
PipeWire's PulseAudio service reports a record stream's latency without
what waits in a large read, so there a 2048-frame read would time every
sample some 20 ms early; reads there are 64 frames, which do not lower
PipeWire's period below what the program asks for.  fragment_frames None
chooses so.
"""
import bisect
import collections
import ctypes
import os
import re
import struct
import subprocess
import sys
import threading
import time

import numpy as np

from .children import Failure, now_ms
from .pitch import SILENCE, first_sound

PA_SAMPLE_FLOAT32LE = 5
PA_STREAM_RECORD = 2


class _SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [("maxlength", ctypes.c_uint32), ("tlength", ctypes.c_uint32), ("prebuf", ctypes.c_uint32),
                ("minreq", ctypes.c_uint32), ("fragsize", ctypes.c_uint32)]


_pa = None
_NOTIFY = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
_REQUEST = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p)
PA_CONTEXT_READY, PA_CONTEXT_FAILED = 4, 5
PA_STREAM_READY, PA_STREAM_FAILED = 2, 3
# PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY
STREAM_FLAGS = 0x0002 | 0x0008 | 0x2000


def _libpulse():
    global _pa
    if _pa is None:
        lib = ctypes.CDLL("libpulse.so.0")
        P, I, U = ctypes.c_void_p, ctypes.c_int, ctypes.c_uint32
        for name, res, args in [
                ("pa_threaded_mainloop_new", P, []), ("pa_threaded_mainloop_get_api", P, [P]),
                ("pa_threaded_mainloop_start", I, [P]), ("pa_threaded_mainloop_stop", None, [P]),
                ("pa_threaded_mainloop_free", None, [P]), ("pa_threaded_mainloop_lock", None, [P]),
                ("pa_threaded_mainloop_unlock", None, [P]), ("pa_threaded_mainloop_wait", None, [P]),
                ("pa_threaded_mainloop_signal", None, [P, I]),
                ("pa_context_new", P, [P, ctypes.c_char_p]), ("pa_context_set_state_callback", None, [P, _NOTIFY, P]),
                ("pa_context_connect", I, [P, ctypes.c_char_p, I, P]), ("pa_context_get_state", I, [P]),
                ("pa_context_disconnect", None, [P]), ("pa_context_unref", None, [P]),
                ("pa_stream_new", P, [P, ctypes.c_char_p, ctypes.POINTER(_SampleSpec), P]),
                ("pa_stream_set_state_callback", None, [P, _NOTIFY, P]),
                ("pa_stream_set_read_callback", None, [P, _REQUEST, P]),
                ("pa_stream_set_overflow_callback", None, [P, _NOTIFY, P]),
                ("pa_stream_connect_record", I, [P, ctypes.c_char_p, ctypes.POINTER(_BufferAttr), U]),
                ("pa_stream_get_state", I, [P]),
                ("pa_stream_peek", I, [P, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]),
                ("pa_stream_drop", I, [P]),
                ("pa_stream_get_latency", I, [P, ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(I)]),
                ("pa_stream_disconnect", I, [P]), ("pa_stream_unref", None, [P])]:
            f = getattr(lib, name)
            f.restype, f.argtypes = res, args
        _pa = lib
    return _pa


def server_name(server=None, env=None):
    """The sound server's name as pactl reports it ("pulseaudio", or
    "PulseAudio (on PipeWire 0.3.65)"), or ""."""
    import os
    e = dict(env if env is not None else os.environ)
    if server:
        e["PULSE_SERVER"] = server
    try:
        out = subprocess.run(["pactl", "info"], env=e, capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""
    for line in out.splitlines():
        if line.startswith("Server Name:"):
            return line.split(":", 1)[1].strip()
    return ""


class Monitor:
    """Records a monitor source (float stereo) from the moment it is made.

    Samples are counted from the first one recorded: count(), samples(a, b)
    (mono, the channels' mean), left(a, b), times(a, b) in ms.  With
    keep_seconds only about that much is kept for looking back at (the
    oldest index kept is first_index()).  on_frames(lr, first_ms, frame_ms),
    when given, sees every piece as it arrives, on the recording thread."""

    def __init__(self, server=None, device="@DEFAULT_MONITOR@", rate=44100, fragment_frames=None,
                 keep_seconds=None, on_frames=None, wait_for_data=5.0):
        self._setup(rate, keep_seconds, on_frames)
        self.server_name = server_name(server)
        if fragment_frames is None:
            fragment_frames = 64 if "PipeWire" in self.server_name else 2048
        self.fragment_frames = max(16, int(fragment_frames))
        self._connect(server, device)
        self._wait_for_data(wait_for_data)

    def _setup(self, rate, keep_seconds, on_frames):
        self.rate = rate
        self.frame_ms = 1000.0 / rate
        self.keep = int(keep_seconds * rate) if keep_seconds else None
        self.on_frames = on_frames
        self.lock = threading.Lock()
        self._buf = np.zeros((1 << 16, 2), dtype=np.float32)
        self._n = 0          # samples held in _buf
        self._base = 0       # index of _buf[0] since the start
        self._chunk_at = []  # index of each read's first sample
        self._chunk_ms = []  # and its time
        self.error = None
        self.overflows = 0   # the recording lost data on our side (what was lost reads as silence)
        self._reads = collections.deque(maxlen=1024)   # (index after a read, its time)
        # Reads of 64 frames come every 1.5 ms: let the threads take turns often.
        sys.setswitchinterval(min(sys.getswitchinterval(), 0.0005))

    def _wait_for_data(self, wait_for_data):
        # The monitor of an idle null sink delivers nothing for a while, and
        # what it has held back then comes in a burst, faster than it plays,
        # while the latency reports catch up: wait until half a second of
        # sound has taken half a second to arrive.
        end = now_ms() + wait_for_data * 1000.0
        while not self.settled() and now_ms() < end and self.error is None:
            threading.Event().wait(0.01)

    def _connect(self, server, device):
        pa = _libpulse()
        self._loop = pa.pa_threaded_mainloop_new()
        self._ctx = pa.pa_context_new(pa.pa_threaded_mainloop_get_api(self._loop), b"plinkora-driver")
        self._stream = None
        # kept, or the callbacks would be freed under libpulse
        self._cbs = [_NOTIFY(lambda *_: pa.pa_threaded_mainloop_signal(self._loop, 0)), _REQUEST(self._on_read),
                     _NOTIFY(self._on_overflow)]
        pa.pa_context_set_state_callback(self._ctx, self._cbs[0], None)
        if pa.pa_context_connect(self._ctx, server.encode() if server else None, 0, None) < 0:
            self.close()
            raise Failure("no sound server")
        pa.pa_threaded_mainloop_lock(self._loop)
        try:
            pa.pa_threaded_mainloop_start(self._loop)
            while pa.pa_context_get_state(self._ctx) != PA_CONTEXT_READY:
                if pa.pa_context_get_state(self._ctx) >= PA_CONTEXT_FAILED:
                    raise Failure("no sound server")
                pa.pa_threaded_mainloop_wait(self._loop)
            sample_format = _SampleSpec(PA_SAMPLE_FLOAT32LE, self.rate, 2)
            self._stream = pa.pa_stream_new(self._ctx, b"monitor", ctypes.byref(sample_format), None)
            pa.pa_stream_set_state_callback(self._stream, self._cbs[0], None)
            pa.pa_stream_set_read_callback(self._stream, self._cbs[1], None)
            pa.pa_stream_set_overflow_callback(self._stream, self._cbs[2], None)
            attr = _BufferAttr(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, self.fragment_frames * 8)
            pa.pa_stream_connect_record(self._stream, device.encode(), ctypes.byref(attr), STREAM_FLAGS)
            while pa.pa_stream_get_state(self._stream) != PA_STREAM_READY:
                if pa.pa_stream_get_state(self._stream) >= PA_STREAM_FAILED:
                    raise Failure("cannot record %s" % device)
                pa.pa_threaded_mainloop_wait(self._loop)
        except Failure:
            pa.pa_threaded_mainloop_unlock(self._loop)
            self.close()
            raise
        pa.pa_threaded_mainloop_unlock(self._loop)

    def _on_overflow(self, _stream, _userdata):
        with self.lock:
            self.overflows += 1

    def _on_read(self, stream, _nbytes, _userdata):
        pa = _libpulse()
        read_ms = now_ms()
        lat, neg = ctypes.c_uint64(0), ctypes.c_int(0)
        if pa.pa_stream_get_latency(stream, ctypes.byref(lat), ctypes.byref(neg)) < 0:
            lat.value = 0
        lat_ms = (-lat.value if neg.value else lat.value) / 1000.0
        pieces = []
        data, size = ctypes.c_void_p(), ctypes.c_size_t()
        while pa.pa_stream_peek(stream, ctypes.byref(data), ctypes.byref(size)) >= 0 and size.value:
            n = size.value // 8
            if data.value:
                pieces.append(np.frombuffer(ctypes.string_at(data.value, n * 8), dtype=np.float32).reshape(n, 2))
            else:
                pieces.append(np.zeros((n, 2), dtype=np.float32))   # a hole: silence
            pa.pa_stream_drop(stream)
        if not pieces:
            return
        lr = pieces[0] if len(pieces) == 1 else np.concatenate(pieces)
        # The newest sample of this read was played lat_ms ago.
        self._store(lr, read_ms - lat_ms - (len(lr) - 1) * self.frame_ms, read_ms)

    def _store(self, lr, first_ms, read_ms):
        """Keeps a piece that arrived at read_ms, its first sample played at first_ms."""
        frames = len(lr)
        try:
            if self.on_frames:
                self.on_frames(lr, first_ms, self.frame_ms)
        except Exception as e:   # a report, not a crash of libpulse's thread
            self.error = "on_frames: %s" % e
        with self.lock:
            if self._n + frames > len(self._buf):
                if self.keep and self._n > 2 * self.keep:
                    cut = self._n - self.keep
                    self._buf[:self._n - cut] = self._buf[cut:self._n]
                    self._n -= cut
                    self._base += cut
                    k = np.searchsorted(self._chunk_at, self._base, side="right") - 1
                    del self._chunk_at[:k], self._chunk_ms[:k]
                while self._n + frames > len(self._buf):
                    self._buf = np.concatenate((self._buf, np.zeros_like(self._buf)))
            self._chunk_at.append(self._base + self._n)
            self._chunk_ms.append(first_ms)
            self._buf[self._n:self._n + frames] = lr
            self._n += frames
            self._reads.append((self._base + self._n, read_ms))

    def settled(self):
        """True once the last half second of sound took as long to arrive."""
        with self.lock:
            if len(self._reads) < 2:
                return False
            n1, t1 = self._reads[-1]
            for n0, t0 in reversed(self._reads):
                if n1 - n0 >= self.rate // 2:
                    return abs((t1 - t0) - (n1 - n0) * self.frame_ms) < 20.0
            return False

    def close(self):
        pa = _libpulse()
        if getattr(self, "_loop", None):
            pa.pa_threaded_mainloop_stop(self._loop)
            if self._stream:
                pa.pa_stream_disconnect(self._stream)
                pa.pa_stream_unref(self._stream)
            pa.pa_context_disconnect(self._ctx)
            pa.pa_context_unref(self._ctx)
            pa.pa_threaded_mainloop_free(self._loop)
            self._loop = None

    # looking back --------------------------------------------------------
    def count(self):
        """Samples recorded so far."""
        with self.lock:
            return self._base + self._n

    def first_index(self):
        with self.lock:
            return self._base

    def _range(self, start, end):
        start = self._base if start is None else max(self._base, start)
        end = self._base + self._n if end is None else min(end, self._base + self._n)
        return start, max(start, end)

    def frames(self, start=None, end=None):
        """Stereo samples [start, end) as float32 (n, 2)."""
        with self.lock:
            a, b = self._range(start, end)
            return self._buf[a - self._base:b - self._base].copy()

    def samples(self, start=None, end=None):
        """The channels' mean [start, end), float64 (what a mono recording holds)."""
        return self.frames(start, end).astype(np.float64).mean(axis=1)

    def left(self, start=None, end=None):
        return self.frames(start, end)[:, 0].astype(np.float64)

    def times(self, start=None, end=None):
        """When each sample [start, end) was played, in ms."""
        return self.take(start, end)[1]

    def take(self, start=None, end=None):
        """Stereo samples [start, end) and their play times, from one look."""
        with self.lock:
            a, b = self._range(start, end)
            lr = self._buf[a - self._base:b - self._base].copy()
            # only the reads that brought these samples
            c0 = max(0, bisect.bisect_right(self._chunk_at, a) - 1)
            c1 = bisect.bisect_left(self._chunk_at, b)
            at = np.asarray(self._chunk_at[c0:c1], dtype=np.int64)
            ms = np.asarray(self._chunk_ms[c0:c1], dtype=np.float64)
        idx = np.arange(a, b, dtype=np.int64)
        if len(at) == 0:
            return lr, idx.astype(np.float64)
        c = np.maximum(np.searchsorted(at, idx, side="right") - 1, 0)
        return lr, ms[c] + (idx - at[c]) * self.frame_ms

    def first_ms(self):
        """When the oldest sample kept was played, or None."""
        with self.lock:
            if not self._n:
                return None
        return float(self.times(self.first_index(), self.first_index() + 1)[0])

    def last_ms(self):
        """When the newest sample was played, or None."""
        with self.lock:
            if not self._n:
                return None
            return self._chunk_ms[-1] + (self._base + self._n - 1 - self._chunk_at[-1]) * self.frame_ms

    def index_at(self, ms):
        """The first sample played at or after ms (count() when none yet)."""
        with self.lock:
            # the read that first starts at or after ms, and the two before it
            k = bisect.bisect_left(self._chunk_ms, ms)
            a = self._chunk_at[max(0, k - 2)] if self._chunk_at else self._base
            a = max(a, self._base)
        lr, t = self.take(a)
        later = np.nonzero(t >= ms)[0]
        return a + int(later[0]) if len(later) else a + len(t)

    def wait_until_covered(self, ms, timeout_ms):
        end = now_ms() + timeout_ms
        while True:
            last = self.last_ms()
            if last is not None and last >= ms:
                return True
            if now_ms() > end:
                return False
            threading.Event().wait(0.002)

    def peak(self, from_ms, until_ms):
        """Loudest |left sample| played in [from_ms, until_ms)."""
        lr, t = self.take(self.index_at(from_ms))
        sel = np.abs(lr[t < until_ms, 0])
        return float(sel.max()) if len(sel) else 0.0

    def save(self, path):
        from .pitch import write_wav
        write_wav(path, self.samples(), self.rate)

    def wait_for_silence(self, quiet_ms, timeout_ms, level=SILENCE):
        """Waits until the sink has played quiet_ms in a row below level
        (-60 dBFS); False when that has not happened within timeout_ms."""
        end = now_ms() + timeout_ms
        while True:
            last = self.last_ms()
            if last is not None and self.first_ms() <= last - quiet_ms \
                    and self.peak(last - quiet_ms, last + 1) < level:
                return True
            if now_ms() > end:
                return False
            threading.Event().wait(0.01)

    def first_sound_after(self, from_ms, until_ms, level=SILENCE):
        """(time, mistimed) of the first sound played in the left channel
        after from_ms (pitch.first_sound); time None when nothing is heard
        before until_ms."""
        a = max(self.first_index(), self.index_at(from_ms) - 2 * (self.rate // 1000))
        lr, t = self.take(a)
        return first_sound(lr[:, 0].astype(np.float64), t, from_ms, until_ms, self.rate, level)


GRAPH_HEADER = struct.Struct("<IIqQIIq")   # graph_record.cpp's BlockHeader
GRAPH_MAGIC = 0x31524750


def graph_recorder():
    """The graph_record program beside the built instrument, or None."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "..", "..", "build", "bin", "graph_record")
    return os.path.abspath(path) if os.access(path, os.X_OK) else None


def graph_offset_cycles(recorder, target, env=None, clicks=20):
    """How many cycles before the one a monitored block reaches us in the
    sink played it: 0 or 1, from clicks graph_record plays and finds again
    (--check), or None when neither reading puts nine in ten of them within
    50 microseconds of the moment they were played."""
    try:
        out = subprocess.run([recorder, "--check", str(clicks), "--target", target], env=env,
                             capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    for cycles, line in enumerate(out.splitlines()[:2]):
        m = re.search(r"(\d+) of (\d+) clicks found, (\d+) within", line)
        if m and int(m.group(2)) == clicks and int(m.group(3)) >= 0.9 * clicks:
            return cycles
    return None


class GraphMonitor(Monitor):
    """A PipeWire sink's monitor timed by the graph itself (graph_record):
    each block's samples were played from the start of the graph cycle the
    sink took them in, on the monotonic clock now_ms() reads, so the times
    are exact however late this process reads them.  offset_cycles (from
    graph_offset_cycles) says whether that cycle is the one the block came
    in or the one before.  The same looking-back calls as Monitor.

    The recorder is passive: it never keeps the graph running, so while
    nothing plays it delivers nothing (the sink idles as on a desktop).
    Made, it waits until the recorder is on the server (and half a second
    for the session manager to link it) and, with wait_for_data, until a
    tenth of a second has arrived; with wait_for_data 0 (nothing need be
    playing yet) no longer."""

    def __init__(self, target="bench_null", offset_cycles=0, keep_seconds=None, on_frames=None,
                 recorder=None, env=None, rate=48000, wait_for_data=5.0):
        self._setup(rate, keep_seconds, on_frames)
        self.server_name = "PipeWire graph"
        self.offset_cycles = offset_cycles
        recorder = recorder or graph_recorder()
        if not recorder:
            raise Failure("no graph_record program (build it)")
        self._connected = threading.Event()
        self._proc = subprocess.Popen([recorder, "--target", target, "--rate", str(rate)], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read_blocks, daemon=True)
        self._reader.start()
        threading.Thread(target=self._read_said, daemon=True).start()
        if not self._connected.wait(10.0):
            self.close()
            raise Failure("graph_record did not reach the PipeWire server within 10 s")
        time.sleep(0.5)
        if wait_for_data:
            self._wait_for_data(wait_for_data)
            if not self.count():
                self.close()
                raise Failure("the graph's monitor delivered nothing")

    def wait_for_silence(self, quiet_ms, timeout_ms, level=SILENCE):
        """As Monitor's; besides, a graph that has delivered nothing for
        quiet_ms is idle: nothing plays."""
        end = now_ms() + timeout_ms
        while True:
            with self.lock:
                arrived = self._reads[-1][1] if self._reads else None
            if arrived is None or now_ms() - arrived > quiet_ms + 50.0:
                return True
            last = self.last_ms()
            if self.first_ms() <= last - quiet_ms and self.peak(last - quiet_ms, last + 1) < level:
                return True
            if now_ms() > end:
                return False
            threading.Event().wait(0.01)

    def _read_said(self):
        for line in self._proc.stderr:
            if b"connected" in line:
                self._connected.set()
            elif line.startswith(b"graph_record:"):
                self.error = line.decode("utf-8", "replace").strip()

    def _read_blocks(self):
        f = self._proc.stdout
        while True:
            head = f.read(GRAPH_HEADER.size)
            if len(head) < GRAPH_HEADER.size:
                return
            magic, frames, cycle_ns, _ticks, rate, last_cycle, _delay = GRAPH_HEADER.unpack(head)
            if magic != GRAPH_MAGIC:
                self.error = "graph_record: lost the block boundaries"
                return
            body = f.read(frames * 8)
            if len(body) < frames * 8:
                return
            read_ms = now_ms()
            if rate and rate != self.rate:
                self.error = "the graph runs at %d Hz, not %d" % (rate, self.rate)
            start_ns = cycle_ns - (last_cycle * 1e9 / (rate or self.rate) if self.offset_cycles else 0)
            lr = np.frombuffer(body, dtype=np.float32).reshape(frames, 2)
            self._store(lr, start_ns / 1e6, read_ms)

    def settled(self):
        return self.count() >= self.rate // 10

    def close(self):
        p = getattr(self, "_proc", None)
        if p and p.poll() is None:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if p and p.stdout:
            p.stdout.close()
        if p and p.stderr:
            p.stderr.close()


def open_monitor(clock="auto", target="bench_null", keep_seconds=None, on_frames=None, fragment_frames=None,
                 rate=None, wait_for_data=5.0):
    """The default sink's monitor, timed by the best clock there is: under
    PipeWire (with clock "auto" or "graph") the graph's own cycle times,
    checked first with clicks (graph_offset_cycles), waiting up to
    wait_for_data s for sound (0: none need be playing yet); otherwise the
    PulseAudio monitor stream's latency reports.  Says which on stderr."""
    name = server_name()
    recorder = graph_recorder()
    if clock == "graph" or (clock == "auto" and "PipeWire" in name and recorder):
        if not recorder:
            raise Failure("no graph_record program (build it)")
        offset = graph_offset_cycles(recorder, target)
        if offset is None:
            raise Failure("graph_record --check found its clicks at no steady moment: the graph clock is not trusted")
        print("monitor: %s's monitor timed by the graph's cycles (checked: played %d cycle(s) before it is "
              "delivered)" % (target, offset), file=sys.stderr)
        return GraphMonitor(target, offset, keep_seconds=keep_seconds, on_frames=on_frames,
                            rate=rate or 48000, wait_for_data=wait_for_data)
    print("monitor: timed by the monitor stream's latency reports (%s)" % (name or "no server name"),
          file=sys.stderr)
    return Monitor(rate=rate or 44100, keep_seconds=keep_seconds, on_frames=on_frames,
                   fragment_frames=fragment_frames)
