#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""RealtimeKit as Debian's desktops have it (pipewire-bin recommends rtkit),
privately: a system bus of our own (dbus-daemon with the system bus's
policy, on a socket in a private folder, no service activation), polkitd
and rtkit-daemon on it, and a polkit rule granting the
org.freedesktop.RealtimeKit1.* actions to the given users, which on a
desktop logind's active session grants.  Clients reach it through
DBUS_SYSTEM_BUS_ADDRESS, which libdbus, GDBus, rtkit-daemon and polkitd
all honour.  Each process is a child stopped by its id; the rule file is
removed again.

rtkit-daemon and polkitd are system services: they start as root (rtkit
chroots and drops to its user "rtkit", polkitd to "polkitd"), and the rule
goes to /etc/polkit-1/rules.d, so this needs root.  Only one rtkit-daemon
can run on a machine at a time: it limits its user's processes to its own
three threads, so a second one (another run's, or the machine's own) cannot
start.

As a module: RealtimeKit(children, folder, users).start() returns the
environment to add; .stop() removes the rule (the children are stopped
with the others).  As a program, for shell scripts:

  realtimekit.py --folder DIR --user NAME [--user NAME...]
      prints DBUS_SYSTEM_BUS_ADDRESS=... once all three answer, keeps them
      until SIGTERM or SIGINT, then stops them and removes the rule
      (status 1 and a reason on stderr when they cannot be had).
"""
import os
import pwd
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from desktop.children import Children, Failure, poll  # noqa: E402

POLKITD = "/usr/lib/polkit-1/polkitd"
RTKIT_DAEMON = "/usr/libexec/rtkit-daemon"
RULES_DIR = "/etc/polkit-1/rules.d"
TOOLS = (POLKITD, RTKIT_DAEMON, "dbus-daemon", "dbus-send")

# The system bus's own policy (Debian's /usr/share/dbus-1/system.conf) with
# the services' holes punched by their system.d files, listening on a
# private socket; no <user>, <fork>, pid file or service helper.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%(socket)s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
  <includedir>/etc/dbus-1/system.d</includedir>
</busconfig>
"""

RULE = """// Written by Plinkora's test and benchmark scripts while they run; removed after.
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.RealtimeKit1.") == 0 && %s.indexOf(subject.user) >= 0)
        return polkit.Result.YES;
});
"""


def missing():
    """Why RealtimeKit cannot be had here, or None."""
    if os.geteuid() != 0:
        return "RealtimeKit's daemons are system services: this needs root"
    absent = [t for t in TOOLS if not (os.access(t, os.X_OK) if os.path.isabs(t) else shutil.which(t))]
    if absent:
        return "not installed: %s (scripts/install-deps.sh brings rtkit, polkitd, dbus-daemon, dbus-bin)" \
            % ", ".join(absent)
    for user in ("rtkit", "polkitd"):
        try:
            pwd.getpwnam(user)
        except KeyError:
            return "no user %s (made by the %s package)" % (user, user)
    return None


class RealtimeKit:
    """A private system bus with polkitd and rtkit-daemon, granting
    real-time priority to `users`; files and logs in `folder`."""

    def __init__(self, children, folder, users):
        self.children = children
        self.folder = folder
        self.users = [u for u in users if u]
        self.rule = None
        self.address = None

    def _has_owner(self, name, env):
        try:
            out = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                                  "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name],
                                 env=env, capture_output=True, text=True, timeout=5).stdout
        except (OSError, subprocess.TimeoutExpired):
            return False
        return "boolean true" in out

    def start(self):
        """Starts the three; returns {"DBUS_SYSTEM_BUS_ADDRESS": ...}."""
        why = missing()
        if why:
            raise Failure(why)
        os.makedirs(self.folder, exist_ok=True)
        # Clients of every user must reach the socket.
        os.chmod(self.folder, 0o755)
        socket = os.path.join(self.folder, "system_bus_socket")
        config = os.path.join(self.folder, "system-bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG % {"socket": socket})
        self.address = "unix:path=" + socket
        env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        self.children.start(["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"], env,
                            os.path.join(self.folder, "system-bus.log"), name="system-bus")
        poll("the private system bus", lambda: os.path.exists(socket), 10, 0.05)

        # The rule before polkitd, which reads its rules when it starts.
        self.rule = os.path.join(RULES_DIR, "49-plinkora-realtimekit-%d.rules" % os.getpid())
        with open(self.rule, "w") as f:
            f.write(RULE % repr(self.users).replace("'", '"'))
        os.chmod(self.rule, 0o644)
        self.children.start([POLKITD, "--no-debug"], env, os.path.join(self.folder, "polkitd.log"), name="polkitd")
        poll("polkitd on the private system bus", lambda: self._has_owner("org.freedesktop.PolicyKit1", env), 15, 0.1)

        # rtkit-daemon limits its own file size to nothing once it has dropped
        # its privileges: what it says goes through a pipe, never to a file.
        rtkit = self.children.start([RTKIT_DAEMON, "--stderr"], env, name="rtkit-daemon",
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        log_path = os.path.join(self.folder, "rtkit-daemon.log")

        def copy():
            with open(log_path, "ab") as log:
                for line in rtkit.stdout:
                    log.write(line)
                    log.flush()
        threading.Thread(target=copy, daemon=True).start()
        poll("rtkit-daemon on the private system bus",
             lambda: rtkit.poll() is not None or self._has_owner("org.freedesktop.RealtimeKit1", env), 15, 0.1)
        if rtkit.poll() is not None:
            time.sleep(0.2)   # what it said, copied
            try:
                with open(log_path, errors="replace") as f:
                    said = f.read()
            except OSError:
                said = ""
            if "pthread_create failed" in said:
                # It limits its user's processes to its own three threads.
                raise Failure("rtkit-daemon could not start its threads: another rtkit-daemon runs on this "
                              "machine (its user rtkit may run only one)")
            raise Failure("rtkit-daemon ended with status %s (see %s)" % (rtkit.returncode, log_path))
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}

    def stop(self):
        """Removes the rule; the daemons are stopped with the other children."""
        if self.rule:
            try:
                os.unlink(self.rule)
            except FileNotFoundError:
                pass
            self.rule = None


def main():
    import argparse
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--folder", required=True)
    ap.add_argument("--user", action="append", default=[], required=True)
    args = ap.parse_args()
    children = Children()
    rk = RealtimeKit(children, args.folder, args.user)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    try:
        env = rk.start()
        print("DBUS_SYSTEM_BUS_ADDRESS=%s" % env["DBUS_SYSTEM_BUS_ADDRESS"], flush=True)
        while not done.wait(1.0):
            if any(p.poll() is not None for p in children.named("rtkit-daemon") + children.named("polkitd")):
                print("realtimekit: a daemon ended (logs in %s)" % args.folder, file=sys.stderr)
                return 1
        return 0
    except Failure as e:
        print("realtimekit: %s" % e, file=sys.stderr)
        return 1
    finally:
        rk.stop()
        children.stop_all()


if __name__ == "__main__":
    sys.exit(main())
