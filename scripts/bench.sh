#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and runs every benchmark against a
# private virtual X server and sound server (a null sink), then prints one
# table of figures.
#
#   scripts/bench.sh [--session SECONDS]   the continuous-playing session (default 600)
#                    [--pipewire]          PipeWire and its PulseAudio service instead of PulseAudio
#                    [--load N]            N busy processes (sha256sum of /dev/zero) running throughout
#                    [--strikes N]         key-to-sound strikes on each tone (default 20)
#                    [--user NAME]         the ordinary user the real program runs as
#                                          (default plinkora-bench, created when missing)
#                    [--output pulse|pipewire]  the program's sound output (PLINKORA_AUDIO_OUTPUT);
#                                          by default it chooses itself
#                    [--rtkit]             RealtimeKit as Debian's desktops have it (rtkit-daemon, polkitd,
#                                          a system bus and a polkit rule for the user; needs root)
#                    [--floor-seconds S]   each period of the floor client (default 60; 0: no floor)
#                    [--floor-periods L]   the periods it tries (default 128,256,512)
#                    [--rests L]           rests before single strikes, in seconds (default 4,30,300)
#                    [--rest-strikes N]    strikes after each rest (default 2)
#
# The desktop benchmarks (bench/bench_desktop.py, bench/bench_session.py)
# drive the real program from outside through tests/desktop/; the stock
# FluidSynth player (fluidsynth -a pulseaudio) is measured the same way in
# the same run, for comparison.
#
# Under PipeWire the floor comes first: bench/pw_floor.cpp, a minimal
# real-time client, at each period for --floor-seconds, as the same user
# under the same load, counting the graph cycles it misses; it prints the
# shortest period at which it missed at most 2 cycles a minute, and the
# session sets the program's period, dropouts and missed cycles beside it.
# With --rtkit the floor runs twice, with and without RealtimeKit.
#
# The real program always runs as an ordinary user, as on a desktop: no
# real-time scheduling by right.  When this script runs as root that user
# gets a home of its own and access to the private servers' sockets; when it
# runs as an ordinary user already, the program runs as that user.
set -euo pipefail
cd "$(dirname "$0")/.."
session=600 server=pulseaudio load=0 strikes=20 user=plinkora-bench output="" rtkit=0
floor_seconds=60 floor_periods=128,256,512 rests=4,30,300 rest_strikes=2
while [[ $# -gt 0 ]]; do
  case "$1" in
    --session) session=$2; shift 2 ;;
    --pipewire) server=pipewire; shift ;;
    --load) load=$2; shift 2 ;;
    --strikes) strikes=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --output)
      output=$2; shift 2
      [[ $output == pulse || $output == pipewire ]] || { echo "--output: pulse or pipewire" >&2; exit 2; } ;;
    --rtkit) rtkit=1; shift ;;
    --floor-seconds) floor_seconds=$2; shift 2 ;;
    --floor-periods) floor_periods=$2; shift 2 ;;
    --rests) rests=$2; shift 2 ;;
    --rest-strikes) rest_strikes=$2; shift 2 ;;
    *) echo "usage: $0 [--session SECONDS] [--pipewire] [--load N] [--strikes N] [--user NAME]" \
            "[--output pulse|pipewire] [--rtkit] [--floor-seconds S] [--floor-periods L] [--rests L]" \
            "[--rest-strikes N]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh
