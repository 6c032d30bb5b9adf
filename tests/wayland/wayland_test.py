#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Plinkora in a Wayland session, on weston's headless backend.

Two sessions, each with a weston of its own (private XDG_RUNTIME_DIR), the
program started as a desktop would start it (no QT_QPA_PLATFORM):

  1. native Wayland: weston without XWayland, only WAYLAND_DISPLAY set.  The
     program must use Qt's Wayland plugin; read back from the client's side
     of the protocol (WAYLAND_DEBUG=client): a top-level "Plinkora" of
     345 x 288, after a splash of 344 x 147.
  2. XWayland: weston --xwayland, DISPLAY and WAYLAND_DISPLAY both set.  The
     program must take the X11 path: its window is an X window titled
     "Plinkora", 345 x 288, and it speaks no Wayland itself.

In both the start sound has to reach a private PulseAudio null sink (its
monitor is recorded), and weston's own screenshot has to show the panel
(the background picture around the displays) at 345 x 288.

  wayland_test.py --program build/bin/plinkora --assets assets --artifacts DIR

Exit status: 0 passed, 1 failed, 77 skipped (weston cannot start here).
Logs and screenshots stay in the artifacts folder.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from desktop.children import T0, Children, Failure, log, poll  # noqa: E402
from desktop.monitor import Monitor  # noqa: E402
from desktop import servers  # noqa: E402

SKIP = 77
SINK = "wl_sink"
MAIN_SIZE = (345, 288)
SPLASH_SIZE = (344, 147)
SCREEN = (1024, 768)
# Rectangles of the displays, which cover the background (left, top, w, h).
DISPLAYS = ([(x, y, 33, 33) for x, y in (
    (136, 216), (176, 216), (216, 216), (136, 176), (176, 176), (216, 176),
    (136, 136), (176, 136), (216, 136), (256, 136), (256, 216))]
    + [(56, y, 33, 33) for y in (136, 176, 216)] + [(88, y, 40, 33) for y in (136, 176, 216)]
    + [(56, 112, 113, 17), (176, 112, 113, 17), (296, 232, 41, 17), (0, 264, 9, 17)]
    + [(16 + 80 * k, 264, 73, 17) for k in range(4)])


class Skip(Exception):
    pass


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


# --------------------------------------------------------------------------
# What the client said to the compositor (WAYLAND_DEBUG=client)

REQ = re.compile(r"^\[[\d. ]+\]\s+-> (\w+)@(\d+)\.(\w+)\((.*)\)\s*$")


def wayland_toplevels(text):
    """Top-levels the client made, in order: dicts with title, geometry (the
    last set_window_geometry) and buffer (size of the last buffer attached to
    its surface)."""
    buffers = {}        # wl_buffer id -> (w, h)
    xdg_to_surface = {}
    toplevel_to_xdg = {}
    tops = {}           # xdg_toplevel id -> dict (current object with that id)
    order = []
    for line in text.splitlines():
        m = REQ.match(line)
        if not m:
            continue
        iface, oid, req, args = m.group(1), int(m.group(2)), m.group(3), m.group(4)
        if iface == "wl_shm_pool" and req == "create_buffer":
            a = [s.strip() for s in args.split(",")]
            bid = int(a[0].split("@")[1])
            buffers[bid] = (int(a[2]), int(a[3]))
        elif iface == "xdg_wm_base" and req == "get_xdg_surface":
            ids = re.findall(r"@(\d+)", args)
            xdg_to_surface[int(ids[0])] = int(ids[1])
        elif iface == "xdg_surface" and req == "get_toplevel":
            tid = int(re.findall(r"@(\d+)", args)[0])
            toplevel_to_xdg[tid] = oid
            t = dict(title=None, geometry=None, buffer=None, xdg=oid, surface=xdg_to_surface.get(oid))
            tops[tid] = t
            order.append(t)
        elif iface == "xdg_toplevel" and req == "set_title" and oid in tops:
            tops[oid]["title"] = args.strip().strip('"')
        elif iface == "xdg_surface" and req == "set_window_geometry":
            for t in tops.values():
                if t["xdg"] == oid:
                    t["geometry"] = tuple(int(v) for v in args.split(","))
        elif iface == "wl_surface" and req == "attach":
            bid = re.findall(r"wl_buffer@(\d+)", args)
            for t in tops.values():
                if t["surface"] == oid and bid and int(bid[0]) in buffers:
                    t["buffer"] = buffers[int(bid[0])]
        elif iface == "xdg_toplevel" and req == "destroy" and oid in tops:
            del tops[oid]
    return order


