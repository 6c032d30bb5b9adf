// SPDX-License-Identifier: GPL-3.0-or-later
// When a command was given, and where it lands in the engine's frames.
//
// The UI thread stamps every command it queues for the audio thread with
// the monotonic clock (monotonicNs()).  An output whose every cycle renders
// fresh frames (nothing of it stays replaceable) hands the engine a
// CommandClock for the block it is about to render: the engine frame that
// stands for a moment of the monotonic clock, and a constant delay.  A
// command stamped at t then lands at
//
//   frame + delayFrames + (t - ns) * rate
//
// never before the block being rendered, and one whose frame lies past the
// block waits in the engine for its own block.  So every strike keeps the
// same distance from its key event, wherever in the cycle it falls.
#pragma once

#include <cmath>
#include <cstdint>
#include <ctime>

namespace platform {

// Any thread: CLOCK_MONOTONIC in nanoseconds.
inline int64_t monotonicNs() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Audio thread: a plain value, made by the output for each block.
struct CommandClock {
  uint64_t frame = 0;          // an engine frame ...
  int64_t ns = 0;              // ... and the monotonic time it stands for
  uint32_t delayFrames = 0;    // from a command's stamp to its frame
  uint32_t rate = 48000;       // engine frames a second

  // Where a command stamped at `t` lands, not before `earliest`.
  uint64_t landing(int64_t t, uint64_t earliest) const noexcept {
    const double offset = std::floor(double(t - ns) * double(rate) * 1e-9);
    const double f = double(frame) + double(delayFrames) + offset;
    return f <= double(earliest) ? earliest : uint64_t(f);
  }
};

}  // namespace platform
