// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/cycle_watch.h"

namespace platform {

CycleWatch::Advice CycleWatch::cycle(const Cycle& c) noexcept {
  const bool fresh = fresh_;
  const uint64_t lastTicks = lastTicks_;
  const uint32_t lastFrames = lastFrames_;
  fresh_ = false;
  lastTicks_ = c.ticks;
  lastFrames_ = c.frames;
  if (fresh) {
    settledAt_ = c.startNs + int64_t(kSettleSeconds * 1e9);
    haveMiss_ = false;
    return Advice::Keep;
  }
  if (c.startNs < settledAt_ || c.rate == 0) return Advice::Keep;

  const bool skipped = c.ticks > lastTicks + lastFrames + lastFrames / 2;
  const int64_t periodNs = int64_t(double(c.frames) * 1e9 / double(c.rate));
  const bool late = c.doneNs - c.startNs > periodNs;
  if (!skipped && !late) {
    cleanNs_ += periodNs;
    if (shortenedNs_ >= 0) shortenedNs_ += periodNs;
    if (shortenedNs_ > int64_t(holdSeconds_ * 1e9)) shortenedNs_ = -1;   // the shorter period held
    if (!c.raised) cleanNs_ = 0;   // only time at a longer period counts
    if (cleanNs_ < int64_t(holdSeconds_ * 1e9)) return Advice::Keep;
    cleanNs_ = 0;
    shortenedNs_ = 0;
    return Advice::Shorter;
  }

  missed_.fetch_add(1, std::memory_order_relaxed);
  cleanNs_ = 0;
  const bool again = haveMiss_ && c.startNs - lastMissNs_ <= int64_t(kWindowSeconds * 1e9);
  haveMiss_ = !again;
  lastMissNs_ = c.startNs;
  if (!again) return Advice::Keep;
  if (shortenedNs_ >= 0) holdSeconds_ = holdSeconds_ * 2 < kLongestHoldSeconds ? holdSeconds_ * 2 : kLongestHoldSeconds;
  shortenedNs_ = -1;
  return Advice::Longer;
}

}  // namespace platform
