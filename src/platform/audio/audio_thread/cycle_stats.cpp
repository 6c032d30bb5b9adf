// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/cycle_stats.h"

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {
template <typename T>
void bump(std::atomic<T>& a, T by = 1) noexcept {
  a.store(a.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}
}  // namespace

void CycleStats::Histogram::add(int64_t ns, int64_t periodNs) noexcept {
  int bin = 0;
  if (ns > 0 && periodNs > 0) bin = int(std::min<int64_t>(kBins - 1, ns * kBinsPerPeriod / periodNs));
  bump(bins[bin], 1u);
}

void CycleStats::record(const Sample& s) noexcept {
  Set& set = set_[s.audible];
  set.wake.add(s.entryNs - s.startNs, s.periodNs);
  set.busy.add(s.doneNs - s.entryNs, s.periodNs);
  set.done.add(s.doneNs - s.startNs, s.periodNs);
  bump<uint64_t>(set.cycles);
  if (s.doneNs - s.entryNs > set.longestBusyNs.load(std::memory_order_relaxed))
    set.longestBusyNs.store(s.doneNs - s.entryNs, std::memory_order_relaxed);
  if (s.faults >= 0) {
    set.faultsCounted.store(true, std::memory_order_relaxed);
    if (s.faults > 0) {
      bump<uint64_t>(set.faults, uint64_t(s.faults));
      bump<uint64_t>(set.faultCycles);
    }
  }
}

double CycleStats::percentile(bool audible, int what, double fraction) const noexcept {
  const Set& set = set_[audible];
  const Histogram& h = what == 0 ? set.wake : what == 1 ? set.busy : set.done;
  uint64_t total = 0;
  for (const auto& b : h.bins) total += b.load(std::memory_order_relaxed);
  if (total == 0) return 0.0;
  const double want = fraction * double(total);
  uint64_t seen = 0;
  for (int i = 0; i < kBins; ++i) {
    seen += h.bins[i].load(std::memory_order_relaxed);
    if (double(seen) >= want) return double(i + 1) / kBinsPerPeriod;   // the bin's upper edge
  }
  return double(kBins) / kBinsPerPeriod;
}

uint64_t CycleStats::faults() const noexcept {
  return set_[0].faults.load(std::memory_order_relaxed) + set_[1].faults.load(std::memory_order_relaxed);
}

std::string CycleStats::summary() const {
  std::string out;
  char line[320];
  for (const bool audible : {true, false}) {
    const Set& set = set_[audible];
    const uint64_t n = set.cycles.load(std::memory_order_relaxed);
    std::snprintf(line, sizeof line,
                  "%s: %llu cycles; in periods, woken p50 %.2f p99 %.2f p99.9 %.2f; busy p50 %.2f p99 %.2f "
                  "p99.9 %.2f (longest %.2f ms); done p99 %.2f p99.9 %.2f",
                  audible ? "sounding" : "silent", (unsigned long long)n, percentile(audible, 0, 0.5),
                  percentile(audible, 0, 0.99), percentile(audible, 0, 0.999), percentile(audible, 1, 0.5),
                  percentile(audible, 1, 0.99), percentile(audible, 1, 0.999),
                  double(set.longestBusyNs.load(std::memory_order_relaxed)) / 1e6, percentile(audible, 2, 0.99),
                  percentile(audible, 2, 0.999));
    out += line;
    if (set.faultsCounted.load(std::memory_order_relaxed)) {
      std::snprintf(line, sizeof line, "; %llu page faults in %llu cycles",
                    (unsigned long long)set.faults.load(std::memory_order_relaxed),
                    (unsigned long long)set.faultCycles.load(std::memory_order_relaxed));
      out += line;
    }
    if (audible) out += "\n";
  }
  return out;
}

}  // namespace platform
