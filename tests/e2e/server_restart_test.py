#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The sound server restarted under a playing, recording program.

Starts the built program on a private virtual X server and sound server
(PulseAudio, or PipeWire with WirePlumber and pipewire-pulse with
--sound-server pipewire), switches to Nylon, starts a take (Z) and strikes
Numpad 1 (A, 440 Hz).  Then the sound server is stopped and started anew,
as a desktop's is when it restarts.  The program keeps running, the next
strike, Numpad 5 (C, 261.6 Hz), is heard through the new server, and the
take stopped with X holds both notes at their pitches (what was heard:
the time without a server is not in it).  Under PipeWire the program's
MIDI port (plinkora-midi:out) is in the graph before the restart and
again once the program plays through the new server.

  server_restart_test.py --program build/bin/plinkora --assets assets --artifacts DIR
      [--sound-server pulseaudio|pipewire]

Exit status: 0 passed, 1 failed, 77 skipped (a server program missing).
"""
import os
import shutil
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as e2e  # noqa: E402
from desktop.pitch import read_wav  # noqa: E402

A, C = e2e.midi_hz(69), e2e.midi_hz(60)


def check_take(path):
    """Both notes in the take, the second after the first, at their pitches."""
    try:
        x, rate = read_wav(path)
    except (OSError, wave.Error, EOFError) as e:
        raise e2e.Failure("the take %s cannot be read: %s" % (path, e))
    x = x.mean(axis=1)
    if len(x) < rate // 2:
        raise e2e.Failure("the take holds %.2f s, too little for two notes" % (len(x) / rate))
    floor = 0.1 * float(e2e.frame_rms(x, int(0.002 * rate)).max())
    found = []
    at = int(0.02 * rate)
    for name, hz in (("A", A), ("C", C)):
        onset = e2e.find_onset(x, at, len(x), rate, floor)
        if onset is None:
            raise e2e.Failure("the take: no %s after %.2f s (found so far: %s)" % (name, at / rate, found))
        f, _ = e2e.pitch(x[onset + int(0.03 * rate):onset + int(0.33 * rate)], rate)
        found.append("%s at %.2f s: %s Hz" % (name, onset / rate, "%.1f" % f if f else "none"))
        if f is None or abs(f - hz) > 4.0:
            raise e2e.Failure("the take: wrong pitch, expected %.1f Hz: %s" % (hz, "; ".join(found)))
        at = onset + int(0.4 * rate)
    e2e.log("the take holds:", "; ".join(found))


MIDI_PORT = "plinkora-midi:out"


def midi_port_listed(run):
    try:
        out = subprocess.run(["pw-link", "-o"], env=run.env, capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return False
    return MIDI_PORT in out.split()


def restart(run):
    pipewire = run.args.sound_server == "pipewire"
    run.start_instrument()
    s = run.screen
    if pipewire:
        e2e.poll("the MIDI port " + MIDI_PORT, lambda: midi_port_listed(run), 5, 0.1)
    s.tap("Down")
    run.wait_panel("the tone indicator to show Nylon", lambda p: p.tone() in ("Nylon", "Nylon lit"))
    run.step = "a take begun, a note before the restart"
    s.tap("z")
    run.wait_panel("the Rec button's recording look", lambda p: p.recording_look() is True, name="recording")
    run.listen_for_note("KP_1", A, "before the restart: KP_1 (A)")
    run.step = "the sound server restarted"
    run.restart_sound()
    time.sleep(0.5)
    if run.program.poll() is not None:
        raise e2e.Failure("the program ended (status %s) when the sound server went away"
                          % run.program.returncode)
    run.step = "a note after the restart"
    run.listen_for_note("KP_5", C, "after the restart: KP_5 (C)")
    if pipewire:
        e2e.poll("the MIDI port %s in the new server's graph" % MIDI_PORT, lambda: midi_port_listed(run), 5, 0.1)
        e2e.log("the MIDI port was in the graph before the restart and is again")
    run.step = "the take stopped"
    s.tap("x")
    run.wait_panel("the Rec button's idle look", lambda p: p.recording_look() is False, name="stopped")
    temp = os.path.join(run.cache, "tempsound.wav")
    e2e.poll("the temporary take " + temp, lambda: os.path.isfile(temp), 3)
    shutil.copy(temp, os.path.join(run.out, "take.wav"))
    check_take(temp)
    run.close_window()


def main():
    args = e2e.script_arguments(__doc__).parse_args()
    return e2e.run_script(args, restart)


if __name__ == "__main__":
    sys.exit(main())
