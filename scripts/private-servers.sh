# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by scripts that need a display and a sound server of their own:
# a virtual X server and a sound server with a null sink, in a private
# runtime folder, so nothing the machine already runs is touched.  Every
# server is a child of this shell and is stopped by its process id.
#
#   source scripts/private-servers.sh
#   start_private_servers [--pipewire] [--rtkit USER]...
#                        # exports DISPLAY, PULSE_SERVER, PRIVATE_SOUND_SERVER,
#                        # DBUS_SYSTEM_BUS_ADDRESS
#   ...                  # stop_private_servers runs on exit
#
# The sound server is PulseAudio, or with --pipewire (or
# PLINKORA_SOUND_SERVER=pipewire) PipeWire with WirePlumber and its
# PulseAudio service, Debian's desktop default.  PipeWire and WirePlumber
# get a private session bus (a dbus-daemon of ours) and a private
# XDG_RUNTIME_DIR; PIPEWIRE_RUNTIME_DIR is exported for pw-* tools.
# Either way the default sink is a null sink "bench_null" whose monitor
# ("bench_null.monitor") can be recorded.
#
# PLINKORA_PW_MIN_QUANTUM=1024 makes PipeWire behave as it does inside a
# virtual machine it recognises (it raises its smallest period to 1024
# frames at 48 kHz there); private_pipewire_quantum prints the period the
# null sink runs at while something plays.
#
# --rtkit USER (as root; repeat it for more users) first starts RealtimeKit
# as Debian's desktops have it (tests/desktop/realtimekit.py: a private
# system bus, polkitd, rtkit-daemon, and a polkit rule granting USER its
# actions, removed again at the end), and the servers and everything started
# after them reach it through DBUS_SYSTEM_BUS_ADDRESS.  Without it
# DBUS_SYSTEM_BUS_ADDRESS names a socket that is not there, so no client
# reaches a system bus (nor a RealtimeKit) of the machine's own.
# private_realtimekit says which.
#
# private_servers_allow_user USER lets another local user reach the
# servers' sockets (for running a program as an ordinary user).
PRIVATE_RUNTIME=""
PRIVATE_XVFB_PID=""
PRIVATE_PULSE_PID=""
PRIVATE_DBUS_PID=""
PRIVATE_PIPEWIRE_PID=""
PRIVATE_WIREPLUMBER_PID=""
PRIVATE_PIPEWIRE_PULSE_PID=""
PRIVATE_SOUND_SERVER=""
PRIVATE_RTKIT_PID=""
PRIVATE_RTKIT_USERS=""
_PRIVATE_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

