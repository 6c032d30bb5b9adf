# Sourced by scripts that need a display and a sound server of their own:
# a virtual X server and a per-user PulseAudio daemon with a null sink, in a
# private runtime folder, so nothing the machine already runs is touched.
#
#   source scripts/private-servers.sh
#   start_private_servers     # exports DISPLAY, PULSE_SERVER, PULSE_RUNTIME_PATH
#   ...                       # stop_private_servers runs on exit
PRIVATE_RUNTIME=""
PRIVATE_XVFB_PID=""
PRIVATE_PULSE_PID=""

stop_private_servers() {
  [[ -n "$PRIVATE_PULSE_PID" ]] && kill "$PRIVATE_PULSE_PID" 2>/dev/null && wait "$PRIVATE_PULSE_PID" 2>/dev/null
  [[ -n "$PRIVATE_XVFB_PID" ]] && kill "$PRIVATE_XVFB_PID" 2>/dev/null && wait "$PRIVATE_XVFB_PID" 2>/dev/null
  [[ -n "$PRIVATE_RUNTIME" ]] && rm -rf "$PRIVATE_RUNTIME"
  PRIVATE_PULSE_PID=""; PRIVATE_XVFB_PID=""; PRIVATE_RUNTIME=""
}

start_private_servers() {
  trap stop_private_servers EXIT
  PRIVATE_RUNTIME=$(mktemp -d /tmp/plinkora-servers-XXXXXX)
  chmod 700 "$PRIVATE_RUNTIME"
  local n
  for n in $(seq 90 140); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -ardelay 2000 -arinterval 100 \
    >"$PRIVATE_RUNTIME/xvfb.log" 2>&1 &
  PRIVATE_XVFB_PID=$!
  export DISPLAY=":$n"

  export PULSE_RUNTIME_PATH="$PRIVATE_RUNTIME/pulse"
  mkdir -p "$PULSE_RUNTIME_PATH"
  export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
  HOME="$PRIVATE_RUNTIME" pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --disable-shm=no -L "module-native-protocol-unix socket=$PULSE_RUNTIME_PATH/native auth-anonymous=1" \
    -L "module-null-sink sink_name=bench_null" -L "module-always-sink" \
    >"$PRIVATE_RUNTIME/pulse.log" 2>&1 &
  PRIVATE_PULSE_PID=$!

  local i
  for i in $(seq 100); do
    [[ -e /tmp/.X11-unix/X$n ]] && pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  pactl info >/dev/null 2>&1 || { echo "no private sound server (see $PRIVATE_RUNTIME/pulse.log)" >&2; return 1; }
  [[ -e /tmp/.X11-unix/X$n ]] || { echo "no virtual X server" >&2; return 1; }
  pactl set-default-sink bench_null >/dev/null
}