def x_windows(root):
    """Top-level X windows and, one level down, the windows that a window
    manager has put into frames of its own."""
    out = []
    try:
        for win in root.query_tree().children:
            out.append(win)
            try:
                out.extend(win.query_tree().children)
            except Exception:
                pass
    except Exception:
        pass
    return out


# --------------------------------------------------------------------------


class Run:
    def __init__(self, args):
        self.args = args
        self.children = Children()
        self.tmp = tempfile.mkdtemp(prefix="plinkora-wayland-")
        self.out = os.path.abspath(args.artifacts)
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        self.env = self.private_env()
        self.monitor = None
        self.background = None
        self.weston_started = False

    def private_env(self):
        env = servers.private_env(self.tmp)
        # each weston gets a runtime folder of its own
        for k in ("XDG_RUNTIME_DIR", "XDG_DATA_HOME"):
            env.pop(k)
        return env

    # sound ---------------------------------------------------------------
    def start_sound(self):
        server = servers.start_pulseaudio(self.children, self.env, os.path.join(self.out, "pulseaudio.log"), SINK)
        self.monitor = Monitor(server=server, device=SINK + ".monitor")
        if not self.monitor.count():
            raise Failure("the sink's monitor delivers nothing")
        log("sound server up, monitor recording")

    def monitor_position(self):
        return self.monitor.count()

    def peak_since(self, start):
        x = self.monitor.samples(start)
        return float(abs(x).max()) if len(x) else 0.0

    # weston --------------------------------------------------------------
    def start_weston(self, name, xwayland):
        runtime = os.path.join(self.tmp, "xdg-" + name)
        os.makedirs(runtime, mode=0o700)
        env = dict(self.env, XDG_RUNTIME_DIR=runtime)
        socket = "plinkora-" + name
        wlog = os.path.join(self.out, "weston-%s.log" % name)
        argv = ["weston", "--backend=headless-backend.so", "--socket=" + socket,
                "--width=%d" % SCREEN[0], "--height=%d" % SCREEN[1], "--use-pixman",
                "--idle-time=0", "--debug", "--log=" + wlog]
        if xwayland:
            argv.append("--xwayland")
        p = self.children.start(argv, env, os.path.join(self.out, "weston-%s.out" % name))
        end = time.monotonic() + 15
        while not os.path.exists(os.path.join(runtime, socket)):
            if p.poll() is not None or time.monotonic() > end:
                # Where weston cannot run at all the test is skipped; once
                # it has run here, a second one that does not start is a fault.
                if self.weston_started:
                    raise Failure("weston (%s) did not start (see %s)" % (name, wlog))
                raise Skip("weston did not start (see %s)" % wlog)
            time.sleep(0.05)
        self.weston_started = True
        env["WAYLAND_DISPLAY"] = socket
        if xwayland:
            m = poll("weston's X server", lambda: re.search(r"xserver listening on display (:\d+)", read(wlog)), 10)
            env["DISPLAY"] = m.group(1)
        log("weston (%s) up: WAYLAND_DISPLAY=%s%s" % (
            name, socket, " DISPLAY=" + env["DISPLAY"] if xwayland else ""))
        return p, env

    def screenshot(self, env, name):
        """weston's own picture of its output, or None."""
        folder = os.path.join(self.tmp, "shot-" + name)
        os.makedirs(folder)
        r = subprocess.run(["weston-screenshooter"], env=env, cwd=folder, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=20)
        shots = glob.glob(os.path.join(folder, "*.png"))
        if r.returncode != 0 or not shots:
            return None
        path = os.path.join(self.out, "screen-%s.png" % name)
        shutil.copy(shots[0], path)
        return path

    def find_panel(self, shot_path):
        """Where the screenshot shows the main window's panel, 345 x 288 of
        the background picture around the displays; None if nowhere."""
        import numpy as np
        from PIL import Image
        if self.background is None:
            with Image.open(os.path.join(self.args.assets, "background.jpg")) as im:
                self.background = np.asarray(im.convert("RGB"), dtype=np.int16)[:MAIN_SIZE[1], :MAIN_SIZE[0]]
        with Image.open(shot_path) as im:
            shot = np.asarray(im.convert("RGB"), dtype=np.int16)
        bg = self.background
        mask = np.ones(bg.shape[:2], dtype=bool)
        for x, y, w, h in DISPLAYS:
            mask[y:y + h, x:x + w] = False
        # candidates: where one pixel of the name plate matches, then the panel
        px, py = 60, 40
        near = np.abs(shot - bg[py, px]).sum(axis=2) <= 12
        for y, x in zip(*np.nonzero(near)):
            x0, y0 = x - px, y - py
            if x0 < 0 or y0 < 0 or x0 + MAIN_SIZE[0] > shot.shape[1] or y0 + MAIN_SIZE[1] > shot.shape[0]:
                continue
            region = shot[y0:y0 + MAIN_SIZE[1], x0:x0 + MAIN_SIZE[0]]
            if np.abs(region[:100] - bg[:100]).mean() > 3.0:
                continue
            if np.abs(region - bg)[mask].mean() <= 3.0:
                return int(x0), int(y0)
        return None

    # the program ---------------------------------------------------------
    def launch(self, env, name, wayland_debug):
        env = dict(env)
        env.pop("QT_QPA_PLATFORM", None)
        if wayland_debug:
            env["WAYLAND_DEBUG"] = "client"
        path = os.path.join(self.out, "plinkora-%s.log" % name)
        return self.children.start([self.args.program], env, path, cwd=self.tmp), path

    def check_sound(self, start, label):
        peak = self.peak_since(start)
        log("%s: start sound peak at the sink's monitor %.3f" % (label, peak))
        if peak < 0.02:
            raise Failure("%s: the start sound did not reach the sink (peak %.4f)" % (label, peak))

    def check_screen(self, env, name):
        shot = self.screenshot(env, name)
        if shot is None:
            raise Failure("%s: weston-screenshooter gave no picture" % name)
        at = self.find_panel(shot)
        if at is None:
            raise Failure("%s: the panel is not on weston's screen (see %s)" % (name, shot))
        log("%s: weston's screenshot shows the 345 x 288 panel at %s (%s)" % (name, at, shot))
        return at

    def native(self):
        weston, env = self.start_weston("native", xwayland=False)
        start = self.monitor_position()
        prog, plog = self.launch(env, "native", wayland_debug=True)

        def main_shown():
            if prog.poll() is not None:
                raise Failure("native: the program ended with status %s (see %s)" % (prog.returncode, plog))
            tops = wayland_toplevels(read(plog))
            return [t for t in tops if is_main(t)]
        # The splash is titled after the application too; the main window is
        # the other one.
        def is_main(t):
            return t["title"] == "Plinkora" and t["buffer"] and t["buffer"] != SPLASH_SIZE
        poll("native: a Plinkora top-level with a picture", main_shown, 30)
        time.sleep(0.3)
        tops = wayland_toplevels(read(plog))
        main = [t for t in tops if is_main(t)][-1]
        log("native: top-levels %s" % [(t["title"], t["geometry"], t["buffer"]) for t in tops])
        # weston draws no frames: Qt adds its own around the client area
        # (3 pixels each side and below, a 30-pixel title bar above).
        if main["geometry"] is None:
            raise Failure("native: the main window set no window geometry")
        size = tuple(main["geometry"][2:])
        framed = (MAIN_SIZE[0] + 6, MAIN_SIZE[1] + 33)
        if size not in (MAIN_SIZE, framed):
            raise Failure("native: main window %dx%d, expected a client area of %dx%d"
                          % (size + MAIN_SIZE))
        log("native: main window %dx%d%s" % (size + (
            ", Qt's frame around a client area of %dx%d" % MAIN_SIZE if size == framed else "",)))
        splash = [t for t in tops if t["buffer"] == SPLASH_SIZE or
                  (t["geometry"] and tuple(t["geometry"][2:]) == SPLASH_SIZE)]
        if not splash or tops.index(splash[0]) > tops.index(main):
            raise Failure("native: no %dx%d splash before the main window" % SPLASH_SIZE)
        self.check_sound(start, "native")
        self.check_screen(env, "native")
        Children.stop(prog)
        Children.stop(weston)

    def xwayland(self):
        from Xlib import X, display
        weston, env = self.start_weston("xwayland", xwayland=True)
        start = self.monitor_position()
        prog, plog = self.launch(env, "xwayland", wayland_debug=True)
        d = poll("XWayland to accept a connection", lambda: self.x_connect(env["DISPLAY"]), 15, 0.2)
        root = d.screen().root
        a_name, a_utf8, a_pid = (d.intern_atom(n) for n in ("_NET_WM_NAME", "UTF8_STRING", "_NET_WM_PID"))
        seen_splash = [False]

        def main_window():
            if prog.poll() is not None:
                raise Failure("xwayland: the program ended with status %s (see %s)" % (prog.returncode, plog))
            for win in x_windows(root):
                try:
                    pid = win.get_full_property(a_pid, X.AnyPropertyType)
                    if not pid or int(pid.value[0]) != prog.pid:
                        continue
                    if win.get_attributes().map_state != X.IsViewable:
                        continue
                    g = win.get_geometry()
                    t = win.get_full_property(a_name, a_utf8)
                    title = t.value.decode("utf-8", "replace") if t else ""
                    if (g.width, g.height) == SPLASH_SIZE:
                        seen_splash[0] = True
                    if title == "Plinkora" and (g.width, g.height) != SPLASH_SIZE:
                        return win, g
                except Exception:
                    continue
            return None
        win, g = poll("xwayland: an X window titled Plinkora", main_window, 30)
        pos = win.translate_coords(root, 0, 0)
        log("xwayland: X window %dx%d, client area at (%d, %d) on the X screen"
            % (g.width, g.height, -pos.x, -pos.y))
        if (g.width, g.height) != MAIN_SIZE:
            raise Failure("xwayland: main window %dx%d, expected %dx%d" % ((g.width, g.height) + MAIN_SIZE))
        if not seen_splash[0]:
            log("xwayland: (the splash was not caught on the X screen)")
        time.sleep(0.5)
        others = []
        for w in x_windows(root):
            try:
                pid = w.get_full_property(a_pid, X.AnyPropertyType)
                if pid and int(pid.value[0]) == prog.pid and w.id != win.id:
                    g2 = w.get_geometry()
                    others.append((hex(w.id), g2.width, g2.height, w.get_attributes().map_state))
            except Exception:
                pass
        log("xwayland: the program's other X windows (id, w, h, map state): %s" % others)
        if any((w_, h_) == SPLASH_SIZE and m_ == X.IsViewable for _, w_, h_, m_ in others):
            raise Failure("xwayland: the splash is still mapped after the main window opened")
        # On X11 the program speaks no Wayland of its own.
        if re.search(r"-> wl_display@1\.", read(plog)):
            raise Failure("xwayland: the program connected to Wayland instead of X11")
        self.check_sound(start, "xwayland")
        self.check_screen(env, "xwayland")
        d.close()
        Children.stop(prog)
        Children.stop(weston)

    @staticmethod
    def x_connect(name):
        from Xlib import display
        try:
            return display.Display(name)
        except Exception:
            return None

    def run(self):
        try:
            self.start_sound()
            self.native()
            self.xwayland()
        finally:
            if self.monitor:
                self.monitor.close()
            self.children.stop_all()
            shutil.rmtree(self.tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--assets", required=True)
    ap.add_argument("--artifacts", required=True)
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    args.assets = os.path.abspath(args.assets)
    if shutil.which("weston") is None:
        print("SKIP: weston is not installed")
        return SKIP
    try:
        Run(args).run()
    except Skip as e:
        print("SKIP:", e)
        return SKIP
    except Failure as e:
        print("FAIL:", e)
        return 1
    print("PASS (%.1f s)" % (time.monotonic() - T0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
