// SPDX-License-Identifier: GPL-3.0-or-later
// Which period (node.latency) the PipeWire output asks the graph for: the
// shortest this machine holds, found while playing and kept for the run.
//
// Periods are the steps shortest, 2 x shortest, ... up to longest.  Each
// graph cycle is told to cycle() with the cycles that went by without us
// before it (cycle_watch.h) and whether a miss would be heard (something
// sounds, or a take is being recorded).  Misses are judged only while the
// graph runs at the period we asked for (another client may hold it
// shorter or longer; asking otherwise would change nothing) and not in the
// first settleSeconds after a change, while the graph changes step.
//
// - A period being tried (a shorter one, or the first) is on trial until
//   it has run trialSeconds: a miss that could be heard sends the period
//   back where it came from at once, and so does a silent one past the
//   trialMisses a trial may have (a machine that holds a period misses
//   one now and then; a try is judged as the machine is).
// - Past its trial, a period is lengthened by one step when stepMisses
//   misses that could be heard fall within windowSeconds (five in a minute:
//   a stall of the machine now and then is no reason).  Misses nobody hears
//   (silence) do not lengthen it.
// - A shorter period is tried again only while nothing sounds and no take
//   is recording, so that a miss in the trial is never heard; the first try
//   of a period that failed waits retrySeconds, each further one twice as
//   long.  A period that never held is given up for the run after
//   failuresToGiveUp failures; one that held (holdSeconds of sound without
//   being lengthened) is always tried again: after a bad minute the period
//   comes back down.
// - In the first startupSeconds (the program loading and its start sound on
//   the same cores) only the first period's trial is judged: a miss there
//   lengthens the period for the moment, and is held neither against that
//   period nor towards lengthening the next.
//
// Threads: a plain value, used by one thread at a time (the output's data
// thread); no lock, no allocation.
#pragma once

#include <cstdint>

namespace platform {

class PeriodPolicy {
public:
  static constexpr int kMaxSteps = 12;

  struct Config {
    uint32_t shortest = 128;
    uint32_t longest = 2048;
    uint32_t start = 256;             // asked for at the start, on trial
    double settleSeconds = 0.5;
    double trialSeconds = 20.0;
    int trialMisses = 1;              // silent misses a trial may have and still pass
    double windowSeconds = 60.0;
    int stepMisses = 5;
    double holdSeconds = 60.0;
    double retrySeconds = 30.0;
    double longestRetrySeconds = 600.0;
    int failuresToGiveUp = 3;
    double startupSeconds = 10.0;
  };
  struct Cycle {
    int64_t ns = 0;          // when the cycle began (monotonic)
    uint32_t quantum = 0;    // the graph's period in this cycle, in frames
    uint32_t missed = 0;     // cycles the graph ran without us before this one
    bool audible = false;    // something sounds, or a take is being recorded
  };
  enum class Change { None, Longer, Trial, BackUp };

  PeriodPolicy() : PeriodPolicy(Config{}) {}
  explicit PeriodPolicy(const Config& config) noexcept;

  // After one cycle: what changed (the period to ask for is then asked()).
  Change cycle(const Cycle& c) noexcept;
  // The stream paused or started again: the next cycles are not judged
  // until the graph has settled.
  void restart() noexcept { fresh_ = true; }

  uint32_t asked() const noexcept { return periodOf(step_); }
  // The shortest period that held so far; 0 when none has yet.
  uint32_t held() const noexcept;
  // Whether a period is given up for the run.
  bool givenUp(uint32_t period) const noexcept;
  int failures(uint32_t period) const noexcept;

private:
  struct Step {
    int failures = 0;
    bool held = false;
    int64_t retryAt = 0;   // not tried again before
  };
  uint32_t periodOf(int step) const noexcept { return config_.shortest << step; }
  int stepOf(uint32_t period) const noexcept;
  void moveTo(int step, int64_t ns, bool trial) noexcept;
  void fail(int64_t ns) noexcept;
  int64_t seconds(double s) const noexcept { return int64_t(s * 1e9); }

  Config config_;
  int steps_ = 1;          // how many periods there are
  int step_ = 0;           // the one asked for now
  int from_ = 0;           // where a trial came down from
  Step info_[kMaxSteps];
  bool fresh_ = true;
  bool started_ = false;
  int64_t startNs_ = 0;    // the first cycle
  int64_t sinceNs_ = 0;    // the period asked for since (or the stream restarted)
  int64_t lastNs_ = 0;
  int64_t cleanSinceNs_ = 0;  // no miss since
  int64_t soundNs_ = 0;    // time heard at this period
  bool onTrial_ = true;
  int trialMissCount_ = 0;   // silent misses in the present trial
  // The last stepMisses heard misses, a ring of their times.
  int64_t misses_[8] = {};
  int missCount_ = 0;
  int missNext_ = 0;
};

}  // namespace platform
