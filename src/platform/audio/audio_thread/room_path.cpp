// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/room_path.h"

#include "platform/audio/audio_thread/synth_pool.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {
// A power of two at least twice the span and the pre-delay besides.
uint32_t sendFramesFor(uint32_t span, uint32_t delay) {
  uint32_t n = 2 * span;
  while (n < 2 * span + delay) n *= 2;
  return n;
}
}  // namespace

RoomPath::RoomPath(uint32_t sampleRate, uint32_t spanFrames)
    : delay_(uint32_t(std::lround(kPreDelaySeconds * double(sampleRate)))),
      sendFrames_(sendFramesFor(FrameRing::sizeFor(spanFrames), delay_)),
      sendMask_(sendFrames_ - 1),
      live_(sampleRate),
      settled_(sampleRate),
      sends_(new float[sendFrames_]()),
      dry_(new float[size_t(kChunk) * 2]()),
      scratch_(new float[size_t(kChunk) * 2]()),
      pending_(new float[std::max<uint32_t>(delay_, 1)]()),
      wet_(spanFrames) {}

RoomPath::~RoomPath() = default;

bool RoomPath::active() const noexcept { return on_ && (live_.active() || loudUntil_ > liveAt_); }

void RoomPath::takeSends(const SynthPool* pool, uint64_t from, uint64_t to) noexcept {
  float* dry = dry_.get();
  for (uint64_t f = from; f < to;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kChunk, to - f));
    std::memset(dry, 0, size_t(n) * 2 * sizeof(float));
    if (pool) pool->addLinear(dry, f, n);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t at = f + i + delay_;
      const float s = (dry[i * 2] + dry[i * 2 + 1]) * 0.5f * kSend;
      sends_[at & sendMask_] = s;
      if (s != 0.0f) loudUntil_ = std::max(loudUntil_, at + 1);
    }
    f += n;
  }
}

void RoomPath::run(RoomReverb& reverb, uint64_t from, uint64_t to, bool keep) noexcept {
  for (uint64_t f = from; f < to;) {
    uint64_t n = std::min<uint64_t>({to - f, kChunk, sendFrames_ - (f & sendMask_)});
    float* out = scratch_.get();
    if (keep) {
      n = std::min<uint64_t>(n, wet_.frames() - f % wet_.frames());
      out = wet_.at(f);
    }
    std::memset(out, 0, size_t(n) * 2 * sizeof(float));
    reverb.process(&sends_[f & sendMask_], out, uint32_t(n));
    f += n;
  }
}

void RoomPath::settle(bool copy) noexcept {
  const uint64_t target = final_ + delay_;
  if (copy && target >= liveAt_) {
    if (settledAt_ != liveAt_) {
      settled_.assign(live_);
      settledAt_ = liveAt_;
    }
    return;
  }
  if (target > settledAt_) {
    run(settled_, settledAt_, target, false);
    settledAt_ = target;
  }
}

void RoomPath::renderNew(const SynthPool* pool, uint64_t from, uint64_t to) noexcept {
  if (!on_) {
    liveAt_ = settledAt_ = to;
    return;
  }
  // The sends from the settled point on must still be in their ring.
  if (to + delay_ - settledAt_ > sendFrames_) settle(true);
  takeSends(pool, from, to);
  run(live_, liveAt_, to, true);
  liveAt_ = to;
}

void RoomPath::rewrite(const SynthPool* pool, uint64_t from, uint64_t to) noexcept {
  if (!on_ || from >= to) return;
  takeSends(pool, from, to);
  const uint64_t changed = from + delay_;
  if (changed >= liveAt_) return;   // the room has not answered those sends yet
  // The settled point lies at or before final + D, so at or before the change.
  settle(false);
  live_.assign(settled_);
  run(live_, settledAt_, liveAt_, true);
  ++reruns_;
  framesRerun_ += liveAt_ - settledAt_;
}

void RoomPath::finalizeTo(uint64_t frame) noexcept {
  final_ = std::max(final_, frame);
  // Behind a queue deeper than the pre-delay the settled reverb follows the
  // final point, a little each round.
  if (on_ && final_ + delay_ < liveAt_) settle(false);
}

void RoomPath::skip(uint64_t from, uint64_t to) noexcept {
  if (to <= from) return;
  final_ = std::max(final_, to);
  if (!on_) {
    liveAt_ = settledAt_ = to;
    return;
  }
  const uint64_t gap = to - from;
  // The sends the room has not answered yet wait across the gap.
  for (uint32_t k = 0; k < delay_; ++k) pending_[k] = sends_[(from + k) & sendMask_];
  for (uint32_t k = 0; k < delay_; ++k) sends_[(to + k) & sendMask_] = pending_[k];
  if (loudUntil_ > from) loudUntil_ += gap;
  liveAt_ = to;
  settled_.assign(live_);
  settledAt_ = to;
}

}  // namespace platform
