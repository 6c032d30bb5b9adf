#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes sure a PulseAudio-compatible sound server answers (PipeWire's counts).
# On a machine without one (CI, containers) it starts a per-user PulseAudio
# daemon; with no sound card it plays into a null sink.
set -uo pipefail
if pactl info >/dev/null 2>&1; then exit 0; fi
pulseaudio --daemonize=yes --exit-idle-time=-1 --log-target=stderr >/dev/null 2>&1 \
  || pulseaudio --start --exit-idle-time=-1 >/dev/null 2>&1 || true
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
if ! pactl info >/dev/null 2>&1; then
  echo "sound-server: no PulseAudio server could be started" >&2
  exit 1
fi
if ! pactl list short sinks 2>/dev/null | grep -q .; then
  pactl load-module module-null-sink sink_name=plinkora_null >/dev/null
  pactl set-default-sink plinkora_null >/dev/null
fi
