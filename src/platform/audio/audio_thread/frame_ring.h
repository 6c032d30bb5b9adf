// SPDX-License-Identifier: GPL-3.0-or-later
// Stereo frames kept by absolute frame number: frame f lives at f mod
// kFrames, so the engine's span of replaceable audio can be edited in place
// wherever it starts.  Zeroed when made (no page is first touched on the
// audio thread).  Owned by one thread: the audio thread once handed over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

namespace platform {

// Threads: one owner (the audio thread once the engine has it).
class FrameRing {
public:
  // The most frames a ring holds: the deepest queue an output may keep.
  static constexpr uint32_t kFrames = 16384;

  FrameRing() : data_(new float[size_t(kFrames) * 2]()) {}

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
  static constexpr uint64_t kMask = kFrames - 1;
  static_assert((kFrames & kMask) == 0, "the ring's size is a power of two");
  static size_t index(uint64_t frame) noexcept { return size_t(frame & kMask); }
  template <typename Fn>
  static void pieces(uint64_t from, uint64_t to, Fn fn) {
    while (from < to) {
      const uint64_t n = std::min<uint64_t>(to - from, kFrames - index(from));
      fn(from, uint32_t(n));
      from += n;
    }
  }

  std::unique_ptr<float[]> data_;
};

}  // namespace platform
