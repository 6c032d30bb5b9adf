// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/period_policy.h"

#include <algorithm>

namespace platform {

PeriodPolicy::PeriodPolicy(const Config& config) noexcept : config_(config) {
  config_.shortest = std::max<uint32_t>(config_.shortest, 16);
  config_.longest = std::max(config_.longest, config_.shortest);
  config_.stepMisses = std::clamp(config_.stepMisses, 1, 8);
  steps_ = 1;
  while (steps_ < kMaxSteps && periodOf(steps_) <= config_.longest) ++steps_;
  step_ = from_ = std::clamp(stepOf(config_.start), 0, steps_ - 1);
}

int PeriodPolicy::stepOf(uint32_t period) const noexcept {
  int s = 0;
  while (s + 1 < kMaxSteps && periodOf(s) < period) ++s;
  return s;
}

uint32_t PeriodPolicy::held() const noexcept {
  for (int s = 0; s < steps_; ++s)
    if (info_[s].held) return periodOf(s);
  return 0;
}

bool PeriodPolicy::givenUp(uint32_t period) const noexcept {
  const Step& s = info_[stepOf(period)];
  return !s.held && s.failures >= config_.failuresToGiveUp;
}

int PeriodPolicy::failures(uint32_t period) const noexcept { return info_[stepOf(period)].failures; }

void PeriodPolicy::moveTo(int step, int64_t ns, bool trial) noexcept {
  step_ = step;
  sinceNs_ = cleanSinceNs_ = ns;
  soundNs_ = 0;
  onTrial_ = trial;
  trialMissCount_ = 0;
  missCount_ = missNext_ = 0;
}

// The period asked for now missed where it must not: held against it
// (unless the program is still starting), and a longer one asked for.
void PeriodPolicy::fail(int64_t ns) noexcept {
  Step& s = info_[step_];
  if (ns - startNs_ >= seconds(config_.startupSeconds)) {
    ++s.failures;
    double wait = config_.retrySeconds;
    for (int i = 1; i < s.failures && wait < config_.longestRetrySeconds; ++i) wait *= 2;
    s.retryAt = ns + seconds(std::min(wait, config_.longestRetrySeconds));
  } else {
    s.retryAt = ns + seconds(4 * config_.settleSeconds);
  }
  // A trial goes back where it came from; otherwise one step longer.  The
  // period gone back to is not on trial: it is where the program stood.
  const int up = onTrial_ && from_ > step_ ? from_ : step_ + 1;
  from_ = std::min(up, steps_ - 1);
  moveTo(from_, ns, false);
}

PeriodPolicy::Change PeriodPolicy::cycle(const Cycle& c) noexcept {
  if (!started_) {
    started_ = true;
    startNs_ = c.ns;
    moveTo(step_, c.ns, true);
    fresh_ = false;
    lastNs_ = c.ns;
    return Change::None;
  }
  if (fresh_) {
    // Restarted: judged again once settled, the clean time counted anew.
    fresh_ = false;
    sinceNs_ = cleanSinceNs_ = c.ns;
    lastNs_ = c.ns;
    return Change::None;
  }
  const int64_t dt = std::max<int64_t>(0, c.ns - lastNs_);
  lastNs_ = c.ns;
  const bool ours = c.quantum == asked();
  const bool settled = c.ns - sinceNs_ >= seconds(config_.settleSeconds);
  if (!ours || !settled) {
    cleanSinceNs_ = c.ns;   // a trial counts only cycles at its own period
    return Change::None;
  }

  if (c.missed > 0) {
    if (onTrial_ && !c.audible && ++trialMissCount_ <= config_.trialMisses) return Change::None;
    if (onTrial_) {
      const int before = step_;
      fail(c.ns);
      return step_ != before ? Change::BackUp : Change::None;
    }
    cleanSinceNs_ = c.ns;
    const bool starting = c.ns - startNs_ < seconds(config_.startupSeconds);
    if (c.audible && !starting) {
      misses_[missNext_] = c.ns;
      missNext_ = (missNext_ + 1) % config_.stepMisses;
      missCount_ = std::min(missCount_ + 1, config_.stepMisses);
      // The oldest of the last stepMisses misses, within the window.
      const int64_t oldest = misses_[missNext_ % config_.stepMisses];
      if (missCount_ == config_.stepMisses && c.ns - oldest <= seconds(config_.windowSeconds)) {
        if (step_ + 1 >= steps_) {
          missCount_ = 0;
          return Change::None;
        }
        fail(c.ns);
        return Change::Longer;
      }
    }
    return Change::None;
  }

  if (onTrial_ && c.ns - cleanSinceNs_ >= seconds(config_.trialSeconds)) {
    onTrial_ = false;
    from_ = step_;
  }
  if (c.audible) soundNs_ += dt;
  if (!onTrial_ && soundNs_ >= seconds(config_.holdSeconds)) info_[step_].held = true;

  // Nothing to be heard: try one step shorter, if it may be tried now.
  if (!c.audible && !onTrial_ && step_ > 0) {
    const Step& shorter = info_[step_ - 1];
    const bool allowed = shorter.held || shorter.failures < config_.failuresToGiveUp;
    if (allowed && c.ns >= shorter.retryAt) {
      from_ = step_;
      moveTo(step_ - 1, c.ns, true);
      return Change::Trial;
    }
  }
  return Change::None;
}

}  // namespace platform
