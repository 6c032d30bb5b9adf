#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the GoogleTest and Qt Test programs (tests/*_test.cpp, *_qtest.cpp)
# twice more, each in a build folder of its own, and runs them under CTest:
#   build-tsan   ThreadSanitizer
#   build-asan   AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer
# Neither the benchmarks nor the end-to-end and package tests are built or run.
# Any report fails the run: the sanitizers stop the test at the first one, and
# the whole log is searched for reports as well, in case a test swallowed the
# exit status (a forked child, say).  Logs: build-tsan/sanitize.log,
# build-asan/sanitize.log.
#   scripts/sanitize.sh [tsan] [asan]      (default: both)
# Suppressions (scripts/sanitize/lsan.supp) are for code of other projects only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kinds=("$@")
[[ ${#kinds[@]} -gt 0 ]] || kinds=(tsan asan)

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

# The test programs, named after their sources as tests/CMakeLists.txt names
# them, less those that replace malloc and its relatives with counting
# wrappers of their own (engine_alloc_test, synth_footprint_test): the
# sanitizers bring their own allocator, and those tests count its calls.
targets=()
skipped=()
for src in tests/*_test.cpp tests/*_qtest.cpp; do
  name=$(basename "$src" .cpp)
  if grep -q "__libc_malloc" "$src"; then skipped+=("$name"); else targets+=("$name"); fi
done
skip_re="^($(IFS='|'; echo "${skipped[*]:-none}"))\$"

supp=$root/scripts/sanitize
common_env=(QT_QPA_PLATFORM=offscreen)

status=0
for kind in "${kinds[@]}"; do
  case $kind in
    tsan)
      flags="-fsanitize=thread"
      # Qt, FluidSynth, glib and libpulse are Debian's builds, not instrumented:
      # Qt 6 and glib lock with futexes of their own, which ThreadSanitizer
      # cannot see, so what their threads hand each other (Qt's thread pool
      # while a widget paints, the Qt Test watchdog) would look like races.
      # ignore_noninstrumented_modules leaves out the calls those libraries
      # make into the sanitizer (malloc, free, pthread_*); every access of
      # our own code is still checked.
      run_env=("TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 history_size=4 ignore_noninstrumented_modules=1")
      ;;
    asan)
      flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
      # fast_unwind_on_malloc=0: whole allocation stacks through Qt's own
      # frames (built without frame pointers), which the leak suppressions
      # match on.
      run_env=("ASAN_OPTIONS=halt_on_error=1 detect_leaks=1 detect_stack_use_after_return=1 strict_init_order=1 check_initialization_order=1 fast_unwind_on_malloc=0"
               "LSAN_OPTIONS=suppressions=$supp/lsan.supp print_suppressions=0"
               "UBSAN_OPTIONS=halt_on_error=1 print_stacktrace=1")
      ;;
    *) echo "sanitize: unknown kind $kind (tsan, asan)" >&2; exit 2 ;;
  esac
  dir=build-$kind
  start=$SECONDS
  echo "sanitize: $kind: building ${#targets[@]} test programs in $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -Wno-dev "${launcher[@]}" \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_FLAGS="$flags -fno-omit-frame-pointer" -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DPLINKORA_BENCH=OFF >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; exit 1; }
  mv "$dir.configure.log" "$dir/configure.log"
  if ! nice cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}" >"$dir/build.log" 2>&1; then
    grep -E "error|Error" "$dir/build.log" | head -30 >&2
    echo "sanitize: $kind: the build failed; see $dir/build.log" >&2
    exit 1
  fi
  built=$((SECONDS - start))

  log=$dir/sanitize.log
  echo "sanitize: $kind: running the tests (log: $log)"
  set +e
  (cd "$dir" && env "${common_env[@]}" "${run_env[@]}" \
     ctest -LE '^(e2e|package|program)$' -E "$skip_re" -V -j"$(nproc)" --timeout 1200) >"$log" 2>&1
  ctest_status=$?
  set -e
  # Reports of every kind the two builds can make.
  reports=$(grep -cE "WARNING: ThreadSanitizer|ERROR: (AddressSanitizer|LeakSanitizer|ThreadSanitizer)|runtime error:" "$log" || true)
  grep -E "^ *[0-9]+% tests passed|tests failed|Total Test time" "$log" | sed "s/^/sanitize: $kind: /"
  if [[ $ctest_status -ne 0 || $reports -ne 0 ]]; then
    echo "sanitize: $kind: FAILED ($reports sanitizer reports); see $log" >&2
    grep -E -A12 "WARNING: ThreadSanitizer|ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: " "$log" | head -80 >&2 || true
    grep -E "^[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Exception)" "$log" >&2 || true
    status=1
  fi
  echo "sanitize: $kind: ${built}s to build, $((SECONDS - start - built))s to test"
done
exit $status
