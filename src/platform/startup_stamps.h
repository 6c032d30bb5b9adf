// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up stamps: the monotonic time at which each step of start-up ended,
// on the UI thread and on the sound loader's, for the start-up benchmark
// (bench/bench_startup.py) to read from outside.  With
// PLINKORA_STARTUP_STAMPS=1 in the environment, report() writes them to
// stderr once, in one line:
//
//   plinkora: start-up stamps (ms, CLOCK_MONOTONIC): main=1234.5 qt=1250.1 ...
//
// Without it nothing is written; marking a step costs a clock read.
#pragma once

namespace platform::startup {

// Threads: any.  Records that `step` (a string literal) has just ended.  The
// first 32 marks are kept; later ones are dropped.
void mark(const char* step) noexcept;

// Threads: the UI thread.  Writes the marks so far, once per run, when asked for.
void report();

}  // namespace platform::startup