if ! command -v fluidsynth >/dev/null 2>&1; then   # the stock player measured beside the program
  sudo_cmd=(); [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends fluidsynth >/dev/null
fi
# Only what is run here: the program and the in-process benchmarks.
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev "${launcher[@]}" >/dev/null
cmake --build build -j"$(nproc)" --target plinkora bench_keys bench_sound bench_recorder bench_midi_port bench_memory graph_record \
  pw_floor >/dev/null

user_args=()
if [[ $(id -u) -eq 0 ]]; then
  if ! id "$user" >/dev/null 2>&1; then
    useradd --create-home --shell /usr/sbin/nologin --comment "Plinkora benchmarks" "$user"
  fi
  user_args=(--user "$user")
  who="$user (uid $(id -u "$user"), an ordinary user)"
else
  who="$(id -un) (uid $(id -u))"
  [[ $rtkit == 1 ]] && { echo "--rtkit: RealtimeKit's daemons are system services; run this as root" >&2; exit 2; }
fi

source scripts/private-servers.sh
load_pids=()
stop_all() {
  local status=$? pid
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  load_pids=()
  stop_private_servers || true
  exit "$status"
}
server_args=()
[[ $server == pipewire ]] && server_args+=(--pipewire)
[[ $rtkit == 1 ]] && server_args+=(--rtkit "$user")
start_private_servers "${server_args[@]}"
trap stop_all EXIT
[[ ${#user_args[@]} -gt 0 ]] && private_servers_allow_user "$user"
log=$(mktemp -d /tmp/plinkora-bench-log-XXXXXX)
chmod 755 "$log"

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for ((i = 0; i < load; i++)); do
  sha256sum /dev/zero >/dev/null 2>&1 &
  load_pids+=($!)
done

run() {   # name, command...: full output to the log, table rows kept
  local name=$1; shift
  echo "running $name ..." >&2
  "$@" >"$log/$name.txt" 2>&1 || echo "  ($name ended with status $?; see $log/$name.txt)" >&2
  grep '^| ' "$log/$name.txt" || true
}

quantum_while_playing() {   # PipeWire's period a while into the session
  sleep 15
  private_pipewire_quantum >"$log/quantum.txt" 2>/dev/null || true
}

# The floor client as the program's user, reaching a system bus (and its
# RealtimeKit) or not; its summary in the log folder.
floor() {   # label, system bus address, summary file
  local label=$1 bus=$2 summary=$3 home="$log/floor-home"
  local cmd=(build/bin/pw_floor --periods "$floor_periods" --seconds "$floor_seconds" --label "$label"
             --summary "$home/summary.txt")
  mkdir -p "$home"
  if [[ ${#user_args[@]} -gt 0 ]]; then
    chown "$user" "$home"
    setpriv --reuid "$user" --regid "$(id -g "$user")" --init-groups \
      env HOME="$home" XDG_RUNTIME_DIR="$home" DBUS_SYSTEM_BUS_ADDRESS="$bus" "${cmd[@]}"
  else
    env HOME="$home" XDG_RUNTIME_DIR="$home" DBUS_SYSTEM_BUS_ADDRESS="$bus" "${cmd[@]}"
  fi
  local status=$?
  cp "$home/summary.txt" "$summary" 2>/dev/null || true
  return $status
}

output_args=()
[[ -n $output ]] && output_args=(--output "$output")
floor_args=()
[[ $server == pipewire && $floor_seconds != 0 ]] && floor_args=(--floor "$log/floor.txt")
py=/usr/bin/python3
rows=$(
  if [[ $server == pipewire && $floor_seconds != 0 ]]; then
    echo "  the floor: ${floor_periods} frames, ${floor_seconds} s each ..." >&2
    if [[ $rtkit == 1 ]]; then
      run floor-rtkit floor "with RealtimeKit" "$DBUS_SYSTEM_BUS_ADDRESS" "$log/floor.txt"
      run floor-plain floor "without RealtimeKit" "unix:path=$log/no-system-bus" "$log/floor-without.txt"
    else
      run floor floor "without RealtimeKit" "$DBUS_SYSTEM_BUS_ADDRESS" "$log/floor.txt"
    fi
  fi
  run startup "$py" bench/bench_startup.py --program build/bin/plinkora --runs 10 "${user_args[@]}" \
    "${output_args[@]}"
  build/bin/bench_memory >"$log/memory.txt" 2>&1 || echo "  (memory ended with status $?)" >&2
  run keys build/bin/bench_keys
  run sound build/bin/bench_sound --busy 60
  run desktop "$py" bench/bench_desktop.py --program build/bin/plinkora --strikes "$strikes" --idle 10 \
    --playing 20 --stock --rests "$rests" --rest-strikes "$rest_strikes" "${user_args[@]}" "${output_args[@]}"
  run recorder build/bin/bench_recorder
  run midiport build/bin/bench_midi_port --seconds 60
  echo "  the ${session} s session takes that long ..." >&2
  if [[ $server == pipewire ]]; then quantum_while_playing & qpid=$!; fi
  run session "$py" bench/bench_session.py --program build/bin/plinkora --seconds "$session" \
    "${user_args[@]}" "${output_args[@]}" "${floor_args[@]}"
  if [[ $server == pipewire ]]; then
    wait "$qpid" 2>/dev/null || true
    echo "| Graph period while the program played (PipeWire quantum) | $(cat "$log/quantum.txt" 2>/dev/null || echo unknown) frames | pw-top 15 s into the session${PLINKORA_PW_MIN_QUANTUM:+; smallest period forced to $PLINKORA_PW_MIN_QUANTUM} |"
  else
    echo "| Graph period while the program played | none | PulseAudio mixes on demand (the null sink follows its streams) |"
  fi
)

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
extra=""
if [[ $server == pipewire ]]; then
  extra="; PipeWire's period while the program played: $(cat "$log/quantum.txt" 2>/dev/null || echo unknown) frames"
  [[ -n "${PLINKORA_PW_MIN_QUANTUM:-}" ]] && extra+=" (smallest period forced to $PLINKORA_PW_MIN_QUANTUM)"
fi
echo
echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores of $cpu, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo),"
echo "Linux $(uname -r), $(private_sound_server_version) with a null sink, Xvfb$extra;"
echo "the program run as $who; $(private_realtimekit); $load busy processes;"
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end (the run began at $load_start)."
echo
echo "| Figure | Measured | Notes |"
echo "|---|---|---|"
echo "$rows"
echo
# The heap by owner (in-process), a table of its own.
sed -n '/^Heap by owner/,$p' "$log/memory.txt" 2>/dev/null || true
echo
echo "(full outputs in $log)"
