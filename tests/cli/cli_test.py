#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The command line and the start without a display, end to end.

The built program is run in bare environments (as `env -i` gives them: no
DISPLAY, no sound server, a private HOME):

  1. --help and --version print on stdout and exit 0, with no display and
     no sound server, and every option --help lists is in the manual page;
     --help and the page say what --external-synth does and where the MIDI
     port is (PipeWire) and is not (PulseAudio);
  2. an unknown option, a missing value or a stray argument: one line on
     stderr, exit status 2;
  3. no display reachable (nothing set, a DISPLAY or -display nobody
     serves, a WAYLAND_DISPLAY with no socket or a socket nobody listens
     on): one line on stderr naming
     what was tried and that an X11 or Wayland session is needed, exit
     status 1, no abort and none of Qt's reinstall advice;
  4. Qt's options still reach Qt: -platform offscreen starts the program
     without any display; with Xvfb here, a reachable DISPLAY starts it, and
     so does -display naming a served X display while DISPLAY names none.
     Each started program is ended by SIGTERM (status 0).

  cli_test.py --program build/bin/plinkora --version X.Y --manual docs/plinkora.1
Exit status: 0 passed, 1 failed.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

failures = []


def check(cond, what, detail=""):
    print(("ok: " if cond else "FAIL: ") + what + ("" if cond or not detail else "\n    " + detail), flush=True)
    if not cond:
        failures.append(what)


def free_display():
    return next(":%d" % n for n in range(170, 260)
                if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n))


class Runner:
    def __init__(self, program, work):
        self.program = program
        self.work = work
        self.home = os.path.join(work, "home")
        os.makedirs(self.home, exist_ok=True)

    def env(self, **extra):
        # What env -i leaves, plus a private HOME and a sound server that is
        # never there (libpulse must not find or start one).
        env = {"HOME": self.home, "PULSE_SERVER": "unix:" + os.path.join(self.work, "no-sound-server")}
        env.update({k: v for k, v in extra.items() if v is not None})
        return env

    def run(self, args, timeout=20, **extra):
        return subprocess.run([self.program] + args, env=self.env(**extra), capture_output=True,
                              text=True, timeout=timeout, stdin=subprocess.DEVNULL)

    def start_and_stop(self, args, settle=2.0, **extra):
        """Starts the program; (still running after settle seconds, exit
        status after SIGTERM, its stderr)."""
        log = open(os.path.join(self.work, "program.log"), "w+")
        p = subprocess.Popen([self.program] + args, env=self.env(**extra), stdin=subprocess.DEVNULL,
                             stdout=log, stderr=log)
        try:
            end = time.monotonic() + settle
            while time.monotonic() < end and p.poll() is None:
                time.sleep(0.05)
            running = p.poll() is None
            if running:
                p.send_signal(signal.SIGTERM)
            try:
                status = p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()
                status = p.wait(5)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        log.seek(0)
        text = log.read()
        log.close()
        return running, status, text


def one_line(r):
    lines = r.stderr.splitlines()
    return lines[0] if len(lines) == 1 else None


def check_help_and_version(run, version, manual):
    for label, extra in (("no display, no sound server", {}),
                         ("a DISPLAY nobody serves", {"DISPLAY": free_display()})):
        r = run.run(["--help"], **extra)
        check(r.returncode == 0 and r.stdout.startswith("Usage: plinkora") and not r.stderr,
              "--help prints its usage and exits 0 (%s)" % label, "status %s, stderr %r" % (r.returncode, r.stderr))
        v = run.run(["--version"], **extra)
        check(v.returncode == 0 and v.stdout.splitlines()[:1] == ["plinkora " + version] and not v.stderr,
              "--version prints 'plinkora %s' and exits 0 (%s)" % (version, label),
              "status %s, stdout %r, stderr %r" % (v.returncode, v.stdout, v.stderr))
    for short, long_ in (("-h", "--help"), ("-v", "--version")):
        a, b = run.run([short]), run.run([long_])
        check(a.returncode == 0 and a.stdout == b.stdout, "%s is %s" % (short, long_))
    help_text = run.run(["--help"]).stdout
    check("-platform <name>" in help_text and "-display <display>" in help_text,
          "--help shows Qt's -platform and -display", help_text)
    listed = sorted(set(re.findall(r"^\s+(?:-\S+, )*(-{1,2}[a-z][a-z-]*)", help_text, re.M)))
    page = open(manual, encoding="utf-8").read().replace("\\-", "-").replace("\\%", "")
    missing = [o for o in listed if not re.search(r"(^|[\s\"])" + re.escape(o) + r"\b", page, re.M)]
    check(listed and not missing, "every option of --help is in the manual page (%s)" % ", ".join(listed),
          "missing: %s" % missing)
    flat = " ".join(help_text.split())
    check("--external-synth" in listed and "MIDI output port" in flat and "Under PipeWire" in flat
          and "Under PulseAudio there is no such port" in flat,
          "--help says what --external-synth does and where the MIDI port is and is not", help_text)
    flat_page = " ".join(page.split())
    check(".SH MIDI PORT" in page and "Under PulseAudio there is no such port" in flat_page,
          "the manual page has the MIDI port, and says it is not there under PulseAudio")


