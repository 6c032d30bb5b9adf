# SPDX-License-Identifier: GPL-3.0-or-later
"""Child processes stopped by their ids, waiting for a condition, the
failure the drivers raise, and a log line with the time since start."""
import ctypes
import signal
import subprocess
import time

T0 = time.monotonic()


class Failure(Exception):
    pass


def log(*args):
    print("[%6.2f]" % (time.monotonic() - T0), *args, flush=True)


def now_ms():
    """This process's monotonic clock in ms (the clock the monitor's sample
    times are on)."""
    return time.monotonic() * 1000.0


_libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    # PR_SET_PDEATHSIG: a child goes when this process goes, however it ends.
    _libc.prctl(1, signal.SIGTERM, 0, 0, 0)


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


def stop(p, timeout=5.0):
    """TERM, and KILL when it has not ended within timeout; its status."""
    if p.poll() is not None:
        return p.returncode
    try:
        p.send_signal(signal.SIGTERM)
        return p.wait(timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        return p.wait(5)
    except ProcessLookupError:
        return p.poll()


class Children:
    """Processes started here, each stopped by its own id at the end."""

    def __init__(self):
        self.procs = []   # (name, Popen)

    def start(self, argv, env=None, log_path=None, name=None, **kw):
        """Starts argv; stdout and stderr go to log_path (appended) unless
        given as keywords, else nowhere."""
        out = open(log_path, "ab") if log_path else subprocess.DEVNULL
        kw.setdefault("stdin", subprocess.DEVNULL)
        kw.setdefault("stdout", out)
        kw.setdefault("stderr", subprocess.STDOUT if log_path else out)
        kw.setdefault("preexec_fn", die_with_parent)
        try:
            p = subprocess.Popen(argv, env=env, **kw)
        finally:
            if log_path:
                out.close()
        self.procs.append((name or argv[0], p))
        return p

    stop = staticmethod(stop)

    def named(self, name):
        return [p for n, p in self.procs if n == name]

    def stop_all(self):
        for _name, p in reversed(self.procs):
            stop(p)
        self.procs.clear()
