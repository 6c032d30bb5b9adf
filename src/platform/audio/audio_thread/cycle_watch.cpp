// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/cycle_watch.h"

namespace platform {

bool CycleWatch::cycle(const Cycle& c) noexcept {
  const bool fresh = fresh_;
  const uint64_t lastTicks = lastTicks_;
  const uint32_t lastFrames = lastFrames_;
  fresh_ = false;
  lastTicks_ = c.ticks;
  lastFrames_ = c.frames;
  if (fresh) {
    settledAt_ = c.startNs + int64_t(kSettleSeconds * 1e9);
    haveMiss_ = false;
    return false;
  }
  if (c.startNs < settledAt_ || c.rate == 0) return false;

  const bool skipped = c.ticks > lastTicks + lastFrames + lastFrames / 2;
  const int64_t periodNs = int64_t(double(c.frames) * 1e9 / double(c.rate));
  const bool late = c.doneNs - c.startNs > periodNs;
  if (!skipped && !late) return false;

  missed_.fetch_add(1, std::memory_order_relaxed);
  const bool again = haveMiss_ && c.startNs - lastMissNs_ <= int64_t(kWindowSeconds * 1e9);
  haveMiss_ = !again;
  lastMissNs_ = c.startNs;
  return again;
}

}  // namespace platform
