# SPDX-License-Identifier: GPL-3.0-or-later
"""Helpers shared by the install tests: a private virtual X server and
PulseAudio server, and a look at the windows the program opens.  Child
processes, waiting and screenshots are tests/desktop/'s."""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from desktop.children import T0, Children, Failure, log, poll  # noqa: E402,F401
from desktop.screen import connect  # noqa: E402

SKIP = 77
MAIN_SIZE = (345, 288)
SPLASH_SIZE = (344, 147)
APP_ID = "io.github.plinkora.Plinkora"
ICON_SIZES = (16, 32, 48, 64, 128, 256)


def check(cond, what, detail=""):
    """Passes or raises; the detail (a tool's output) is shown on failure only."""
    if not cond:
        raise Failure(what + ("\n" + detail if detail else ""))
    log("ok:", what)


class Servers:
    """Xvfb on a free display number and a PulseAudio daemon with a null
    sink, whose socket is put where the caller says (so that a chroot can
    reach it as a file of its own)."""

    def __init__(self, children, workdir, pulse_dir=None):
        self.children = children
        self.workdir = workdir
        self.pulse_dir = pulse_dir or os.path.join(workdir, "pulse")
        self.display = None
        self.xvfb = None
        self.pulse = None

    def start(self):
        n = next(n for n in range(150, 250)
                 if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n))
        self.display = ":%d" % n
        self.xvfb = self.children.start(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                        log_path=os.path.join(self.workdir, "xvfb.log"))
        os.makedirs(self.pulse_dir, exist_ok=True)
        os.chmod(self.pulse_dir, 0o755)
        self.socket = os.path.join(self.pulse_dir, "native")
        home = tempfile.mkdtemp(prefix="pulse-home-", dir=self.workdir)
        env = dict(os.environ, HOME=home, PULSE_RUNTIME_PATH=os.path.join(home, "runtime"))
        env.pop("PULSE_SERVER", None)
        self.pulse = self.children.start(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disable-shm=yes", "-L",
             "module-native-protocol-unix socket=%s auth-anonymous=1" % self.socket,
             "-L", "module-null-sink sink_name=package_null", "-L", "module-always-sink"],
            env=env, log_path=os.path.join(self.workdir, "pulse.log"))
        poll("the virtual X server", lambda: os.path.exists("/tmp/.X11-unix/X%d" % n), 20)
        poll("the sound server", lambda: os.path.exists(self.socket), 20)
        return self

    def client_env(self, socket_path=None):
        return {"DISPLAY": self.display, "PULSE_SERVER": "unix:" + (socket_path or self.socket)}


class Screen:
    def __init__(self, display_name):
        self.d = connect(display_name)
        self.root = self.d.screen().root

    def windows(self):
        """(window, title, WM_CLASS, (w, h), (x, y)) of every mapped window."""
        from Xlib.error import XError
        found = []

        def walk(w):
            try:
                children = w.query_tree().children
            except XError:
                return
            for c in children:
                try:
                    if c.get_attributes().map_state:
                        g = c.get_geometry()
                        pos = c.translate_coords(self.root, 0, 0)
                        found.append((c, c.get_wm_name(), c.get_wm_class(), (g.width, g.height),
                                      (-pos.x, -pos.y)))
                except XError:
                    continue
                walk(c)

        walk(self.root)
        return found

    def grab(self, size, pos):
        from PIL import Image
        from Xlib import X
        raw = self.root.get_image(pos[0], pos[1], size[0], size[1], X.ZPixmap, 0xFFFFFFFF)
        return Image.frombytes("RGB", size, raw.data, "raw", "BGRX")


def watch_start(screen, proc, timeout=40):
    """Follows the program's start: when the splash was first seen, when the
    main window "Plinkora" appeared, and that window's details."""
    splash_at = None

    def step():
        nonlocal splash_at
        if proc.poll() is not None:
            raise Failure("the program ended (status %s) before its main window appeared" % proc.returncode)
        for win, title, cls, size, pos in screen.windows():
            if size == SPLASH_SIZE and splash_at is None:
                splash_at = time.monotonic()
            if title == "Plinkora" and size == MAIN_SIZE:
                return {"window": win, "wm_class": cls, "size": size, "pos": pos, "at": time.monotonic()}
        return None

    main = poll('the main window "Plinkora"', step, timeout)
    main["splash_at"] = splash_at
    return main


def share_of_matching_pixels(image, reference, tolerance=24):
    """Share of the pixels of image within tolerance of reference (per channel)."""
    from PIL import Image, ImageChops
    ref = Image.open(reference).convert("RGB")
    if ref.size != image.size:
        ref = ref.crop((0, 0) + image.size)
    diff = ImageChops.difference(image, ref).convert("L").point(lambda v: 255 if v <= tolerance else 0)
    return diff.histogram()[255] / float(image.size[0] * image.size[1])


def wait_for_main_window_drawn(screen, main, background, share=0.5, timeout=10):
    """The share of the window that shows the panel's picture, once it stops
    changing (the first frames may still be grey)."""
    best = [0.0]

    def drawn():
        s = share_of_matching_pixels(screen.grab(main["size"], main["pos"]), background)
        best[0] = max(best[0], s)
        return s >= share

    try:
        poll("the panel to be drawn", drawn, timeout, interval=0.2)
    except Failure:
        pass
    return best[0]


def desktop_entry(path):
    """The [Desktop Entry] group of a desktop file as a dict."""
    entry, group = {}, None
    with open(path, encoding="utf-8") as fh:
        for line in fh:
            line = line.rstrip("\n")
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                k, v = line.split("=", 1)
                entry[k.strip()] = v.strip()
    return entry


def exec_argv(exec_line):
    """The command of an Exec line, its field codes (%f, %U, ...) dropped."""
    import shlex
    return [a for a in shlex.split(exec_line) if not (len(a) == 2 and a[0] == "%")]
