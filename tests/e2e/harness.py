# SPDX-License-Identifier: GPL-3.0-or-later
"""The end-to-end scripts' common run: private servers, the program started
and its windows found, screenshots read back as the panel, notes listened
for at the sink's monitor, and what every script takes and how it ends.
The driving itself (servers, keys, monitor, pitch, screenshots) is
tests/desktop/'s."""
import argparse
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from desktop.children import T0, Children, Failure, log, poll, stop  # noqa: E402,F401
from desktop.keys import Keyboard  # noqa: E402
from desktop.monitor import GraphMonitor, Monitor, graph_offset_cycles, graph_recorder  # noqa: E402
from desktop.program import as_user  # noqa: E402
from desktop.pitch import RATE, find_onset, frame_rms, midi_hz, pitch  # noqa: E402,F401
from desktop.screen import Screen, connect, save_png  # noqa: E402
from desktop import realtimekit, servers  # noqa: E402
from panel import MAIN_SIZE, SPLASH_SIZE, TOLERANCE, Artwork, Panel, expected_labels, expected_names  # noqa: E402,F401

SKIP = 77
SINK = "e2e_sink"
SERVER_TOOLS = servers.SERVER_TOOLS


class Display(Screen, Keyboard):
    """The X server as a script sees it: its windows and pictures, and keys."""

    def __init__(self, name):
        d = connect(name)
        Screen.__init__(self, d)
        Keyboard.__init__(self, d)


