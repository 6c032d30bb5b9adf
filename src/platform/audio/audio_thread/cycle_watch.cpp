// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/cycle_watch.h"

namespace platform {

uint32_t CycleWatch::cycle(const Cycle& c) noexcept {
  const bool fresh = fresh_;
  const uint64_t lastTicks = lastTicks_;
  const uint32_t lastFrames = lastFrames_;
  fresh_ = false;
  lastTicks_ = c.ticks;
  lastFrames_ = c.frames;
  if (fresh) {
    settledAt_ = c.startNs + int64_t(kSettleSeconds * 1e9);
    return 0;
  }
  if (c.startNs < settledAt_ || c.rate == 0 || c.frames == 0) return 0;

  // The clock moves on by the last cycle's length; what lies beyond it was
  // played without us, in cycles of (about) this one's length.
  uint32_t skipped = 0;
  if (c.ticks > lastTicks + lastFrames + c.frames / 2)
    skipped = uint32_t((c.ticks - lastTicks - lastFrames + c.frames / 2) / c.frames);
  const int64_t periodNs = int64_t(double(c.frames) * 1e9 / double(c.rate));
  const uint32_t late = c.doneNs - c.startNs > periodNs ? 1 : 0;
  const uint32_t n = skipped + late;
  if (n == 0) return 0;
  missed_.store(missed_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  events_.store(events_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return n;
}

}  // namespace platform
