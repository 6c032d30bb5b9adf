// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/calls/pool_grower.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace platform {

PoolGrower::PoolGrower(AudioEngine& engine, Make make, size_t room, size_t atOnce)
    : engine_(engine), make_(std::move(make)), room_(room), atOnce_(std::min(atOnce, room)) {
  instances_.reserve(room_);
  rings_.reserve(room_);
  if (room_ > 0 && make_) thread_ = std::thread([this] { run(); });
}

PoolGrower::~PoolGrower() { stop(); }

void PoolGrower::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true, std::memory_order_release);
  engine_.growSignal().notify();
  thread_.join();
}

bool PoolGrower::idle() const {
  if (!thread_.joinable() || ended_.load(std::memory_order_acquire)) return true;
  if (!waiting_.load(std::memory_order_acquire)) return false;
  pollfd p{engine_.growSignal().fd(), POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;   // and no request is pending
}

void PoolGrower::run() {
  struct Ended {
    std::atomic<bool>& flag;
    ~Ended() { flag.store(true, std::memory_order_release); }
  } ended{ended_};
  WakeSignal& asked = engine_.growSignal();
  size_t batch = atOnce_;
  while (!stopping_.load(std::memory_order_acquire) && instances_.size() < room_) {
    if (batch == 0) {
      pollfd p{asked.fd(), POLLIN, 0};
      if (asked.fd() < 0) return;   // no signal to wait on: the pool keeps its size
      waiting_.store(true, std::memory_order_release);
      const int got = ::poll(&p, 1, -1);
      waiting_.store(false, std::memory_order_release);
      if (got < 0 && errno != EINTR) return;
      asked.drain();
      batch = kBatch;
    }
    for (; batch > 0 && instances_.size() < room_; --batch) {
      if (stopping_.load(std::memory_order_acquire)) return;
      auto synth = make_();
      if (!synth) return;   // FluidSynth cannot make more: the pool stays as it is
      auto ring = std::make_unique<FrameRing>(engine_.spanFrames());
      // A full queue: the audio thread has not taken the last ones yet.
      if (!engine_.growPool(synth.get(), ring.get())) break;
      instances_.push_back(std::move(synth));
      rings_.push_back(std::move(ring));
      made_.fetch_add(1, std::memory_order_acq_rel);
    }
  }
}

}  // namespace platform
