# SPDX-License-Identifier: GPL-3.0-or-later
"""The floor client (bench/pw_floor.cpp: a minimal real-time PipeWire
client counting the graph cycles it misses) run from outside, as this user
or an ordinary one, and its summary read back."""
import os
import shutil
import subprocess
import tempfile

from .program import as_user


def floor_client():
    """pw_floor beside the built instrument, or None."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.abspath(os.path.join(here, "..", "..", "build", "bin", "pw_floor"))
    return path if os.access(path, os.X_OK) else None


def read_summary(path):
    """{period: dict(missed, seconds, ran, longest, scheduling)} and the
    period held ("held N"; 0: none) from a --summary file."""
    runs, held = {}, 0
    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts[:1] == ["held"]:
                held = int(parts[1])
            elif len(parts) >= 7:
                runs[int(parts[0])] = dict(missed=int(parts[1]), seconds=float(parts[2]),
                                           ran=(int(parts[3]), int(parts[4])), longest=int(parts[5]),
                                           scheduling=" ".join(parts[6:]))
    return runs, held


def run_floor(env, periods, seconds, user=None, binary=None, settle=1.0, label=""):
    """Runs the floor client with env (its system bus, PipeWire's socket),
    as user when given; returns (its table rows, runs, held) as
    read_summary gives them."""
    binary = binary or floor_client()
    if not binary:
        raise FileNotFoundError("no pw_floor (build it)")
    home = tempfile.mkdtemp(prefix="plinkora-floor-")
    try:
        if user:
            import pwd
            pw = pwd.getpwnam(user)
            os.chown(home, pw.pw_uid, pw.pw_gid)
        e = dict(env, HOME=home, XDG_RUNTIME_DIR=home)
        summary = os.path.join(home, "summary.txt")
        argv = [binary, "--periods", ",".join(str(p) for p in periods), "--seconds", str(seconds),
                "--settle", str(settle), "--summary", summary] + (["--label", label] if label else [])
        out = subprocess.run(argv, env=e, capture_output=True, text=True, preexec_fn=as_user(user),
                             timeout=len(periods) * (seconds + settle + 30)).stdout
        rows = [l for l in out.splitlines() if l.startswith("| ")]
        runs, held = read_summary(summary) if os.path.exists(summary) else ({}, 0)
        return rows, runs, held
    finally:
        shutil.rmtree(home, ignore_errors=True)
