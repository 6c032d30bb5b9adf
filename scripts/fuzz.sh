#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer programs with clang in ./build-fuzz and runs each for
# the given number of seconds (default 30), starting from the committed
# corpus.  New corpus entries stay in build-fuzz/corpus/; a crashing input is
# written to build-fuzz/artifacts/ and makes the script fail.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: mci_fuzz wave_fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(mci_fuzz wave_fuzz)

cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -Wno-dev >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]}" >/dev/null

status=0
for t in "${targets[@]}"; do
  # Absolute paths: the MCI target works in a scratch folder of its own.
  seeds="$root/tests/fuzz/corpus/${t%_fuzz}"
  work="$root/build-fuzz/corpus/${t%_fuzz}"
  mkdir -p "$work" "$root/build-fuzz/artifacts"
  echo "fuzz: $t for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$root/build-fuzz/$t" "$work" "$seeds" \
      -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$root/build-fuzz/artifacts/$t-" \
      >"build-fuzz/$t.log" 2>&1; then
    echo "fuzz: $t FAILED; see build-fuzz/$t.log and build-fuzz/artifacts/" >&2
    grep -E "ERROR|SUMMARY|Test unit written" "build-fuzz/$t.log" | head -20 >&2 || true
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "build-fuzz/$t.log" | sed "s/^/fuzz: $t /"
  fi
done
exit $status
