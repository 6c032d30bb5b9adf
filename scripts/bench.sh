#!/usr/bin/env bash
# Installs what is missing, builds, and runs every benchmark against a
# private virtual X server and sound server (a null sink), then prints one
# table of figures.
#
#   scripts/bench.sh [--session SECONDS]   default 600: the continuous-playing session
set -euo pipefail
cd "$(dirname "$0")/.."
session=600
[[ "${1:-}" == "--session" && -n "${2:-}" ]] && session=$2

scripts/install-deps.sh
scripts/build.sh >/dev/null
source scripts/private-servers.sh
start_private_servers
log=$(mktemp -d /tmp/plinkora-bench-log-XXXXXX)

run() {   # name, command...: full output to the log, table rows kept
  local name=$1; shift
  echo "running $name ..." >&2
  "$@" >"$log/$name.txt" 2>&1 || echo "  ($name ended with status $?; see $log/$name.txt)" >&2
  grep '^| ' "$log/$name.txt" || true
}

rows=$(
  run keys build/bin/bench_keys
  run sound build/bin/bench_sound --busy 60
  run desktop build/bin/bench_desktop --strikes 60 --idle 10
  run recorder build/bin/bench_recorder
  echo "  the ${session} s session takes that long ..." >&2
  run session build/bin/bench_sound --session "$session"
)

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo
echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores of $cpu, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo),"
echo "Linux $(uname -r), PulseAudio $(pulseaudio --version | awk '{print $2}') with a null sink, Xvfb; load average $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "| Figure | Measured | Notes |"
echo "|---|---|---|"
echo "$rows"
echo
echo "(full outputs in $log)"