class Run:
    """One script's servers, program and artifacts."""

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
        self.rtkit = None            # RealtimeKit, when --rtkit started it
        self.program_env = None      # the program's environment, once launched
        self.program_args = []       # the program's own options (--external-synth)

    # servers and the program ---------------------------------------------
    def private_env(self):
        return servers.private_env(self.tmp)

    def start_x(self, autorepeat=(30000, 1000)):
        """A private Xvfb; autorepeat is (delay, interval) in milliseconds."""
        display = servers.start_xvfb(self.children, self.env, os.path.join(self.out, "xvfb.log"), autorepeat)
        self.screen = Display(display)
        log("Xvfb on display", display)

    def start_sound(self, keep_running=True, graph_clock=False):
        """A private sound server with a null sink, and its monitor recorded:
        PulseAudio, or PipeWire with WirePlumber and pipewire-pulse
        (--sound-server pipewire), where the program plays through its
        native PipeWire output.  keep_running: a silent stream plays into
        the sink throughout; without it nothing else is in the graph.
        graph_clock (PipeWire): the monitor is timed by the graph's cycles
        (a passive recorder, which delivers only while something plays)."""
        if self.args.sound_server == "pipewire":
            server = servers.start_pipewire(self.children, self.env, self.out, SINK, keep_running)
        else:
            server = servers.start_pulseaudio(self.children, self.env, os.path.join(self.out, "pulseaudio.log"),
                                              SINK, keep_running=keep_running)
        if graph_clock and self.args.sound_server == "pipewire":
            recorder = graph_recorder()
            if not recorder:
                raise Failure("no graph_record beside the program (build it)")
            offset = graph_offset_cycles(recorder, SINK, self.env)
            if offset is None:
                raise Failure("graph_record --check found its clicks at no steady moment")
            self.monitor = GraphMonitor(SINK, offset, recorder=recorder, env=self.env, wait_for_data=0)
            log("monitor timed by the graph's cycles (played %d cycle(s) before delivered)" % offset)
            return
        self.monitor = Monitor(server=server, device=SINK + ".monitor", fragment_frames=512)
        if not self.monitor.count():
            raise Failure("the sink's monitor delivers nothing")
        log("monitor delivering")

    def start_realtimekit(self):
        """With --rtkit, RealtimeKit as Debian's desktops have it, granting
        the program's user real-time priority (tests/desktop/realtimekit.py);
        where it cannot be had (not root, not installed) the run goes on
        without it and says so.  Before the sound server, which reaches it too."""
        if not self.args.rtkit:
            return False
        why = realtimekit.missing()
        if why:
            log("RealtimeKit not started:", why)
            return False
        os.chmod(self.tmp, 0o711)   # polkitd and rtkit, as their own users, reach the bus inside
        user = self.ordinary_user() or pwd.getpwuid(os.getuid()).pw_name
        self.rtkit = realtimekit.RealtimeKit(self.children, os.path.join(self.tmp, "rtkit"), [user])
        try:
            self.env.update(self.rtkit.start())
        except Failure as e:
            log("RealtimeKit not started:", e)
            self.rtkit.stop()
            return False
        log("RealtimeKit up, granting", user)
        return True

    def ordinary_user(self):
        """With --ordinary-user as root: nobody, whom the program then runs
        as, if nobody can run it (its folders may be closed to others: then
        it runs as this user, and says so once); otherwise None."""
        if not (self.args.ordinary_user and os.geteuid() == 0):
            return None
        if not hasattr(self, "_nobody_runs"):
            try:
                self._nobody_runs = subprocess.run(
                    [self.args.program, "--version"], preexec_fn=as_user("nobody"), cwd="/",
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30).returncode == 0
            except (OSError, subprocess.SubprocessError):
                self._nobody_runs = False
            if not self._nobody_runs:
                log("nobody cannot run %s (a folder on its way is closed to others): it runs as root"
                    % self.args.program)
        return "nobody" if self._nobody_runs else None

    def _user_env(self, user):
        """The program's environment as user: folders of its own, and the
        servers' sockets made reachable."""
        pw = pwd.getpwnam(user)
        home = os.path.join(self.tmp, "user")
        env = dict(self.env)
        for key, sub in (("HOME", "home"), ("XDG_CACHE_HOME", "cache"), ("XDG_CONFIG_HOME", "home/.config"),
                         ("XDG_DATA_HOME", "home/.local/share"), ("XDG_RUNTIME_DIR", "runtime")):
            env[key] = os.path.join(home, sub)
        for d in [home] + [env[k] for k in ("HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                             "XDG_RUNTIME_DIR")]:
            os.makedirs(d, mode=0o700, exist_ok=True)
            os.chown(d, pw.pw_uid, pw.pw_gid)
        env.pop("PULSE_RUNTIME_PATH", None)
        env.pop("PULSE_STATE_PATH", None)
        env.update(USER=user, LOGNAME=user)
        os.chmod(self.tmp, 0o711)
        socket = env["PULSE_SERVER"][len("unix:"):]
        for d in (os.path.dirname(socket), env.get("PIPEWIRE_RUNTIME_DIR"), self.env["XDG_RUNTIME_DIR"]):
            if d and os.path.isdir(d):
                os.chmod(d, 0o711)
        for sock in (socket, os.path.join(env.get("PIPEWIRE_RUNTIME_DIR", "/nonexistent"), "pipewire-0")):
            if os.path.exists(sock):
                os.chmod(sock, 0o666)
        return env

    def start_instrument(self, autorepeat=(30000, 1000)):
        """The sound server, the X server with NumLock on, and the program
        with its windows open: where most scripts begin."""
        self.start_sound()
        self.start_x(autorepeat)
        if not self.screen.numlock_on():
            raise Failure("NumLock could not be turned on")
        self.open_windows()

    def restart_sound(self):
        """The sound server stopped (as a desktop's is when it restarts) and
        started anew with its null sink, and a new monitor on it."""
        if self.monitor is not None:
            self.monitor.close()
            self.monitor = None
        names = (("pacat", "pipewire-pulse", "wireplumber", "pipewire") if self.args.sound_server == "pipewire"
                 else ("pacat", "pulseaudio"))
        for name in names:
            for p in self.children.named(name):
                stop(p)
        log("sound server stopped")
        self.start_sound()

    def launch(self, log_name, env=None):
        """The program, as this user or (--ordinary-user, as root) as nobody."""
        user = self.ordinary_user()
        env = dict(env or (self._user_env(user) if user else self.env), QT_QPA_PLATFORM="xcb")
        self.program_env = env
        return self.children.start([self.args.program] + self.program_args, env, os.path.join(self.out, log_name),
                                   name="plinkora",
                                   cwd=env["HOME"] if user else self.tmp, preexec_fn=as_user(user))

    def save_picture(self, name, a):
        self.shots += 1
        save_png(os.path.join(self.out, "%02d-%s.png" % (self.shots, name)), a)

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

    def finish(self, ok):
        if self.program is not None and self.program.poll() is None:
            stop(self.program)
        if self.monitor is not None:
            try:
                self.monitor.save(os.path.join(self.out, "monitor.wav"))
            except Exception as e:   # the report matters more than the recording
                log("could not save the monitor recording:", e)
            self.monitor.close()
        if self.rtkit is not None:
            self.rtkit.stop()
        self.children.stop_all()
        shutil.rmtree(self.tmp, ignore_errors=True)
        if ok and not self.args.keep:
            shutil.rmtree(self.out, ignore_errors=True)

    @property
    def cache(self):
        return os.path.join((self.program_env or self.env)["XDG_CACHE_HOME"], "plinkora")


def _read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def script_arguments(doc):
    """The arguments every end-to-end script takes; callers add their own."""
    ap = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    ap.add_argument("--program", required=True, help="the built plinkora")
    ap.add_argument("--assets", required=True, help="the committed pictures (assets/)")
    ap.add_argument("--artifacts", required=True, help="folder for screenshots, recordings, logs")
    ap.add_argument("--keep", action="store_true", help="keep the artifacts after a pass too")
    ap.add_argument("--sound-server", choices=("pulseaudio", "pipewire"), default="pulseaudio",
                    help="the private sound server the program plays through")
    ap.add_argument("--ordinary-user", action="store_true",
                    help="as root, run the program as nobody, an ordinary user (as any other user: as that user)")
    ap.add_argument("--rtkit", action="store_true",
                    help="RealtimeKit as Debian's desktops have it, for the program's user (needs root; "
                         "without root the run goes on without it)")
    return ap


def tools_missing(tools=SERVER_TOOLS):
    """True, having said so, when a program the script needs is not installed."""
    missing = [b for b in tools if not shutil.which(b)]
    if missing:
        print("SKIP: not installed: %s (scripts/install-deps.sh brings them)" % ", ".join(missing))
    return bool(missing)


def run_script(args, body, tools=SERVER_TOOLS, logs=("plinkora.log",)):
    """Runs body(run) on a fresh Run and reports: 0 passed, 1 failed, SKIP
    when a tool is missing.  After a failure the ends of the program's logs
    are shown and the artifacts kept."""
    if args.sound_server == "pipewire":
        tools = tuple(t for t in tools if t != "pulseaudio") + servers.PIPEWIRE_TOOLS
    if tools_missing(tools):
        return SKIP
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
    import signal
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    ok = False
    try:
        status = body(run)
        if not status and args.sound_server == "pipewire" and run.monitor is not None:
            said = _read(os.path.join(run.out, logs[0])) if logs else ""
            if "sound through PipeWire" not in said:
                raise Failure("the program did not play through its PipeWire output (%s says: %s)"
                              % (logs[0], said.strip()[-300:] or "nothing"))
        ok = not status
        if ok:
            log("PASS (%.1f s)" % (time.monotonic() - T0))
        return status or 0
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
            for name in logs:
                p = os.path.join(run.out, name)
                if os.path.isfile(p) and os.path.getsize(p):
                    with open(p, "rb") as f:
                        tail = f.read()[-2000:].decode("utf-8", "replace")
                    print("--- %s (end) ---\n%s" % (name, tail))
            print("Screenshots, recordings and logs kept in", run.out)
