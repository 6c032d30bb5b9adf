# SPDX-License-Identifier: GPL-3.0-or-later
"""bin/plinkora started from outside, as this user or as an ordinary one,
with a home, cache and runtime folder of its own, and stopped by its id."""
import os
import pwd
import re
import shutil
import subprocess
import tempfile

from . import stats
from .children import die_with_parent, stop


def as_user(name):
    """A preexec function that becomes user name (groups, gid, uid), or None
    for no name."""
    if not name:
        return die_with_parent
    pw = pwd.getpwnam(name)

    def become():
        die_with_parent()
        os.initgroups(pw.pw_name, pw.pw_gid)
        os.setgid(pw.pw_gid)
        os.setuid(pw.pw_uid)
    return become


class Program:
    """A program (bin/plinkora by default) with private folders.  The display
    and sound server come from this process's DISPLAY and PULSE_SERVER; its
    stderr and stdout go to a log kept until stop(), read by output()."""

    def __init__(self, path, user=None, env=None, stdin=None):
        self.user = user or None
        pw = pwd.getpwnam(user) if user else None
        self.scratch = tempfile.mkdtemp(prefix="plinkora-driver-")
        home = os.path.join(self.scratch, "home")
        cache, runtime = os.path.join(home, ".cache"), os.path.join(self.scratch, "runtime")
        for d in (home, cache, runtime):
            os.mkdir(d, 0o700)
            if pw:
                os.chown(d, pw.pw_uid, pw.pw_gid)
        if pw:
            os.chmod(self.scratch, 0o711)
        e = dict(os.environ)
        e.update(HOME=home, XDG_CACHE_HOME=cache, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb",
                 # No desktop session here: nothing may autolaunch a session bus.
                 DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(self.scratch, "no-bus"))
        if pw:
            e.update(USER=pw.pw_name, LOGNAME=pw.pw_name)
        e.update(env or {})
        self.log_path = os.path.join(self.scratch, "output.log")
        argv = path if isinstance(path, (list, tuple)) else [path]
        with open(self.log_path, "wb") as out:
            self.proc = subprocess.Popen(argv, env=e, cwd=self.scratch, stdin=stdin or subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT, preexec_fn=as_user(user))
        self.pid = self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def output(self):
        """What it has said so far; after stop(), all it said."""
        if self.scratch is None:
            return self.said
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def rss_kb(self):
        return stats.status_kb("VmRSS:", self.pid)

    def cpu_seconds(self):
        return stats.cpu_seconds(self.pid)

    def stop(self):
        """Ends it (TERM, then KILL after 3 s) and removes its folders, keeping
        what it said; its status."""
        status = stop(self.proc, 3.0)
        if self.scratch:
            self.said = self.output()
            shutil.rmtree(self.scratch, ignore_errors=True)
            self.scratch = None
        return status


def pipewire_periods(said):
    """The periods, in frames, the program's stderr says it played at or
    asked for under PipeWire, in order ("sound through PipeWire ..., 128
    frames at 48000 Hz", "... asking for 256 frames", "trying a PipeWire
    period of 128 frames", "128 frames did not hold (...); back to 256
    frames")."""
    pattern = (r"sound through PipeWire[^\n]*?(\d+) frames at|asking for (\d+) frames"
               r"|trying a PipeWire period of (\d+) frames|did not hold[^\n]*?; back to (\d+) frames")
    return [int(next(g for g in m.groups() if g)) for m in re.finditer(pattern, said)]


def missed_cycles(said):
    """The graph cycles the program says it missed ("N missed cycle(s)" on
    its stderr; the last such count), or None when it does not say."""
    counts = re.findall(r"(\d+) missed cycle", said)
    return int(counts[-1]) if counts else None
