#!/usr/bin/python3
"""End-to-end test of Plinkora.

Runs the built program on a virtual X server and a PulseAudio server of its
own, plays it with real key events (XTest), reads the window back from
screenshots and listens to the sound server's output:

  1. the splash, then the main window: 345 x 288, titled "Plinkora", its
     displays matching the committed pictures (note names read back);
  2. Down, F3 held, Numpad 5 sounds MIDI note 63 (311.1 Hz);
  3. Right switches to the POP preset: its note names, chord labels, button;
  4. Z, strikes, X, V and the Save dialog with a path containing a space:
     the saved file is a PCM WAV holding the struck notes at their pitches;
     C plays the take back;
  5. a second copy ends at once without a window;
  6. closing the window (WM_DELETE_WINDOW) ends the program with status 0
     and leaves its working folder empty (the temporary take is deleted).

  e2e_test.py --program build/bin/plinkora --assets assets --artifacts DIR
  e2e_test.py ... --latency 40     measure key-to-sound instead (no checks)

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb or PulseAudio here).
Screenshots, recordings and logs stay in the artifacts folder after a
failure (and with --keep).
"""
import argparse
import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import wave

SKIP = 77
RATE = 44100
SINK = "e2e_sink"

NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
QUALITIES = ["Maj.", "m", "7th", "m7"]
# Note boxes 0..10: (left, top) in the window, and their (row, string) cell.
NOTE_BOXES = [(136, 216), (176, 216), (216, 216), (136, 176), (176, 176), (216, 176),
              (136, 136), (176, 136), (216, 136), (256, 136), (256, 216)]
CELLS = [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (2, 0), (2, 1), (2, 2), (2, 3), (1, 3)]
PRESETS = {  # chord table, [row][string]
    0: [[69, 60, 64, 0], [67, 60, 64, 69], [69, 62, 66, 72]],
    1: [[67, 61, 64, 0], [67, 62, 67, 69], [69, 62, 66, 71]],
}
PRESET_NAMES = ["Standard", "POP"]
# Chord labels from the top line down: (root pitch class, quality index).
CHORD_LABELS = {0: [(2, 2), (0, 0), (8, 1)], 1: [(10, 3), (7, 0), (4, 3)]}
TONE_FRAMES = ["NylonB", "NylonB lit", "Nylon", "Nylon lit", "OPL.3", "OPL.3 lit"]

MAIN_SIZE = (345, 288)
SPLASH_SIZE = (344, 147)


def midi_hz(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


class Failure(Exception):
    pass


def log(*args):
    print("[%6.2f]" % (time.monotonic() - T0), *args, flush=True)


T0 = time.monotonic()


# --------------------------------------------------------------------------
# Child processes

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # PR_SET_PDEATHSIG: the servers go when this script goes, however it ends.
    _libc.prctl(1, signal.SIGTERM, 0, 0, 0)


class Children:
    """Processes started by this script, stopped by their ids at the end."""

    def __init__(self):
        self.procs = []   # (name, Popen)

    def start(self, name, argv, env, log_path=None, **kw):
        out = open(log_path, "wb") if log_path else subprocess.DEVNULL
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                             stdout=kw.pop("stdout", out), stderr=kw.pop("stderr", out),
                             preexec_fn=_die_with_parent, **kw)
        if log_path:
            out.close()
        self.procs.append((name, p))
        return p

    def stop(self, p, timeout=5.0):
        if p.poll() is None:
            try:
                p.send_signal(signal.SIGTERM)
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(5)
            except ProcessLookupError:
                pass

    def stop_all(self):
        for _name, p in reversed(self.procs):
            self.stop(p)
        self.procs.clear()