def check_wrong_arguments(run):
    for args, word in ((["--bogus"], "bogus"), (["-bogus"], "bogus"), (["-platform"], "-platform"),
                       (["stray"], "stray"), (["--version", "stray"], "stray")):
        r = run.run(args)
        line = one_line(r)
        check(r.returncode == 2 and not r.stdout and line is not None and word in line
              and line.startswith("plinkora: "),
              "%s: one line naming %r, status 2" % (" ".join(args), word),
              "status %s, stdout %r, stderr %r" % (r.returncode, r.stdout, r.stderr))


def check_no_display(run, work):
    def expect(what, r, *words):
        line = one_line(r)
        ok = (r.returncode == 1 and line is not None and line.startswith("plinkora: ")
              and "X11 or Wayland session" in line and all(w in line for w in words)
              and "einstall" not in r.stderr)
        check(ok, "%s: one line naming %s, status 1" % (what, ", ".join(words)),
              "status %s, stderr %r" % (r.returncode, r.stderr))

    expect("nothing set", run.run([]), "DISPLAY", "WAYLAND_DISPLAY")
    expect("--external-synth, nothing set", run.run(["--external-synth"]), "DISPLAY")
    nobody = free_display()
    expect("DISPLAY=%s" % nobody, run.run([], DISPLAY=nobody), nobody, "(DISPLAY)")
    expect("-display %s" % nobody, run.run(["-display", nobody]), nobody, "(-display)")
    expect("--display %s" % nobody, run.run(["--display", nobody]), nobody, "(-display)")
    expect("-platform xcb, nothing set", run.run(["-platform", "xcb"]), "DISPLAY")
    runtime = tempfile.mkdtemp(prefix="runtime-", dir=work)
    expect("WAYLAND_DISPLAY with no socket",
           run.run([], WAYLAND_DISPLAY="wayland-gone", XDG_RUNTIME_DIR=runtime), "wayland-gone", "WAYLAND_DISPLAY")
    # A socket left by a compositor that is gone: there, but nobody listens.
    import socket
    with socket.socket(socket.AF_UNIX) as dead:
        dead.bind(os.path.join(runtime, "wayland-dead"))
    expect("WAYLAND_DISPLAY whose socket nobody listens on",
           run.run([], WAYLAND_DISPLAY="wayland-dead", XDG_RUNTIME_DIR=runtime), "wayland-dead", "WAYLAND_DISPLAY")
    expect("QT_QPA_PLATFORM=wayland;xcb, neither there",
           run.run([], QT_QPA_PLATFORM="wayland;xcb", DISPLAY=nobody, XDG_RUNTIME_DIR=runtime),
           "wayland-0", nobody)


def check_qt_options_reach_qt(run, work):
    running, status, log = run.start_and_stop(["-platform", "offscreen"])
    check(running and status == 0 and "no display" not in log,
          "-platform offscreen starts it without a display; SIGTERM ends it with 0",
          "running %s, status %s, log %r" % (running, status, log[-500:]))
    if not shutil.which("Xvfb"):
        print("note: no Xvfb here, the reachable-display cases are left out")
        return
    display = free_display()
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 20
        while not os.path.exists("/tmp/.X11-unix/X" + display[1:]) and time.monotonic() < end:
            time.sleep(0.05)
        running, status, log = run.start_and_stop([], DISPLAY=display)
        check(running and status == 0 and "no display" not in log,
              "DISPLAY=%s (served) starts it; SIGTERM ends it with 0" % display,
              "running %s, status %s, log %r" % (running, status, log[-500:]))
        nobody = free_display()
        running, status, log = run.start_and_stop(["-display", display], DISPLAY=nobody)
        check(running and status == 0 and "no display" not in log and "could not connect" not in log,
              "-display %s (served) is used although DISPLAY=%s is not" % (display, nobody),
              "running %s, status %s, log %r" % (running, status, log[-500:]))
    finally:
        xvfb.terminate()
        xvfb.wait(10)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--manual", required=True)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="plinkora-cli-")
    try:
        run = Runner(os.path.abspath(a.program), work)
        check_help_and_version(run, a.version, a.manual)
        check_wrong_arguments(run)
        check_no_display(run, work)
        check_qt_options_reach_qt(run, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("FAIL: %d check(s)" % len(failures) if failures else "PASS")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
