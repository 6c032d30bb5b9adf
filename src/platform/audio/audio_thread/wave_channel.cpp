// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/wave_channel.h"

#include "platform/audio/audio_thread/command_clock.h"

#include <algorithm>
#include <cstring>

namespace platform {

WaveChannel::WaveChannel(uint32_t sampleRate, WakeSignal* wake) : rate_(sampleRate), wake_(wake) {}

bool WaveChannel::push(const Command& command) {
  Command c = command;
  c.time = monotonicNs();
  if (!commands_.push(c)) return false;
  if (wake_) wake_->notify();
  return true;
}

WaveChannel::~WaveChannel() = default;

void WaveChannel::reclaim() {
  const uint64_t ended = lastEnded_.load(std::memory_order_acquire);
  while (!inFlight_.empty() && inFlight_.front().first <= ended) inFlight_.pop_front();
}

size_t WaveChannel::buffersHeld() {
  reclaim();
  return inFlight_.size();
}

bool WaveChannel::play(std::shared_ptr<const WaveData> data, bool loop, Started* started) {
  if (started) *started = Started{};
  reclaim();
  if (!data) return false;
  Command c;
  c.kind = Command::Play;
  c.loop = loop;
  c.id = nextId_ + 1;
  c.data = data->samples.data();
  c.frames = data->frames;
  if (!push(c)) return false;
  nextId_ = c.id;
  inFlight_.emplace_back(c.id, std::move(data));
  if (started) {
    started->id = c.id;
    started->seconds = inFlight_.back().second->seconds(rate_);
  }
  return true;
}

bool WaveChannel::stop() {
  reclaim();
  Command c;
  c.kind = Command::Stop;
  return push(c);
}

bool WaveChannel::stopIf(uint64_t id) {
  reclaim();
  Command c;
  c.kind = Command::StopIf;
  c.id = id;
  return push(c);
}

bool WaveChannel::hasEnded(uint64_t id) const {
  return lastEnded_.load(std::memory_order_acquire) >= id;
}

void WaveChannel::finishCurrent() noexcept {
  if (id_ == 0) return;
  data_ = nullptr;
  frames_ = pos_ = 0;
  playing_.store(0, std::memory_order_release);
  lastEnded_.store(id_, std::memory_order_release);
  id_ = 0;
}

bool WaveChannel::nextCommandTime(int64_t* ns) noexcept {
  Command c;
  if (!commands_.peek(c)) return false;
  *ns = c.time;
  return true;
}

bool WaveChannel::takeCommands(int64_t upToNs) noexcept {
  bool changed = false;
  Command c;
  while (commands_.peek(c) && c.time <= upToNs) {
    commands_.pop(c);
    switch (c.kind) {
      case Command::Play:
        finishCurrent();
        id_ = c.id;
        data_ = c.data;
        frames_ = c.frames;
        pos_ = 0;
        loop_ = c.loop;
        playing_.store(id_, std::memory_order_release);
        if (frames_ == 0) finishCurrent();
        changed = true;
        break;
      case Command::Stop:
        // Even a sound that has been rendered to its end may still be
        // queued to be heard: the stop silences that too.
        finishCurrent();
        changed = true;
        break;
      case Command::StopIf:
        if (id_ == c.id) finishCurrent();
        changed |= c.id == lastEnded_.load(std::memory_order_relaxed);
        break;
    }
  }
  return changed;
}

void WaveChannel::renderNext(float* out, uint32_t frames) noexcept {
  uint32_t done = 0;
  while (data_ && done < frames) {
    const uint64_t n = std::min<uint64_t>(frames - done, frames_ - pos_);
    std::memcpy(out + size_t(done) * 2, data_ + pos_ * 2, size_t(n) * 2 * sizeof(float));
    done += uint32_t(n);
    pos_ += n;
    if (pos_ == frames_) {
      if (loop_) pos_ = 0;
      else finishCurrent();
    }
  }
  if (done < frames) std::memset(out + size_t(done) * 2, 0, size_t(frames - done) * 2 * sizeof(float));
}

}  // namespace platform
