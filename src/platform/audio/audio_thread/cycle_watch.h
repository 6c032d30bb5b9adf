// SPDX-License-Identifier: GPL-3.0-or-later
// Tells the graph cycles this program missed, and when the period should
// grow because of them.
//
// A cycle is missed when the graph's clock moved on by more than the last
// cycle's length between two calls (the graph ran a cycle without us), or
// when our block was handed over later than one period after the cycle
// began (the graph had to go on without it).  Two misses within
// kWindowSeconds of each other ask for a longer period; a first miss alone
// (a page fault at start-up, a one-off stall) does not.  Misses in the
// first kSettleSeconds after restart() (a new period, a stream woken
// again) are not counted: the graph is changing step there.
//
// Threads: cycle() on the data thread only; restart() on it too;
// missed() on any.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class CycleWatch {
public:
  static constexpr double kWindowSeconds = 5.0;
  static constexpr double kSettleSeconds = 0.25;

  struct Cycle {
    uint64_t ticks = 0;      // the graph's clock at the cycle's start (pw_time.ticks)
    uint32_t frames = 0;     // the cycle's length in ticks
    uint32_t rate = 48000;   // ticks a second
    int64_t startNs = 0;     // the cycle's start, monotonic (pw_time.now)
    int64_t doneNs = 0;      // when our block was handed over
  };
  // True when the period should grow.
  bool cycle(const Cycle& c) noexcept;
  // The next cycle has no predecessor to compare with.
  void restart() noexcept { fresh_ = true; }
  uint64_t missed() const noexcept { return missed_.load(std::memory_order_relaxed); }

private:
  bool fresh_ = true;
  uint64_t lastTicks_ = 0;
  uint32_t lastFrames_ = 0;
  int64_t settledAt_ = 0;
  int64_t lastMissNs_ = 0;
  bool haveMiss_ = false;
  std::atomic<uint64_t> missed_{0};
};

}  // namespace platform