def poll(what, fn, timeout, interval=0.02):
    """Calls fn until it returns something true; Failure after timeout."""
    end = time.monotonic() + timeout
    while True:
        r = fn()
        if r:
            return r
        if time.monotonic() > end:
            raise Failure("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


# --------------------------------------------------------------------------
# Sound: the null sink's monitor, read through parec


class Monitor:
    """Reads the null sink's monitor (mono float) on a thread and keeps every
    sample with the arrival time of the chunk that brought it."""

    def __init__(self, children, env, latency_ms, log_path):
        self.buf = bytearray()
        self.arrivals = []   # (time.monotonic() on arrival, sample count after the chunk)
        self.lock = threading.Lock()
        self.proc = children.start(
            "parec",
            ["parec", "--raw", "--format=float32le", "--rate=%d" % RATE, "--channels=1",
             "--latency-msec=%d" % latency_ms, "-d", SINK + ".monitor", "-v"],
            env, stdout=subprocess.PIPE, stderr=open(log_path, "wb"))
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            try:
                data = os.read(fd, 1 << 16)
            except OSError:
                return
            t = time.monotonic()
            if not data:
                return
            with self.lock:
                self.buf += data
                self.arrivals.append((t, len(self.buf) // 4))

    def count(self):
        with self.lock:
            return len(self.buf) // 4

    def samples(self, start=0, end=None):
        import numpy as np
        with self.lock:
            n = len(self.buf) // 4
            end = n if end is None else min(end, n)
            start = max(0, min(start, end))
            return np.frombuffer(bytes(self.buf[start * 4:end * 4]), dtype="<f4").astype(np.float64)

    def arrival_of(self, index):
        """(arrival time, end index) of the chunk that brought sample index."""
        with self.lock:
            lo, hi = 0, len(self.arrivals) - 1
            while lo < hi:
                mid = (lo + hi) // 2
                if self.arrivals[mid][1] > index:
                    hi = mid
                else:
                    lo = mid + 1
            return self.arrivals[lo]

    def save(self, path):
        x = self.samples()
        write_wav(path, x)


def write_wav(path, x):
    import numpy as np
    pcm = (np.clip(x, -1, 1) * 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


def frame_rms(x, hop):
    import numpy as np
    n = len(x) // hop
    if n == 0:
        return np.zeros(0)
    return np.sqrt(np.mean(x[:n * hop].reshape(n, hop) ** 2, axis=1))


def find_onset(x, start, end, rate=RATE, floor=2e-3):
    """First sample index in [start, end) where a sound starts, or None.

    In 2 ms frames: the first frame whose level is over three times the
    loudest frame of the 50 ms that ended 10 ms before it (and over an
    absolute floor), so a note still ringing from an earlier strike does not
    hide a new one; then back to the first sample of that rise that stands
    clearly over the earlier level."""
    import numpy as np
    hop = int(rate * 0.002)
    look, gap = int(0.05 * rate) // hop, int(0.01 * rate) // hop
    first = max(0, start - (look + gap) * hop)
    seg = x[first:end]
    r = frame_rms(seg, hop)
    for i in range((start - first) // hop, len(r)):
        before = r[max(0, i - gap - look):max(0, i - gap)]
        level = before.max() if len(before) else 0.0
        if r[i] > floor and r[i] > 3.0 * level:
            lo = max(0, i - gap) * hop
            ground = np.abs(seg[max(0, lo - look * hop):lo])
            ground = ground.max() if len(ground) else 0.0
            peak = np.abs(seg[i * hop:(i + 1) * hop]).max()
            rise = np.abs(seg[lo:(i + 1) * hop])
            k = int(np.argmax(rise > max(2.0 * ground, 0.1 * peak)))
            return first + lo + k
    return None


def pitch(x, rate=RATE, fmin=60.0, fmax=1500.0):
    """Fundamental frequency by the YIN difference function (cumulative mean
    normalised), with parabolic interpolation of the period.  Returns
    (Hz, aperiodicity); Hz is None for a segment too quiet to measure."""
    import numpy as np
    x = np.asarray(x, dtype=np.float64)
    x = x - x.mean()
    if len(x) == 0 or np.sqrt(np.mean(x * x)) < 1e-4:
        return None, 1.0
    tau_max = int(rate / fmin)
    tau_min = max(2, int(rate / fmax))
    w = len(x) - tau_max
    if w < tau_max:
        raise ValueError("segment too short for pitch detection")
    nfft = 1 << int(np.ceil(np.log2(len(x) + w)))
    r = np.fft.irfft(np.fft.rfft(x, nfft) * np.conj(np.fft.rfft(x[:w], nfft)), nfft)[:tau_max + 1]
    cs = np.concatenate(([0.0], np.cumsum(x * x)))
    taus = np.arange(tau_max + 1)
    d = cs[w] + (cs[taus + w] - cs[taus]) - 2.0 * r
    d[0] = 0.0
    cm = np.ones_like(d)
    run = np.cumsum(d[1:])
    cm[1:] = d[1:] * taus[1:] / np.where(run > 0, run, 1e-12)
    tau = None
    for t in range(tau_min, tau_max):
        if cm[t] < 0.15:
            while t + 1 < tau_max and cm[t + 1] < cm[t]:
                t += 1
            tau = t
            break
    if tau is None:
        tau = tau_min + int(np.argmin(cm[tau_min:tau_max]))
    a, b, c = cm[tau - 1], cm[tau], cm[tau + 1]
    den = a - 2 * b + c
    shift = 0.5 * (a - c) / den if den != 0 else 0.0
    return rate / (tau + shift), float(b)


# --------------------------------------------------------------------------
# X: windows, screenshots, XTest keys


class Screen:
    def __init__(self, display_name):
        from Xlib import display, X, XK
        from Xlib.ext import xtest
        self.X, self.XK, self.xtest = X, XK, xtest
        self.d = display.Display(display_name)
        self.root = self.d.screen().root
        if not self.d.has_extension("XTEST"):
            raise Failure("the X server has no XTEST extension")
        self.a_name = self.d.intern_atom("_NET_WM_NAME")
        self.a_utf8 = self.d.intern_atom("UTF8_STRING")
        self.a_pid = self.d.intern_atom("_NET_WM_PID")
        self.a_protocols = self.d.intern_atom("WM_PROTOCOLS")
        self.a_delete = self.d.intern_atom("WM_DELETE_WINDOW")

    # windows ------------------------------------------------------------
    def windows(self):
        """Mapped top-level windows: dicts with id, title, pid, x, y, w, h."""
        from Xlib.error import XError
        out = []
        for win in self.root.query_tree().children:
            try:
                if win.get_attributes().map_state != self.X.IsViewable:
                    continue
                g = win.get_geometry()
                prop = win.get_full_property(self.a_name, self.a_utf8)
                title = prop.value.decode("utf-8", "replace") if prop else (win.get_wm_name() or "")
                if isinstance(title, bytes):
                    title = title.decode("latin-1")
                pid = win.get_full_property(self.a_pid, self.X.AnyPropertyType)
                out.append(dict(win=win, id=win.id, title=title,
                                pid=int(pid.value[0]) if pid else None,
                                x=g.x, y=g.y, w=g.width, h=g.height))
            except XError:
                continue   # went away meanwhile
        return out

    def focus(self, win):
        win.set_input_focus(self.X.RevertToPointerRoot, self.X.CurrentTime)
        self.d.sync()
        return self.d.get_input_focus().focus.id == win.id

    def close(self, win):
        """What a window manager does when the user closes a window."""
        from Xlib import protocol
        ev = protocol.event.ClientMessage(
            window=win, client_type=self.a_protocols,
            data=(32, [self.a_delete, self.X.CurrentTime, 0, 0, 0]))
        win.send_event(ev, event_mask=0)
        self.d.sync()

    # pictures -----------------------------------------------------------
    def grab(self, x, y, w, h):
        """RGB pixels of a screen rectangle, as a numpy array (h, w, 3)."""
        import numpy as np
        img = self.root.get_image(x, y, w, h, self.X.ZPixmap, 0xFFFFFFFF)
        a = np.frombuffer(img.data, dtype=np.uint8).reshape(h, w, 4)
        return a[:, :, 2::-1].copy()   # BGRX -> RGB

    # keys ---------------------------------------------------------------
    def keycode(self, keysym_name):
        ks = self.XK.string_to_keysym(keysym_name)
        kc = self.d.keysym_to_keycode(ks)
        if not kc:
            raise Failure("no key for %s on the virtual keyboard" % keysym_name)
        return kc

    def press(self, keysym_name):
        self.xtest.fake_input(self.d, self.X.KeyPress, self.keycode(keysym_name))
        self.d.sync()

    def release(self, keysym_name):
        self.xtest.fake_input(self.d, self.X.KeyRelease, self.keycode(keysym_name))
        self.d.sync()

    def tap(self, keysym_name, hold=0.04):
        self.press(keysym_name)
        time.sleep(hold)
        self.release(keysym_name)
        time.sleep(0.02)

    def type_text(self, text):
        shift = self.keycode("Shift_L")
        for ch in text:
            ks = ord(ch)   # printable ASCII keysyms are their Latin-1 codes
            choices = [(kc, idx) for kc, idx in self.d.keysym_to_keycodes(ks) if idx in (0, 1)]
            if not choices:
                raise Failure("cannot type %r on the virtual keyboard" % ch)
            kc, idx = sorted(choices, key=lambda c: c[1])[0]
            if idx == 1:
                self.xtest.fake_input(self.d, self.X.KeyPress, shift)
            self.xtest.fake_input(self.d, self.X.KeyPress, kc)
            self.xtest.fake_input(self.d, self.X.KeyRelease, kc)
            if idx == 1:
                self.xtest.fake_input(self.d, self.X.KeyRelease, shift)
            self.d.sync()
            time.sleep(0.01)

    def numlock_on(self):
        """Turns NumLock on, so that the keypad sends its digits."""
        from Xlib import X
        state = self.d.get_keyboard_control().led_mask
        if not state & 2:   # LED 2 is Num Lock
            self.tap("Num_Lock")
        return bool(self.d.get_keyboard_control().led_mask & 2)


# --------------------------------------------------------------------------
# The committed pictures


class Artwork:
    def __init__(self, folder):
        import numpy as np
        from PIL import Image
        self.np = np

        def load(name):
            with Image.open(os.path.join(folder, name)) as im:
                return np.asarray(im.convert("RGB"), dtype=np.int16)

        self.notes = [load("note_%02d.gif" % k) for k in range(12)]
        self.roots = [load("root_%02d.jpg" % k) for k in range(12)]
        self.qualities = [load("quality_%d.jpg" % k) for k in range(4)]
        self.presets = {(on, k): load("preset_%s_%d.jpg" % ("on" if on else "off", k))
                        for on in (False, True) for k in (0, 1)}
        self.tones = [load("tone_%d.jpg" % k) for k in range(6)]
        self.rec_idle = load("recbot_0.jpg")
        self.rec_on = load("recind_1.jpg")
        self.splash = load("splash.jpg")

    def diff(self, shot, ref):
        """Mean absolute difference per channel, 0..255."""
        if shot.shape != ref.shape:
            return 255.0
        return float(self.np.abs(shot.astype(self.np.int16) - ref).mean())

    def best(self, shot, refs, tolerance):
        """Index of the picture that the shot shows, and its difference;
        index None unless it is within tolerance and clearly closer than any
        other (some frames differ from each other by little: two note names
        by 2.5 on average)."""
        diffs = [self.diff(shot, r) for r in refs]
        order = sorted(range(len(refs)), key=lambda i: diffs[i])
        k = order[0]
        clear = len(order) < 2 or diffs[k] < 0.5 * diffs[order[1]]
        return (k if diffs[k] <= tolerance and clear else None), diffs[k]


# Pictures drawn by the program are the committed ones, unscaled: GIF frames
# come out exact, JPEG frames within the rounding of two JPEG decoders.
GIF_TOLERANCE = 0.5
TOLERANCE = 1.5


class Panel:
    """The main window's displays as read back from a screenshot."""

    def __init__(self, art, shot):
        self.art = art
        self.shot = shot

    def crop(self, x, y, w, h):
        return self.shot[y:y + h, x:x + w]

    def note_names(self):
        names, diffs = [], []
        for x, y in NOTE_BOXES:
            k, dv = self.art.best(self.crop(x, y, 33, 33), self.art.notes, GIF_TOLERANCE)
            names.append("?" if k is None else NOTE_NAMES[k])
            diffs.append(dv)
        return names, diffs

    def read_names(self):
        """The note names with how far each box is from its closest picture."""
        names, diffs = self.note_names()
        return " ".join("%s(%.1f)" % nd for nd in zip(names, diffs))

    def chord_labels(self):
        out = []
        for row in range(3):
            r, _ = self.art.best(self.crop(56, 136 + 40 * row, 33, 33), self.art.roots, TOLERANCE)
            q, _ = self.art.best(self.crop(88, 136 + 40 * row, 40, 33), self.art.qualities, TOLERANCE)
            out.append("?" if r is None or q is None else "%s %s" % (NOTE_NAMES[r], QUALITIES[q]))
        return out

    def preset_buttons(self):
        """Which preset button is lit, or None when the pictures do not fit."""
        looks = []
        for k in (0, 1):
            shot = self.crop(56 + 120 * k, 112, 113, 17)
            on, off = self.art.diff(shot, self.art.presets[(True, k)]), self.art.diff(shot, self.art.presets[(False, k)])
            if min(on, off) > TOLERANCE:
                return None
            looks.append(on < off)
        return looks.index(True) if looks.count(True) == 1 else None

    def tone(self):
        k, _ = self.art.best(self.crop(296, 232, 41, 17), self.art.tones, TOLERANCE)
        return "?" if k is None else TONE_FRAMES[k]

    def recording_look(self):
        shot = self.crop(16, 264, 73, 17)
        on, idle = self.art.diff(shot, self.art.rec_on), self.art.diff(shot, self.art.rec_idle)
        if min(on, idle) > TOLERANCE:
            return None
        return on < idle


def expected_names(preset, fret=0):
    table = PRESETS[preset]
    return [NOTE_NAMES[(table[r][s] + fret) % 12] for r, s in CELLS]


def expected_labels(preset):
    return ["%s %s" % (NOTE_NAMES[r], QUALITIES[q]) for r, q in CHORD_LABELS[preset]]


# --------------------------------------------------------------------------
# The run


class Run:
    def __init__(self, args):
        self.args = args
        self.children = Children()
        self.tmp = tempfile.mkdtemp(prefix="plinkora-e2e-")
        self.out = os.path.abspath(args.artifacts)
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        self.shots = 0
        self.program = None
        self.screen = None
        self.monitor = None
        self.step = "setting up"

    # environment ---------------------------------------------------------
    def private_env(self):
        home = os.path.join(self.tmp, "home")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QT_", "PULSE_", "XDG_", "DBUS_", "WAYLAND_", "DISPLAY"))
               and k not in ("XAUTHORITY", "SESSION_MANAGER", "PLINKORA_DATA_DIR")}
        env.update({
            "HOME": home,
            "XDG_CACHE_HOME": os.path.join(self.tmp, "cache"),
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "XDG_RUNTIME_DIR": os.path.join(self.tmp, "xdg"),
            "PULSE_RUNTIME_PATH": os.path.join(self.tmp, "pulse"),
            "PULSE_STATE_PATH": os.path.join(self.tmp, "pulse-state"),
            "PULSE_SERVER": "unix:" + os.path.join(self.tmp, "pulse", "native"),
            # no session bus: nothing may start one (D-Bus autolaunch)
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(self.tmp, "no-bus"),
            "NO_AT_BRIDGE": "1",
        })
        for k in ("HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
                  "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"):
            os.makedirs(env[k], mode=0o700, exist_ok=True)
            os.chmod(env[k], 0o700)
        return env

    def start_x(self, autorepeat=(30000, 1000)):
        """A private Xvfb; autorepeat is (delay, interval) in milliseconds."""
        r, w = os.pipe()
        xvfb = self.children.start(
            "Xvfb",
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-dpi", "96",
             "-nolisten", "tcp", "-noreset",
             # by default a held key must not repeat during the test
             "-ardelay", str(autorepeat[0]), "-arinterval", str(autorepeat[1])],
            self.env, log_path=os.path.join(self.out, "xvfb.log"), pass_fds=(w,))
        os.close(w)
        got = b""
        end = time.monotonic() + 15
        while not got.endswith(b"\n"):
            if xvfb.poll() is not None or time.monotonic() > end:
                raise Failure("Xvfb did not start (see xvfb.log)")
            ready, _, _ = select.select([r], [], [], 0.2)
            if ready:
                chunk = os.read(r, 16)
                if not chunk:
                    raise Failure("Xvfb did not report its display")
                got += chunk
        os.close(r)
        self.env["DISPLAY"] = ":" + got.decode().strip()
        self.screen = Screen(self.env["DISPLAY"])
        log("Xvfb on display", self.env["DISPLAY"])

    def start_sound(self, latency_ms):
        socket = self.env["PULSE_SERVER"][len("unix:"):]
        self.children.start(
            "pulseaudio",
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--system=no", "--realtime=no", "--high-priority=no", "--log-target=stderr",
             "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket,
             "-L", "module-null-sink sink_name=%s rate=%d channels=2" % (SINK, RATE)],
            self.env, log_path=os.path.join(self.out, "pulseaudio.log"))

        def answers():
            return subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=5).returncode == 0
        poll("the sound server", answers, 15, 0.1)
        # A silent stream keeps the sink running, so that its monitor delivers
        # from the start.
        self.children.start("pacat", ["pacat", "--raw", "--format=s16le", "--rate=%d" % RATE,
                                      "--channels=2", "-d", SINK, "/dev/zero"], self.env)
        self.monitor = Monitor(self.children, self.env, latency_ms,
                               os.path.join(self.out, "parec.log"))
        first = None

        def flowing():
            nonlocal first
            n = self.monitor.count()
            if first is None and n > 0:
                first = (time.monotonic(), n)
            return first is not None and n - first[1] > RATE * 0.2
        poll("the sink's monitor to deliver", flowing, 20, 0.05)
        log("sound server up, monitor delivering")

    def launch(self, log_name):
        env = dict(self.env, QT_QPA_PLATFORM="xcb")
        return self.children.start("plinkora", [self.args.program], env,
                                   log_path=os.path.join(self.out, log_name), cwd=self.tmp)

    def save_picture(self, name, a):
        from PIL import Image
        self.shots += 1
        Image.fromarray(a).save(os.path.join(self.out, "%02d-%s.png" % (self.shots, name)))

    def snapshot(self, name, rect):
        a = self.screen.grab(*rect)
        self.save_picture(name, a)
        return a

    def settled(self, what, rect, timeout=5.0):
        """Waits until a screen rectangle stops changing (drawn and idle)."""
        last = [None]

        def same():
            a = self.screen.grab(*rect)
            same = last[0] is not None and (a == last[0]).all()
            last[0] = a
            return same
        poll(what, same, timeout, 0.1)

    def panel(self, name=None):
        rect = (self.main["x"], self.main["y"]) + MAIN_SIZE
        a = self.snapshot(name, rect) if name else self.screen.grab(*rect)
        return Panel(self.art, a)

    def wait_panel(self, what, check, timeout=3.0, name="panel"):
        """Polls screenshots until check(panel) is true; saves the last."""
        last = [None]

        def ok():
            last[0] = self.panel()
            return check(last[0])
        try:
            poll(what, ok, timeout, 0.03)
        finally:
            if last[0] is not None:
                self.save_picture(name, last[0].shot)
        return last[0]

    def listen_for_note(self, keysym, expected_hz, label, search=1.5, floor=2e-3):
        """Strikes a key and measures the pitch of what starts sounding."""
        start = self.monitor.count()
        self.screen.tap(keysym)
        end = start + int(search * RATE)
        found = [None]

        def heard():
            n = self.monitor.count()
            x = self.monitor.samples(0, min(n, end))
            found[0] = find_onset(x, start, len(x), RATE, floor)
            if found[0] is not None:
                return n >= found[0] + int(0.35 * RATE)
            return n >= end
        poll("%s to be heard" % label, heard, search + 3, 0.05)
        x = self.monitor.samples()
        onset = found[0]
        if onset is None:
            raise Failure("%s: no sound started within %.1f s of the key press "
                          "(peak level %.4f)" % (label, search, float(abs(x[start:end]).max())))
        f, _ = pitch(x[onset + int(0.03 * RATE):onset + int(0.33 * RATE)])
        log("%s: onset %.0f ms after the key press (monitor position), pitch %s Hz, expected %.1f Hz"
            % (label, 1000.0 * (onset - start) / RATE, "%.1f" % f if f else "none", expected_hz))
        if f is None or abs(f - expected_hz) > 4.0:
            raise Failure("%s: measured pitch %s Hz, expected %.1f Hz"
                          % (label, "%.1f" % f if f else "none", expected_hz))
        return onset

    # steps ---------------------------------------------------------------
    def open_windows(self):
        self.step = "1. splash and main window"
        self.program = self.launch("plinkora.log")
        pid = self.program.pid
        splash_seen = None
        main = None
        end = time.monotonic() + 30
        while main is None:
            if self.program.poll() is not None:
                raise Failure("the program ended during start-up with status %s" % self.program.returncode)
            if time.monotonic() > end:
                raise Failure("no main window titled Plinkora within 30 s (splash %s; windows: %s)"
                              % ("seen" if splash_seen else "never seen",
                                 [(w["title"], w["w"], w["h"]) for w in self.screen.windows()]))
            wins = [w for w in self.screen.windows() if w["pid"] == pid]
            for w in wins:
                if (w["w"], w["h"]) == SPLASH_SIZE and (splash_seen is None or splash_seen[1] > 0):
                    # the closest look while it is up: it may still be painting
                    shot = self.screen.grab(w["x"], w["y"], *SPLASH_SIZE)
                    dv = self.art.diff(shot, self.art.splash)
                    if splash_seen is None or dv < splash_seen[1]:
                        splash_seen = (w, dv, shot)
                if w["title"] == "Plinkora" and (w["w"], w["h"]) != SPLASH_SIZE:
                    main = w
                    if any((o["w"], o["h"]) == SPLASH_SIZE for o in wins):
                        raise Failure("the main window was shown while the splash was still up")
            time.sleep(0.02)
        self.main = main
        log("main window: %r %dx%d at (%d, %d)" % (main["title"], main["w"], main["h"], main["x"], main["y"]))
        if splash_seen is None:
            raise Failure("no splash window (%dx%d) was seen before the main window" % SPLASH_SIZE)
        w = splash_seen[0]
        log("splash: %dx%d at (%d, %d), differs from splash.jpg by %.2f"
            % (w["w"], w["h"], w["x"], w["y"], splash_seen[1]))
        self.save_picture("splash", splash_seen[2])
        if splash_seen[1] > TOLERANCE:
            raise Failure("the splash does not show splash.jpg (difference %.2f)" % splash_seen[1])
        if (main["w"], main["h"]) != MAIN_SIZE:
            raise Failure("main window is %dx%d, expected %dx%d" % ((main["w"], main["h"]) + MAIN_SIZE))
        if (main["x"], main["y"]) != (0, 0):
            raise Failure("main window at (%d, %d), expected the top-left corner" % (main["x"], main["y"]))
        want = expected_names(0)
        labels = expected_labels(0)
        try:
            p = self.wait_panel("the opening displays",
                                lambda p: p.note_names()[0] == want and p.chord_labels() == labels
                                and p.preset_buttons() == 0, name="opened")
        except Failure:
            p = self.panel()
            raise Failure("opening displays: note names %s (expected %s), chord labels %s (expected %s), "
                          "lit preset %s (expected 0), tone %s"
                          % (p.read_names(), want, p.chord_labels(), labels, p.preset_buttons(), p.tone()))
        log("note names read back:", " ".join(p.note_names()[0]), "| chords:", ", ".join(p.chord_labels()),
            "| tone:", p.tone())
        if not self.screen.focus(main["win"]):
            raise Failure("could not give the main window the keyboard focus")

    def strike_with_fret(self):
        self.step = "2. Down, F3 held, Numpad 5"
        s = self.screen
        s.tap("Down")
        self.wait_panel("the tone indicator to show Nylon", lambda p: p.tone().startswith("Nylon") and
                        not p.tone().startswith("NylonB"), name="tone-nylon")
        s.press("F3")
        want = expected_names(0, 3)
        try:
            self.wait_panel("names raised by fret 3", lambda p: p.note_names()[0] == want, name="fret3")
        except Failure:
            raise Failure("with F3 held the note boxes read %s, expected %s"
                          % (self.panel().read_names(), want))
        log("F3 held: names", " ".join(want))
        self.listen_for_note("KP_5", midi_hz(63), "Numpad 5 with F3 held (note 63)")
        s.release("F3")
        self.wait_panel("names back after F3 released", lambda p: p.note_names()[0] == expected_names(0),
                        name="fret-released")

    def switch_preset(self):
        self.step = "3. preset change (Right)"
        self.screen.tap("Right")
        want, labels = expected_names(1), expected_labels(1)
        try:
            p = self.wait_panel("the POP preset", lambda p: p.note_names()[0] == want and
                                p.chord_labels() == labels and p.preset_buttons() == 1, name="pop")
        except Failure:
            p = self.panel()
            raise Failure("after Right: note names %s (expected %s), chord labels %s (expected %s), lit preset %s"
                          % (p.read_names(), want, p.chord_labels(), labels, p.preset_buttons()))
        log("POP: names", " ".join(p.note_names()[0]), "| chords:", ", ".join(p.chord_labels()))

    def record_and_save(self):
        self.step = "4. recorder: Z, strikes, X, V, Save dialog"
        s = self.screen
        s.tap("z")
        self.wait_panel("the Rec button's recording look", lambda p: p.recording_look() is True, name="recording")
        time.sleep(0.2)
        # POP preset, Nylon: Numpad 1 = G4, Numpad 5 = D4, Numpad + = B4.
        strikes = [("KP_1", 67), ("KP_5", 62), ("KP_Add", 71)]
        times = []
        for key, note in strikes:
            times.append(time.monotonic())
            s.tap(key)
            time.sleep(0.8)
        s.tap("x")
        self.wait_panel("the Rec button's idle look", lambda p: p.recording_look() is False, name="stopped")
        temp = os.path.join(self.cache, "tempsound.wav")
        poll("the temporary take " + temp, lambda: os.path.isfile(temp), 3)

        s.tap("v")

        def dialog():
            for w in s.windows():
                if w["pid"] == self.program.pid and w["id"] != self.main["id"]:
                    return w
            return None
        dlg = poll("the Save dialog", dialog, 10)
        log("Save dialog: %r %dx%d" % (dlg["title"], dlg["w"], dlg["h"]))
        rect = (dlg["x"], dlg["y"], dlg["w"], dlg["h"])
        self.settled("the Save dialog to be drawn", rect)
        self.snapshot("save-dialog", rect)
        if not s.focus(dlg["win"]):
            raise Failure("could not give the Save dialog the keyboard focus")
        target = os.path.join(self.tmp, "saved takes", "my take.wav")
        os.makedirs(os.path.dirname(target))
        s.type_text(target)
        time.sleep(0.3)
        self.snapshot("save-dialog-typed", (dlg["x"], dlg["y"], dlg["w"], dlg["h"]))
        s.tap("Return")
        try:
            poll("the dialog to close", lambda: not any(w["id"] == dlg["id"] for w in s.windows()), 5)
        except Failure:
            self.snapshot("save-dialog-stuck", (dlg["x"], dlg["y"], dlg["w"], dlg["h"]))
            raise
        others = [w for w in s.windows() if w["pid"] == self.program.pid and w["id"] != self.main["id"]]
        if others:
            self.snapshot("message", (others[0]["x"], others[0]["y"], others[0]["w"], others[0]["h"]))
            raise Failure("a window %r appeared after saving (a message box?)" % others[0]["title"])
        sizes = []

        def written():
            # complete when it parses and its size holds over two looks
            try:
                with wave.open(target, "rb"):
                    pass
            except (OSError, EOFError, wave.Error):
                return False
            sizes.append(os.path.getsize(target))
            return len(sizes) >= 2 and sizes[-1] == sizes[-2]
        try:
            poll("the saved file " + target, written, 5, 0.1)
        except Failure:
            if not os.path.exists(target):
                raise Failure("no file was saved at %r (files there: %s)"
                              % (target, os.listdir(os.path.dirname(target))))
        if not os.path.exists(target):
            raise Failure("no file was saved at %r" % target)
        shutil.copy(target, os.path.join(self.out, "saved take.wav"))
        self.check_take(target, strikes, times)
        if not s.focus(self.main["win"]):
            raise Failure("could not give the main window the keyboard focus back")
        # C plays the stored take back: its first note is heard again.
        # (over the faint tail of earlier notes that the take begins with)
        self.listen_for_note("c", midi_hz(strikes[0][1]), "C (Play): the take's first note", floor=0.01)

    def check_take(self, path, strikes, times):
        import numpy as np
        try:
            with wave.open(path, "rb") as w:
                ch, width, rate, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
                raw = w.readframes(n)
        except (wave.Error, EOFError) as e:
            raise Failure("the saved file is not a PCM WAV: %s" % e)
        log("saved take: %d Hz, %d channel(s), %d-bit, %.2f s" % (rate, ch, 8 * width, n / rate))
        if width not in (1, 2, 3, 4) or n == 0:
            raise Failure("saved take has %d-byte samples and %d frames" % (width, n))
        if width == 1:
            x = (np.frombuffer(raw, np.uint8).astype(np.float64) - 128) / 128
        elif width == 2:
            x = np.frombuffer(raw, "<i2").astype(np.float64) / 32768
        elif width == 3:
            b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
            v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
            x = np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.float64) / (1 << 23)
        else:
            x = np.frombuffer(raw, "<i4").astype(np.float64) / (1 << 31)
        x = x.reshape(-1, ch).mean(axis=1)
        # Strikes stand well over whatever still rang when the take began.
        floor = 0.1 * float(frame_rms(x, int(0.002 * rate)).max())
        first = find_onset(x, int(0.06 * rate), len(x), rate, floor)
        if first is None:
            raise Failure("the saved take is silent (peak %.4f)" % float(np.abs(x).max()))
        found = []
        for (key, note), t in zip(strikes, times):
            expect = first + int((t - times[0]) * rate)
            onset = find_onset(x, expect - int(0.15 * rate), expect + int(0.25 * rate), rate, floor)
            if onset is None:
                raise Failure("saved take: no note starts near %.2f s (strike of %s); notes so far %s"
                              % (expect / rate, key, found))
            f, _ = pitch(x[onset + int(0.03 * rate):onset + int(0.33 * rate)], rate)
            found.append("%s at %.2f s: %s Hz (expected %.1f)"
                         % (key, onset / rate, "%.1f" % f if f else "none", midi_hz(note)))
            if f is None or abs(f - midi_hz(note)) > 4.0:
                raise Failure("saved take: wrong pitch: " + "; ".join(found))
        log("saved take holds:", "; ".join(found))

    def second_copy(self):
        self.step = "5. second copy"
        t = time.monotonic()
        second = self.launch("plinkora-second.log")
        seen = []

        def ended():
            seen.extend(w["title"] for w in self.screen.windows() if w["pid"] == second.pid)
            return second.poll() is not None
        try:
            poll("the second copy to end", ended, 5, 0.02)
        except Failure:
            raise Failure("a second copy was still running after 5 s (windows seen: %s)" % seen)
        log("second copy ended after %.2f s with status %d, windows seen: %s"
            % (time.monotonic() - t, second.returncode, seen or "none"))
        if seen:
            raise Failure("the second copy showed windows: %s" % seen)
        if self.program.poll() is not None:
            raise Failure("the first copy ended when the second started")
        mains = [w for w in self.screen.windows() if w["title"] == "Plinkora"]
        if len(mains) != 1:
            raise Failure("%d windows titled Plinkora after the second start" % len(mains))

    def close_window(self, with_take=True):
        self.step = "6. closing the window"
        left = sorted(os.listdir(self.cache))
        log("working folder before closing:", left)
        if with_take and "tempsound.wav" not in left:
            raise Failure("no temporary take in the working folder before closing: %s" % left)
        self.screen.close(self.main["win"])
        try:
            self.program.wait(10)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within 10 s of the close request")
        code = self.program.returncode
        left = sorted(os.listdir(self.cache)) if os.path.isdir(self.cache) else []
        log("program ended with status %d; working folder after: %s" % (code, left or "empty"))
        if code != 0:
            raise Failure("the program ended with status %d (negative: killed by that signal)" % code)
        if left:
            raise Failure("working files left after closing: %s" % left)

    # modes ---------------------------------------------------------------
    def test(self):
        self.start_sound(10)
        self.start_x()
        if not self.screen.numlock_on():
            raise Failure("NumLock could not be turned on")
        self.open_windows()
        self.strike_with_fret()
        self.switch_preset()
        self.record_and_save()
        self.second_copy()
        self.close_window()

    def latency(self, n):
        """Key-to-sound at the sound server, measured from outside.

        The time of a strike is taken just before its XTest key press, in this
        process.  The time of its sound is estimated from when the monitor's
        data reached us: the arrival time of the chunk that holds the onset,
        minus the onset's distance from that chunk's end, minus the latency
        that parec reports for its own stream (the monitor data is taken to
        leave the server as the sink plays it)."""
        import numpy as np
        self.start_sound(2)
        self.start_x()
        if not self.screen.numlock_on():
            raise Failure("NumLock could not be turned on")
        self.open_windows()
        s = self.screen
        s.tap("Down")   # Nylon: a clean, quick attack
        self.wait_panel("the tone indicator to show Nylon", lambda p: p.tone() in ("Nylon", "Nylon lit"))
        codes = [s.keycode(k) for k in ("KP_1", "KP_3")]
        results, missed = [], 0
        margin = int(0.1 * RATE)
        for i in range(n):
            time.sleep(0.3)
            code = codes[i % 2]
            start = self.monitor.count()
            t_press = time.monotonic()
            s.xtest.fake_input(s.d, s.X.KeyPress, code)
            s.d.sync()
            time.sleep(0.03)
            s.xtest.fake_input(s.d, s.X.KeyRelease, code)
            s.d.sync()
            end = start + int(0.25 * RATE)
            poll("the sound of strike %d" % (i + 1), lambda: self.monitor.count() >= end, 3, 0.01)
            x = self.monitor.samples(start - margin, end)
            rel = find_onset(x, margin, len(x))
            if rel is None:
                missed += 1
                continue
            onset = start - margin + rel
            arrival, chunk_end = self.monitor.arrival_of(onset)
            results.append(1000.0 * (arrival - (chunk_end - onset) / RATE - t_press))
        own = parec_latency_ms(os.path.join(self.out, "parec.log"))
        self.close_window(with_take=False)
        if not results:
            print("no onset found after any of the %d strikes" % n)
            return 1
        a = np.array(results) - own
        print("key-to-sound over %d strikes, %d without a detected onset:" % (n, missed))
        print("  median %.1f ms, p90 %.1f ms, max %.1f ms (min %.1f ms)"
              % (np.median(a), np.percentile(a, 90), a.max(), a.min()))
        print("  = monitor chunk arrival - onset's distance from the chunk end - parec's own "
              "reported latency (median %.1f ms)" % own)
        return 0

    def finish(self, ok):
        if self.program is not None and self.program.poll() is None:
            self.children.stop(self.program)
        if self.monitor is not None:
            try:
                self.monitor.save(os.path.join(self.out, "monitor.wav"))
            except Exception as e:   # the report matters more than the recording
                log("could not save the monitor recording:", e)
        self.children.stop_all()
        shutil.rmtree(self.tmp, ignore_errors=True)
        if ok and not self.args.keep:
            shutil.rmtree(self.out, ignore_errors=True)

    @property
    def cache(self):
        return os.path.join(self.env["XDG_CACHE_HOME"], "plinkora")


