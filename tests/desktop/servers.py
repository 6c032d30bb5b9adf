# SPDX-License-Identifier: GPL-3.0-or-later
"""Private servers for a test: an environment that reaches nothing of the
caller's desktop, a virtual X server on a display it chooses itself, and a
PulseAudio server with a null sink.  Each is a child process stopped by its
id (children.Children).  (The benchmarks start theirs, PulseAudio or
PipeWire, with scripts/private-servers.sh.)"""
import os
import select
import subprocess
import time

from .children import Failure, log, poll

RATE = 44100
SERVER_TOOLS = ("Xvfb", "pulseaudio", "pactl", "pacat")


def private_env(tmp):
    """This process's environment without its desktop, sound server or Qt
    settings, with a home, cache, runtime and PulseAudio folder under tmp
    (made, mode 0700), and PULSE_SERVER the socket start_pulseaudio makes."""
    home = os.path.join(tmp, "home")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QT_", "PULSE_", "XDG_", "DBUS_", "WAYLAND_", "DISPLAY"))
           and k not in ("XAUTHORITY", "SESSION_MANAGER", "PLINKORA_DATA_DIR")}
    env.update({
        "HOME": home,
        "XDG_CACHE_HOME": os.path.join(tmp, "cache"),
        "XDG_CONFIG_HOME": os.path.join(home, ".config"),
        "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
        "XDG_RUNTIME_DIR": os.path.join(tmp, "xdg"),
        "PULSE_RUNTIME_PATH": os.path.join(tmp, "pulse"),
        "PULSE_STATE_PATH": os.path.join(tmp, "pulse-state"),
        "PULSE_SERVER": "unix:" + os.path.join(tmp, "pulse", "native"),
        # no session bus: nothing may start one (D-Bus autolaunch); no
        # system bus either (so no RealtimeKit of the machine's own) unless
        # a test starts one (realtimekit.py)
        "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(tmp, "no-bus"),
        "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(tmp, "no-system-bus"),
        "NO_AT_BRIDGE": "1",
    })
    for k in ("HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
              "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH"):
        os.makedirs(env[k], mode=0o700, exist_ok=True)
        os.chmod(env[k], 0o700)
    return env


def start_xvfb(children, env, log_path, autorepeat=(30000, 1000), extra=(), reset=False):
    """A private Xvfb that picks its own display (-displayfd); autorepeat is
    (delay, interval) in ms, by default so slow that a held key does not
    repeat.  reset: the server resets each time its last client leaves, as
    X servers do unless told not to (xvfb-run's, a bare Xorg's); a client
    that connects meanwhile is cut off.  Sets env["DISPLAY"] and returns it."""
    r, w = os.pipe()
    xvfb = children.start(
        ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-dpi", "96",
         "-nolisten", "tcp"] + ([] if reset else ["-noreset"])
        + ["-ardelay", str(autorepeat[0]), "-arinterval", str(autorepeat[1])]
        + list(extra), env, log_path, name="Xvfb", pass_fds=(w,))
    os.close(w)
    got = b""
    end = time.monotonic() + 15
    while not got.endswith(b"\n"):
        if xvfb.poll() is not None or time.monotonic() > end:
            raise Failure("Xvfb did not start (see %s)" % log_path)
        ready, _, _ = select.select([r], [], [], 0.2)
        if ready:
            chunk = os.read(r, 16)
            if not chunk:
                raise Failure("Xvfb did not report its display")
            got += chunk
    os.close(r)
    env["DISPLAY"] = ":" + got.decode().strip()
    return env["DISPLAY"]


def pactl_answers(env):
    try:
        return subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=5).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def start_pulseaudio(children, env, log_path, sink, rate=RATE, keep_running=True, options=()):
    """PulseAudio on env's PULSE_SERVER socket, with the null sink `sink`.
    keep_running: a silent stream plays into the sink, so that its monitor
    delivers from the start."""
    socket = env["PULSE_SERVER"][len("unix:"):]
    children.start(
        ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
         "--system=no", "--realtime=no", "--high-priority=no", "--log-target=stderr",
         "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket,
         "-L", "module-null-sink sink_name=%s rate=%d channels=2" % (sink, rate)] + list(options),
        env, log_path, name="pulseaudio")
    poll("the sound server", lambda: pactl_answers(env), 15, 0.1)
    if keep_running:
        children.start(["pacat", "--raw", "--format=s16le", "--rate=%d" % rate, "--channels=2",
                        "-d", sink, "/dev/zero"], env, name="pacat")
    log("sound server up (%s)" % sink)
    return env["PULSE_SERVER"]


PIPEWIRE_TOOLS = ("Xvfb", "pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pactl", "pacat")


def start_pipewire(children, env, log_dir, sink, keep_running=True):
    """PipeWire, WirePlumber and pipewire-pulse as a desktop runs them, on
    Debian's own configuration (nothing of ours in XDG_CONFIG_HOME), each in
    env's private runtime folder, with a session bus of their own (WirePlumber
    does not stay up without one) and the null sink `sink` as the default.
    Called again after the three have been stopped, it starts them anew.
    env is updated so that clients reach them: the native socket through
    PIPEWIRE_RUNTIME_DIR, the PulseAudio service through PULSE_SERVER.
    Returns PULSE_SERVER."""
    xdg = env["XDG_RUNTIME_DIR"]
    tmp = os.path.dirname(xdg)
    bus = os.path.join(tmp, "session-bus")
    if not children.named("dbus-daemon"):   # (started again, the servers keep the bus they had)
        children.start(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus],
                       env, os.path.join(log_dir, "dbus.log"), name="dbus-daemon")
        poll("the session bus", lambda: os.path.exists(bus), 10, 0.05)
    state = os.path.join(tmp, "state")
    os.makedirs(state, mode=0o700, exist_ok=True)
    env.update({"PIPEWIRE_RUNTIME_DIR": xdg, "XDG_STATE_HOME": state,
                "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + bus,
                "PULSE_SERVER": "unix:" + os.path.join(xdg, "pulse", "native")})
    server_env = {k: v for k, v in env.items() if k not in ("PULSE_SERVER", "PULSE_RUNTIME_PATH", "DISPLAY")}
    children.start(["pipewire"], server_env, os.path.join(log_dir, "pipewire.log"), name="pipewire")
    poll("PipeWire's socket", lambda: os.path.exists(os.path.join(xdg, "pipewire-0")), 15, 0.05)
    wp = children.start(["wireplumber"], server_env, os.path.join(log_dir, "wireplumber.log"), name="wireplumber")
    children.start(["pipewire-pulse"], server_env, os.path.join(log_dir, "pipewire-pulse.log"),
                   name="pipewire-pulse")
    poll("PipeWire's PulseAudio service", lambda: pactl_answers(env), 15, 0.1)
    time.sleep(0.3)
    if wp.poll() is not None:
        raise Failure("WirePlumber ended (see wireplumber.log)")
    subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=" + sink], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10, check=True)

    def sink_listed():
        out = subprocess.run(["pactl", "list", "short", "sinks"], env=env, capture_output=True,
                             text=True, timeout=5).stdout
        return sink in out
    poll("the null sink", sink_listed, 10, 0.1)
    subprocess.run(["pactl", "set-default-sink", sink], env=env, timeout=10, check=True)
    if keep_running:
        children.start(["pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                        "-d", sink, "/dev/zero"], env, name="pacat")
    log("PipeWire up (%s)" % sink)
    return env["PULSE_SERVER"]
