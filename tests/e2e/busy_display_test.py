#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""End-to-end test: every start shows its windows on a busy X server.

The built program is started many times, one after the other, on a private
Xvfb that resets whenever its last client leaves (as xvfb-run's and a bare
Xorg do), while other clients connect to it in a loop (xwininfo -root -tree,
and with --grab ImageMagick's import of the whole screen too).  Such a
server cuts off whoever connects while it resets, which it does each time a
client it was left alone with goes away: the program that just ended, or one
of the listing clients.  This test's own looks at the screen each use a
connection of their own too, so that none of them keeps the server from
resetting.

Each start must show the splash (its picture) and then the main window, and
end with status 0 when its window is closed.  The starts and the failures
are counted and printed, with what each failed start said.

Then two displays that are really not there: a display number nobody
serves, and one whose server was killed (its lock file and socket left
behind).  Each must give the plain one-line message and status 1; the time
it took is printed.

  busy_display_test.py --program build/bin/plinkora --assets assets --artifacts DIR [--starts 20] [--grab]

Exit status: 0 passed, 1 failed, 77 skipped (no Xvfb, PulseAudio, xwininfo,
or with --grab import).
"""
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402
from harness import Failure, log, stop  # noqa: E402
from desktop import servers  # noqa: E402
from desktop.children import die_with_parent  # noqa: E402
from desktop.screen import Screen, connect  # noqa: E402

START_TIMEOUT = 30.0


class Clients:
    """Each command run over and over on a thread of its own, until stopped."""

    def __init__(self, env, commands):
        self.env = env
        self.count = 0
        self.running = True
        self.threads = [threading.Thread(target=self._loop, args=(c,), daemon=True) for c in commands]
        for t in self.threads:
            t.start()

    def _loop(self, argv):
        while self.running:
            subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, preexec_fn=die_with_parent, timeout=30)
            self.count += 1

    def stop(self):
        self.running = False
        for t in self.threads:
            t.join(35)


def look(display, fn):
    """fn(Screen) on a connection opened for it and closed after; None when
    the server refused or cut off that connection."""
    from Xlib.error import ConnectionClosedError, XError
    try:
        d = connect(display, quiet=True)
    except Failure:
        return None
    try:
        return fn(Screen(d))
    except (ConnectionClosedError, XError, OSError):
        return None
    finally:
        try:
            d.close()
        except (ConnectionClosedError, OSError):
            pass


def last_line(path):
    try:
        with open(path, errors="replace") as f:
            lines = [ln.strip() for ln in f if ln.strip()]
    except OSError:
        return ""
    return lines[-1] if lines else ""


class Starts:
    def __init__(self, run):
        self.run = run
        self.display = run.env["DISPLAY"]

    def windows_of(self, pid):
        """[(kind, window dict, splash difference)] of the program's
        windows now: "splash" and "main"; None when the look failed."""
        art = self.run.art

        def listing(s):
            out = []
            for w in s.windows():
                if w["pid"] != pid:
                    continue
                if (w["w"], w["h"]) == e2e.SPLASH_SIZE:
                    shot = s.grab(w["x"], w["y"], *e2e.SPLASH_SIZE)
                    out.append(("splash", w, art.diff(shot, art.splash)))
                elif w["title"] == "Plinkora" and (w["w"], w["h"]) == e2e.MAIN_SIZE:
                    out.append(("main", w, None))
            return out
        return look(self.display, listing)

    def close(self, p, window_id):
        """Closes the main window as a window manager does; the program's
        exit status, or None when it did not end (then it is stopped)."""
        def send(s):
            s.close(s.d.create_resource_object("window", window_id))
            return True
        end = time.monotonic() + 10
        while not look(self.display, send):
            if p.poll() is not None or time.monotonic() > end:
                break
            time.sleep(0.05)
        try:
            return p.wait(max(1.0, end - time.monotonic()))
        except subprocess.TimeoutExpired:
            stop(p)
            return None

    def one(self, k):
        """Starts the program once; (None, seconds to the main window) when
        it showed the splash, then the main window, and ended cleanly on
        closing it, else (what went wrong, None)."""
        log_name = "start-%02d.log" % k
        log_path = os.path.join(self.run.out, log_name)
        t0 = time.monotonic()
        p = self.run.launch(log_name)
        best_splash = None
        main = None
        try:
            while main is None:
                if p.poll() is not None:
                    return ("ended during start-up with status %d: %s"
                            % (p.returncode, last_line(log_path) or "(nothing said)"), None)
                if time.monotonic() - t0 > START_TIMEOUT:
                    return ("no main window within %.0f s (splash %s)"
                            % (START_TIMEOUT, "seen" if best_splash is not None else "never seen"), None)
                seen = self.windows_of(p.pid) or []
                splash_up = False
                for kind, w, dv in seen:
                    if kind == "splash":
                        splash_up = True
                        if best_splash is None or dv < best_splash:
                            best_splash = dv
                    else:
                        main = w
                if main is not None and splash_up:
                    return ("the main window was shown while the splash was still up", None)
                time.sleep(0.03)
            shown = time.monotonic() - t0
            if best_splash is None:
                return ("the main window came without a splash before it", None)
            if best_splash > e2e.TOLERANCE:
                return ("the splash does not show splash.jpg (difference %.2f)" % best_splash, None)
            status = self.close(p, main["id"])
            if status is None:
                return ("did not end within 10 s of closing its window", None)
            if status != 0:
                return ("ended with status %d after its window was closed" % status, None)
            return (None, shown)
        finally:
            if p.poll() is None:
                stop(p)


def free_display():
    return next(":%d" % n for n in range(300, 400)
                if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n))


def plain_refusal(run, what, display):
    """The program on a display that is not there: one line naming it, status 1."""
    env = dict(run.env, DISPLAY=display, QT_QPA_PLATFORM="xcb")
    t0 = time.monotonic()
    r = subprocess.run([run.args.program], env=env, cwd=run.tmp, capture_output=True, text=True,
                       timeout=20, stdin=subprocess.DEVNULL)
    took = time.monotonic() - t0
    lines = r.stderr.splitlines()
    want = "plinkora: no display: the X display %s (DISPLAY) cannot be reached" % display
    ok = r.returncode == 1 and len(lines) == 1 and lines[0].startswith(want)
    log("%s (%s): status %d in %.0f ms, %r" % (what, display, r.returncode, 1000 * took, r.stderr.strip()))
    if not ok:
        raise Failure("%s: expected the one line %r... and status 1, got status %d and %r"
                      % (what, want, r.returncode, r.stderr))


def killed_server(run):
    """An Xvfb killed outright, so that its socket (and lock file, where it
    made one) stays behind."""
    import socket
    env = dict(run.env)
    display = servers.start_xvfb(run.children, env, os.path.join(run.out, "xvfb-killed.log"))
    xvfb = run.children.named("Xvfb")[-1]
    xvfb.send_signal(signal.SIGKILL)
    xvfb.wait(10)
    n = display[1:]
    lock, sock = "/tmp/.X%s-lock" % n, "/tmp/.X11-unix/X%s" % n
    left = {f: os.stat(f).st_ino for f in (lock, sock) if os.path.exists(f)}
    log("killed Xvfb %s; left behind: %s" % (display, sorted(left) or "nothing"))
    try:
        plain_refusal(run, "a display whose server was killed", display)
    finally:
        # What it left is removed, unless another server has taken the
        # number since (a new file, or one that answers).
        for f, inode in left.items():
            try:
                if os.stat(f).st_ino != inode:
                    continue
                if f == sock:
                    with socket.socket(socket.AF_UNIX) as s:
                        try:
                            s.connect(f)
                            continue
                        except OSError:
                            pass
                os.unlink(f)
            except OSError:
                pass


def busy_display(run):
    args = run.args
    run.step = "servers"
    servers.start_pulseaudio(run.children, run.env, os.path.join(run.out, "pulseaudio.log"), e2e.SINK,
                             keep_running=False)
    display = servers.start_xvfb(run.children, run.env, os.path.join(run.out, "xvfb.log"), reset=True)
    log("Xvfb on display %s, resetting when its last client leaves" % display)
    commands = [["xwininfo", "-root", "-tree"]]
    if args.grab:
        commands.append(["import", "-window", "root", "png:/dev/null"])
    clients = Clients(run.env, commands)
    starts = Starts(run)
    failed, shown = [], []
    t0 = time.monotonic()
    try:
        for k in range(args.starts):
            run.step = "start %d of %d" % (k + 1, args.starts)
            why, seconds = starts.one(k)
            if why:
                failed.append((k + 1, why))
                log("start %d: FAILED: %s" % (k + 1, why))
            else:
                shown.append(seconds)
                log("start %d: splash, then the main window after %.2f s; closed, status 0" % (k + 1, seconds))
    finally:
        clients.stop()
    spent = time.monotonic() - t0
    log("%d starts, %d failed; %.1f s a start; main window after %s s (median); %d listing clients ran"
        % (args.starts, len(failed), spent / max(1, args.starts),
           "%.2f" % statistics.median(shown) if shown else "-", clients.count))
    for k, why in failed:
        print("  start %d: %s" % (k, why))

    run.step = "displays that are not there"
    plain_refusal(run, "a display number nobody serves", free_display())
    killed_server(run)
    if failed:
        raise Failure("%d of %d starts did not show their windows" % (len(failed), args.starts))
    return 0


def main():
    ap = e2e.script_arguments(__doc__)
    ap.add_argument("--starts", type=int, default=20, help="how many starts (about 5 s each)")
    ap.add_argument("--grab", action="store_true", help="also capture the whole screen in a loop")
    args = ap.parse_args()
    tools = e2e.SERVER_TOOLS + ("xwininfo",) + (("import",) if args.grab else ())
    return e2e.run_script(args, busy_display, tools, logs=())


if __name__ == "__main__":
    sys.exit(main())
