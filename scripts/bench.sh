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
#
# The desktop benchmarks (bench/bench_desktop.py, bench/bench_session.py)
# drive the real program from outside through tests/desktop/; the stock
# FluidSynth player (fluidsynth -a pulseaudio) is measured the same way in
# the same run, for comparison.
#
# The real program always runs as an ordinary user, as on a desktop: no
# real-time scheduling by right.  When this script runs as root that user
# gets a home of its own and access to the private servers' sockets; when it
# runs as an ordinary user already, the program runs as that user.
set -euo pipefail
cd "$(dirname "$0")/.."
session=600 server=pulseaudio load=0 strikes=20 user=plinkora-bench output=""
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
    *) echo "usage: $0 [--session SECONDS] [--pipewire] [--load N] [--strikes N] [--user NAME]" \
            "[--output pulse|pipewire]" >&2; exit 2 ;;
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
cmake --build build -j"$(nproc)" --target plinkora bench_keys bench_sound bench_recorder bench_midi_port graph_record >/dev/null

user_args=()
if [[ $(id -u) -eq 0 ]]; then
  if ! id "$user" >/dev/null 2>&1; then
    useradd --create-home --shell /usr/sbin/nologin --comment "Plinkora benchmarks" "$user"
  fi
  user_args=(--user "$user")
  who="$user (uid $(id -u "$user"), an ordinary user)"
else
  who="$(id -un) (uid $(id -u))"
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
if [[ $server == pipewire ]]; then start_private_servers --pipewire; else start_private_servers; fi
trap stop_all EXIT
[[ ${#user_args[@]} -gt 0 ]] && private_servers_allow_user "$user"
log=$(mktemp -d /tmp/plinkora-bench-log-XXXXXX)
chmod 755 "$log"

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

output_args=()
[[ -n $output ]] && output_args=(--output "$output")
py=/usr/bin/python3
rows=$(
  run keys build/bin/bench_keys
  run sound build/bin/bench_sound --busy 60
  run desktop "$py" bench/bench_desktop.py --program build/bin/plinkora --strikes "$strikes" --idle 10 \
    --playing 20 --stock "${user_args[@]}" "${output_args[@]}"
  run recorder build/bin/bench_recorder
  run midiport build/bin/bench_midi_port --seconds 60
  echo "  the ${session} s session takes that long ..." >&2
  if [[ $server == pipewire ]]; then quantum_while_playing & qpid=$!; fi
  run session "$py" bench/bench_session.py --program build/bin/plinkora --seconds "$session" \
    "${user_args[@]}" "${output_args[@]}"
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
echo "the program run as $who; $load busy processes; load average $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "| Figure | Measured | Notes |"
echo "|---|---|---|"
echo "$rows"
echo
echo "(full outputs in $log)"
