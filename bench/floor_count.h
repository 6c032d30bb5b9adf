// SPDX-License-Identifier: GPL-3.0-or-later
// What the floor client (pw_floor.cpp) counts in each graph cycle, and the
// rule read off its figures.
//
// FloorCount is fed one call per process call of a playback stream: the
// graph clock at that cycle (pw_time.ticks), the frames the cycle asked for
// (pw_buffer.requested) and how long after the cycle's start the data
// thread ran.  A cycle the stream was not called for shows as a jump of the
// graph clock by more than one cycle between two calls: each cycle jumped
// over is one missed.  Nothing here allocates: the wake-up delays go into a
// fixed histogram.
//
// Threads: cycle() on the stream's data thread only; the queries once the
// stream has been destroyed (or from the same thread).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace floorbench {

class FloorCount {
public:
  static constexpr int64_t kBinNs = 10000;   // 10 us
  static constexpr size_t kBins = 5000;      // up to 50 ms; later ones land in the last bin

  // One process call: ticks of the graph clock, the cycle's length in
  // frames, and the data thread's start less the cycle's start.
  void cycle(uint64_t ticks, uint32_t frames, int64_t wakeNs) {
    if (have_ && frames_ > 0 && ticks > ticks_) {
      // Cycles passed since the last call, rounded; the last call's cycle
      // length is the graph's step (the period stays put between calls).
      const uint64_t passed = (ticks - ticks_ + frames_ / 2) / frames_;
      if (passed > 1) {
        missed_ += passed - 1;
        ++gaps_;
        longest_ = std::max(longest_, passed);
      }
    }
    have_ = true;
    ticks_ = ticks;
    frames_ = frames;
    ++cycles_;
    minFrames_ = cycles_ == 1 ? frames : std::min(minFrames_, frames);
    maxFrames_ = std::max(maxFrames_, frames);
    const int64_t bin = std::clamp<int64_t>(wakeNs / kBinNs, 0, int64_t(kBins) - 1);
    ++wake_[size_t(bin)];
  }

  uint64_t cycles() const { return cycles_; }
  uint64_t missed() const { return missed_; }
  uint64_t gaps() const { return gaps_; }
  // The most cycles between two calls (1 when none was missed).
  uint64_t longestGap() const { return longest_; }
  uint32_t minFrames() const { return minFrames_; }
  uint32_t maxFrames() const { return maxFrames_; }
  // The wake-up delay below which a share p of the cycles ran, in ms (the
  // upper edge of its 10 us bin); 0 with no cycle.
  double wakeMs(double p) const {
    if (cycles_ == 0) return 0.0;
    const uint64_t want = std::max<uint64_t>(1, uint64_t(p * double(cycles_) + 0.999999));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBins; ++i) {
      seen += wake_[i];
      if (seen >= want) return double(i + 1) * double(kBinNs) / 1e6;
    }
    return double(kBins) * double(kBinNs) / 1e6;
  }

private:
  bool have_ = false;
  uint64_t ticks_ = 0;
  uint32_t frames_ = 0;
  uint64_t cycles_ = 0, missed_ = 0, gaps_ = 0, longest_ = 1;
  uint32_t minFrames_ = 0, maxFrames_ = 0;
  std::array<uint32_t, kBins> wake_{};
};

// One period's run of the floor client.
struct FloorRun {
  uint32_t period = 0;        // frames asked for
  double seconds = 0;         // counted
  uint64_t missed = 0;
  uint32_t ranMin = 0, ranMax = 0;   // the cycle lengths the graph really ran at
  bool ranAsAsked() const { return ranMin == period && ranMax == period; }
  double perMinute() const { return seconds > 0 ? double(missed) * 60.0 / seconds : 0.0; }
};

// The shortest period the machine holds: the shortest run in which the
// graph ran at the period asked for and the client missed at most
// perMinute cycles a minute; 0 when no run did.
inline uint32_t shortestHeld(std::vector<FloorRun> runs, double perMinute) {
  std::sort(runs.begin(), runs.end(), [](const FloorRun& a, const FloorRun& b) { return a.period < b.period; });
  for (const FloorRun& r : runs)
    if (r.seconds > 0 && r.ranAsAsked() && r.perMinute() <= perMinute) return r.period;
  return 0;
}

}  // namespace floorbench
