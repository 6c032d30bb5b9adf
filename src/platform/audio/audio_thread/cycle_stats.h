// SPDX-License-Identifier: GPL-3.0-or-later
// Where the data thread's time goes in each graph cycle, measured against
// the cycle's own period: how late it woke after the cycle began, how long
// it took to render and hand over its block, and when it was done, in fixed
// histograms of 1/32 of a period (anything past two periods in the last
// bin), kept apart for cycles where something sounds and silent ones; and
// the page faults taken on the data thread, when asked to count them.
// Nothing is allocated: the figures are read at the end (summary()).
//
// Threads: record() on the data thread only; summary() and the counts on
// any (each figure is read on its own, so a summary taken while cycles run
// may be one cycle out of step).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

class CycleStats {
public:
  static constexpr int kBinsPerPeriod = 32;
  static constexpr int kBins = 2 * kBinsPerPeriod + 1;

  struct Sample {
    int64_t startNs = 0;   // the cycle began (the graph's clock)
    int64_t entryNs = 0;   // the data thread was called
    int64_t doneNs = 0;    // its block was handed over
    int64_t periodNs = 0;  // the cycle's period
    bool audible = false;  // something sounded
    long faults = -1;      // page faults taken in the cycle; -1 when not counted
  };
  void record(const Sample& s) noexcept;

  // The share of a period by which `fraction` of the cycles were done
  // (0.5 the median, 0.999 ...), from the histogram of `audible` cycles:
  // what = 0 woken, 1 busy, 2 done.
  double percentile(bool audible, int what, double fraction) const noexcept;
  uint64_t cycles(bool audible) const noexcept { return set_[audible].cycles.load(std::memory_order_relaxed); }
  uint64_t faults() const noexcept;
  // A few lines for a person: the percentiles, the longest, the faults.
  std::string summary() const;

private:
  struct Histogram {
    std::atomic<uint32_t> bins[kBins] = {};
    void add(int64_t ns, int64_t periodNs) noexcept;
  };
  struct Set {
    Histogram wake, busy, done;
    std::atomic<uint64_t> cycles{0};
    std::atomic<int64_t> longestBusyNs{0};
    std::atomic<uint64_t> faults{0};
    std::atomic<uint64_t> faultCycles{0};
    std::atomic<bool> faultsCounted{false};
  };
  Set set_[2];
};

}  // namespace platform