_private_stop_pid() {   # pid: TERM, wait up to 3 s, then KILL
  local pid=$1 i
  [[ -n "$pid" ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

stop_private_servers() {
  if [[ -n "$PRIVATE_RTKIT_PID" ]]; then
    # It stops its daemons and removes its polkit rule on TERM: give it time.
    kill "$PRIVATE_RTKIT_PID" 2>/dev/null || true
    local i
    for i in $(seq 200); do kill -0 "$PRIVATE_RTKIT_PID" 2>/dev/null || break; sleep 0.05; done
    _private_stop_pid "$PRIVATE_RTKIT_PID"
  fi
  _private_stop_pid "$PRIVATE_PIPEWIRE_PULSE_PID"
  _private_stop_pid "$PRIVATE_WIREPLUMBER_PID"
  _private_stop_pid "$PRIVATE_PIPEWIRE_PID"
  _private_stop_pid "$PRIVATE_DBUS_PID"
  _private_stop_pid "$PRIVATE_PULSE_PID"
  _private_stop_pid "$PRIVATE_XVFB_PID"
  [[ -n "$PRIVATE_RUNTIME" ]] && rm -rf "$PRIVATE_RUNTIME"
  PRIVATE_PIPEWIRE_PULSE_PID=""; PRIVATE_WIREPLUMBER_PID=""; PRIVATE_PIPEWIRE_PID=""
  PRIVATE_DBUS_PID=""; PRIVATE_PULSE_PID=""; PRIVATE_XVFB_PID=""; PRIVATE_RUNTIME=""
  PRIVATE_SOUND_SERVER=""; PRIVATE_RTKIT_PID=""; PRIVATE_RTKIT_USERS=""
}

_private_wait() {   # tries, command...: true once the command succeeds
  local tries=$1 i; shift
  for i in $(seq "$tries"); do "$@" >/dev/null 2>&1 && return 0; sleep 0.05; done
  "$@" >/dev/null 2>&1
}

_private_start_pulseaudio() {
  export PULSE_RUNTIME_PATH="$PRIVATE_RUNTIME/pulse"
  mkdir -p "$PULSE_RUNTIME_PATH"
  export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
  HOME="$PRIVATE_RUNTIME" pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --disable-shm=no -L "module-native-protocol-unix socket=$PULSE_RUNTIME_PATH/native auth-anonymous=1" \
    -L "module-null-sink sink_name=bench_null" -L "module-always-sink" \
    >"$PRIVATE_RUNTIME/pulse.log" 2>&1 &
  PRIVATE_PULSE_PID=$!
  _private_wait 100 pactl info || { echo "no private PulseAudio (see $PRIVATE_RUNTIME/pulse.log)" >&2; return 1; }
}

_private_start_pipewire() {
  local xdg="$PRIVATE_RUNTIME/xdg"
  mkdir -p "$xdg" "$PRIVATE_RUNTIME/config" "$PRIVATE_RUNTIME/state"
  chmod 700 "$xdg"
  # WirePlumber does not stay up without a session bus: a private one.
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$PRIVATE_RUNTIME/bus" \
    >"$PRIVATE_RUNTIME/dbus.log" 2>&1 &
  PRIVATE_DBUS_PID=$!
  _private_wait 100 test -S "$PRIVATE_RUNTIME/bus" || { echo "no private session bus" >&2; return 1; }
  # The servers' environment: everything private, nothing of the caller's desktop.
  local env=(env -u DISPLAY -u WAYLAND_DISPLAY -u PULSE_SERVER -u PULSE_RUNTIME_PATH
             HOME="$PRIVATE_RUNTIME" XDG_RUNTIME_DIR="$xdg" PIPEWIRE_RUNTIME_DIR="$xdg"
             XDG_CONFIG_HOME="$PRIVATE_RUNTIME/config" XDG_STATE_HOME="$PRIVATE_RUNTIME/state"
             DBUS_SESSION_BUS_ADDRESS="unix:path=$PRIVATE_RUNTIME/bus")
  "${env[@]}" pipewire >"$PRIVATE_RUNTIME/pipewire.log" 2>&1 &
  PRIVATE_PIPEWIRE_PID=$!
  _private_wait 100 test -S "$xdg/pipewire-0" || { echo "no private PipeWire (see $PRIVATE_RUNTIME/pipewire.log)" >&2; return 1; }
  "${env[@]}" wireplumber >"$PRIVATE_RUNTIME/wireplumber.log" 2>&1 &
  PRIVATE_WIREPLUMBER_PID=$!
  "${env[@]}" pipewire-pulse >"$PRIVATE_RUNTIME/pipewire-pulse.log" 2>&1 &
  PRIVATE_PIPEWIRE_PULSE_PID=$!
  export PIPEWIRE_RUNTIME_DIR="$xdg"
  export PULSE_SERVER="unix:$xdg/pulse/native"
  _private_wait 100 pactl info || { echo "no PipeWire PulseAudio service (see $PRIVATE_RUNTIME/pipewire-pulse.log)" >&2; return 1; }
  # The session manager must be up, or streams are never linked to the sink.
  _private_wait 100 kill -0 "$PRIVATE_WIREPLUMBER_PID" || true
  sleep 0.3
  kill -0 "$PRIVATE_WIREPLUMBER_PID" 2>/dev/null || { echo "WirePlumber ended (see $PRIVATE_RUNTIME/wireplumber.log)" >&2; return 1; }
  pactl load-module module-null-sink sink_name=bench_null >/dev/null || return 1
  _private_wait 100 sh -c 'pactl list short sinks | grep -q bench_null'
  if [[ -n "${PLINKORA_PW_MIN_QUANTUM:-}" ]]; then
    pw-metadata -n settings 0 clock.min-quantum "$PLINKORA_PW_MIN_QUANTUM" >/dev/null
  fi
}

# RealtimeKit for the users named, on a private system bus.
_private_start_realtimekit() {
  local args=() u out="$PRIVATE_RUNTIME/realtimekit.out" i
  for u in "$@"; do args+=(--user "$u"); done
  # polkitd and rtkit-daemon, as their own users, reach the bus socket inside.
  chmod 711 "$PRIVATE_RUNTIME"
  /usr/bin/python3 "$_PRIVATE_SCRIPTS/../tests/desktop/realtimekit.py" --folder "$PRIVATE_RUNTIME/rtkit" \
    "${args[@]}" >"$out" 2>&1 &
  PRIVATE_RTKIT_PID=$!
  for i in $(seq 600); do
    grep -q '^DBUS_SYSTEM_BUS_ADDRESS=' "$out" 2>/dev/null && break
    kill -0 "$PRIVATE_RTKIT_PID" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q '^DBUS_SYSTEM_BUS_ADDRESS=' "$out" 2>/dev/null; then
    echo "no RealtimeKit: $(cat "$out" 2>/dev/null)" >&2
    return 1
  fi
  export DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^DBUS_SYSTEM_BUS_ADDRESS=//p' "$out" | head -1)
  PRIVATE_RTKIT_USERS="$*"
}

start_private_servers() {
  local server=${PLINKORA_SOUND_SERVER:-pulseaudio} rtkit_users=()
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --pipewire) server=pipewire; shift ;;
      --rtkit) rtkit_users+=("$2"); shift 2 ;;
      *) echo "start_private_servers: unknown option $1" >&2; return 1 ;;
    esac
  done
  [[ "$server" == pulseaudio || "$server" == pipewire ]] || { echo "unknown sound server: $server" >&2; return 1; }
  trap stop_private_servers EXIT
  PRIVATE_RUNTIME=$(mktemp -d /tmp/plinkora-servers-XXXXXX)
  chmod 700 "$PRIVATE_RUNTIME"
  if [[ ${#rtkit_users[@]} -gt 0 ]]; then
    _private_start_realtimekit "${rtkit_users[@]}" || return 1
  else
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$PRIVATE_RUNTIME/no-system-bus"
  fi
  local n
  for n in $(seq 90 140); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -ardelay 2000 -arinterval 100 \
    >"$PRIVATE_RUNTIME/xvfb.log" 2>&1 &
  PRIVATE_XVFB_PID=$!
  export DISPLAY=":$n"

  PRIVATE_SOUND_SERVER=$server
  export PRIVATE_SOUND_SERVER
  if [[ "$server" == pipewire ]]; then _private_start_pipewire || return 1
  else _private_start_pulseaudio || return 1; fi

  _private_wait 100 test -e "/tmp/.X11-unix/X$n" || { echo "no virtual X server" >&2; return 1; }
  pactl set-default-sink bench_null >/dev/null
}

# The sound server's name and version, e.g. "PulseAudio 16.1" or
# "PipeWire 0.3.65 (PulseAudio service)".
private_sound_server_version() {
  if [[ "$PRIVATE_SOUND_SERVER" == pipewire ]]; then
    echo "PipeWire $(pipewire --version | awk '/libpipewire/ {print $NF; exit}') (its PulseAudio service, WirePlumber)"
  else
    echo "PulseAudio $(pulseaudio --version | awk '{print $2}')"
  fi
}

# Whether RealtimeKit ran, e.g. "RealtimeKit 0.13 (rtkit-daemon, polkitd 122,
# a private system bus; granted to plinkora-bench)" or "no RealtimeKit".
private_realtimekit() {
  if [[ -n "$PRIVATE_RTKIT_PID" ]] && kill -0 "$PRIVATE_RTKIT_PID" 2>/dev/null; then
    echo "RealtimeKit $(dpkg-query -W -f='${Version}' rtkit 2>/dev/null | sed 's/-[^-]*$//') (rtkit-daemon," \
         "polkitd $(dpkg-query -W -f='${Version}' polkitd 2>/dev/null | sed 's/-[^-]*$//')," \
         "a private system bus; granted to ${PRIVATE_RTKIT_USERS// /, })"
  else
    echo "no RealtimeKit"
  fi
}

# The null sink's current period under PipeWire, "QUANTUM/RATE" (pw-top's
# view of one moment; "idle" when nothing plays).
private_pipewire_quantum() {
  [[ "$PRIVATE_SOUND_SERVER" == pipewire ]] || return 1
  TERM=xterm script -q -c 'timeout 1.5 pw-top' /dev/null 2>/dev/null </dev/null \
    | sed -e 's/\x1b\[[0-9]*;1H/\n/g' -e 's/\x1b\[[0-9]*d/\n/g' -e 's/\x1b[[(][0-9;?]*[a-zA-Z]/ /g' | tr '\r' '\n' \
    | awk '$1 == "R" && $NF ~ /^bench_nul/ { q = $3 "/" $4 } END { print (q == "" ? "idle" : q) }'
}

# Lets USER reach the servers: the runtime folders can be passed through
# (not listed) and the sockets opened.  The X server takes local clients.
private_servers_allow_user() {
  local user=$1 sock
  chmod 711 "$PRIVATE_RUNTIME"
  [[ -d "$PRIVATE_RUNTIME/pulse" ]] && chmod 711 "$PRIVATE_RUNTIME/pulse"
  [[ -d "$PRIVATE_RUNTIME/xdg" ]] && chmod 711 "$PRIVATE_RUNTIME/xdg" "$PRIVATE_RUNTIME/xdg/pulse"
  sock=${PULSE_SERVER#unix:}
  chmod 666 "$sock"
  # PipeWire's own socket, for the program's native PipeWire output.
  [[ -S "$PRIVATE_RUNTIME/xdg/pipewire-0" ]] && chmod 666 "$PRIVATE_RUNTIME/xdg/pipewire-0"
  id "$user" >/dev/null
}
