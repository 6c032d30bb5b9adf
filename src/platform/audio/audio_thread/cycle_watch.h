// SPDX-License-Identifier: GPL-3.0-or-later
// Tells the graph cycles this program missed.
//
// A cycle was missed when the graph's clock moved on by more than the last
// cycle's length between two calls (the graph ran cycles without us: each
// one counts), or when our block was handed over later than one period
// after the cycle began (the graph had to go on without it).  A run of
// missed cycles is one miss event.  The first cycle after restart() (a
// stream started or woken again) has nothing to compare with, and misses in
// the first kSettleSeconds after it are not counted: the graph is changing
// step there.  Whether a miss should change the period is the period
// policy's business (period_policy.h).
//
// Threads: cycle() and restart() on the data thread only; the counts on any.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class CycleWatch {
public:
  static constexpr double kSettleSeconds = 0.25;

  struct Cycle {
    uint64_t ticks = 0;      // the graph's clock at the cycle's start (its position)
    uint32_t frames = 0;     // the cycle's length in ticks
    uint32_t rate = 48000;   // ticks a second
    int64_t startNs = 0;     // the cycle's start, monotonic
    int64_t doneNs = 0;      // when our block was handed over
  };
  // The cycles missed that this one reveals (0 for a clean cycle).
  uint32_t cycle(const Cycle& c) noexcept;
  // The next cycle has no predecessor to compare with.
  void restart() noexcept { fresh_ = true; }
  // Cycles missed, and miss events, since the start.
  uint64_t missed() const noexcept { return missed_.load(std::memory_order_relaxed); }
  uint64_t events() const noexcept { return events_.load(std::memory_order_relaxed); }

private:
  bool fresh_ = true;
  uint64_t lastTicks_ = 0;
  uint32_t lastFrames_ = 0;
  int64_t settledAt_ = 0;
  std::atomic<uint64_t> missed_{0};
  std::atomic<uint64_t> events_{0};
};

}  // namespace platform