def parec_latency_ms(path):
    """Median of the latencies that parec -v reported ("Latency: N usec")."""
    import re
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return 0.0
    vals = sorted(int(m) / 1000.0 for m in re.findall(r"Latency: (-?\d+) usec", text))
    return vals[len(vals) // 2] if vals else 0.0


SERVER_TOOLS = ("Xvfb", "pulseaudio", "pactl", "parec", "pacat")


def script_arguments(doc):
    """The arguments every end-to-end script takes; callers add their own."""
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    ap.add_argument("--program", required=True, help="the built plinkora")
    ap.add_argument("--assets", required=True, help="the committed pictures (assets/)")
    ap.add_argument("--artifacts", required=True, help="folder for screenshots, recordings, logs")
    ap.add_argument("--keep", action="store_true", help="keep the artifacts after a pass too")
    return ap


def tools_missing(tools=SERVER_TOOLS):
    """True, having said so, when a program the script needs is not installed."""
    missing = [b for b in tools if not shutil.which(b)]
    if missing:
        print("SKIP: not installed: %s (scripts/install-deps.sh brings them)" % ", ".join(missing))
    return bool(missing)


def main():
    ap = script_arguments(__doc__)
    ap.add_argument("--latency", type=int, metavar="N", help="measure key-to-sound over N strikes")
    args = ap.parse_args()

    if tools_missing():
        return SKIP
    try:
        import numpy  # noqa: F401
        import PIL  # noqa: F401
        import Xlib  # noqa: F401
    except ImportError as e:
        print("FAIL: %s (scripts/install-deps.sh installs python3-numpy, python3-pil, python3-xlib)" % e)
        return 1
    if not os.access(args.program, os.X_OK):
        print("FAIL: no program at %s" % args.program)
        return 1

    args.program = os.path.abspath(args.program)
    args.assets = os.path.abspath(args.assets)
    run = Run(args)
    run.art = Artwork(args.assets)
    run.env = run.private_env()

    def on_signal(sig, _frame):
        raise Failure("stopped by signal %d" % sig)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    ok = False
    try:
        if args.latency:
            status = run.latency(args.latency)
            ok = status == 0
            return status
        run.test()
        ok = True
        log("PASS (%.1f s)" % (time.monotonic() - T0))
        return 0
    except Failure as e:
        print("FAIL at step %s: %s" % (run.step, e), flush=True)
        return 1
    except Exception:
        import traceback
        print("FAIL at step %s: the test itself broke:" % run.step)
        traceback.print_exc()
        return 1
    finally:
        run.finish(ok)
        if not ok:
            for name in ("plinkora.log", "plinkora-second.log"):
                p = os.path.join(run.out, name)
                if os.path.isfile(p) and os.path.getsize(p):
                    with open(p, "rb") as f:
                        tail = f.read()[-2000:].decode("utf-8", "replace")
                    print("--- %s (end) ---\n%s" % (name, tail))
            print("Screenshots, recordings and logs kept in", run.out)


if __name__ == "__main__":
    sys.exit(main())
