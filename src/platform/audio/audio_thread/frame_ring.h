// SPDX-License-Identifier: GPL-3.0-or-later
// Stereo frames kept by absolute frame number: frame f lives at f mod
// frames(), so the engine's span of replaceable audio can be edited in place
// wherever it starts.  Its size is the engine's span: as deep as the queue
// its output really keeps (audio_engine.h), at most kMaxFrames.  Zeroed when
// made (no page is first touched on the audio thread).  Owned by one thread:
// the audio thread once handed over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

namespace platform {

// Threads: one owner (the audio thread once the engine has it).
class FrameRing {
public:
  // The most frames a ring holds: the deepest queue any output may keep.
  static constexpr uint32_t kMaxFrames = 16384;
  // The power of two from `frames` up (64 at least, kMaxFrames at most).
  static constexpr uint32_t sizeFor(uint32_t frames) {
    uint32_t n = 64;
    while (n < frames && n < kMaxFrames) n *= 2;
    return n;
  }

  explicit FrameRing(uint32_t frames = kMaxFrames)
      : frames_(sizeFor(frames)), mask_(frames_ - 1), data_(new float[size_t(frames_) * 2]()) {}

  uint32_t frames() const noexcept { return frames_; }

  float* at(uint64_t frame) noexcept { return &data_[index(frame) * 2]; }
  const float* at(uint64_t frame) const noexcept { return &data_[index(frame) * 2]; }

  // Calls fn(frames of the piece, its frame count, the piece's first frame)
  // for each contiguous piece of [from, to), in order.
  template <typename Fn>
  void forPieces(uint64_t from, uint64_t to, Fn fn) {
    pieces(from, to, [&](uint64_t f, uint32_t n) { fn(at(f), n, f); });
  }
  template <typename Fn>
  void forPieces(uint64_t from, uint64_t to, Fn fn) const {
    pieces(from, to, [&](uint64_t f, uint32_t n) { fn(at(f), n, f); });
  }

private:
  size_t index(uint64_t frame) const noexcept { return size_t(frame & mask_); }
  template <typename Fn>
  void pieces(uint64_t from, uint64_t to, Fn fn) const {
    while (from < to) {
      const uint64_t n = std::min<uint64_t>(to - from, frames_ - index(from));
      fn(from, uint32_t(n));
      from += n;
    }
  }

  uint32_t frames_;
  uint64_t mask_;
  std::unique_ptr<float[]> data_;
};

}  // namespace platform
