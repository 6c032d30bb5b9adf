// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/room_reverb.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {
// Delays at 44.1 kHz, in samples.
constexpr int kCombTuning[8] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
constexpr int kAllpassTuning[4] = {556, 441, 341, 225};
constexpr int kStereoSpread = 23;
constexpr float kInputGain = 0.015f;
constexpr float kAllpassFeedback = 0.5f;
// Below this the reverb is taken for silent.
constexpr float kQuiet = 1e-7f;

inline float flush(float x) { return std::fabs(x) < 1e-20f ? 0.0f : x; }
}  // namespace

RoomReverb::RoomReverb(uint32_t sampleRate, Settings s) {
  const double scale = double(sampleRate) / 44100.0;
  for (int side = 0; side < 2; ++side) {
    for (int i = 0; i < 8; ++i)
      combs_[side][i].buf.assign(size_t(std::max(1.0, (kCombTuning[i] + side * kStereoSpread) * scale)), 0.0f);
    for (int i = 0; i < 4; ++i)
      allpasses_[side][i].buf.assign(size_t(std::max(1.0, (kAllpassTuning[i] + side * kStereoSpread) * scale)), 0.0f);
  }
  feedback_ = s.roomSize * 0.28f + 0.7f;
  damp1_ = s.damp * 0.4f;
  damp2_ = 1.0f - damp1_;
  const float wet = s.level * 3.0f;
  wet1_ = wet * (s.width / 2.0f + 0.5f);
  wet2_ = wet * ((1.0f - s.width) / 2.0f);
  // Quiet for four passes through the longest comb: nothing is left in them.
  ringFrames_ = uint64_t(4 * (kCombTuning[7] + kStereoSpread) * scale);
}

RoomReverb::~RoomReverb() = default;

void RoomReverb::clear() noexcept {
  for (auto& side : combs_)
    for (Comb& c : side) {
      std::fill(c.buf.begin(), c.buf.end(), 0.0f);
      c.store = 0.0f;
    }
  for (auto& side : allpasses_)
    for (Allpass& a : side) std::fill(a.buf.begin(), a.buf.end(), 0.0f);
  active_ = false;
  quietFrames_ = 0;
}

void RoomReverb::assign(const RoomReverb& other) noexcept {
  if (!other.active_) {
    // An idle reverb holds nothing but zeros.
    if (active_) clear();
    return;
  }
  for (int side = 0; side < 2; ++side) {
    for (int i = 0; i < 8; ++i) {
      const Comb& from = other.combs_[side][i];
      Comb& to = combs_[side][i];
      std::copy(from.buf.begin(), from.buf.end(), to.buf.begin());
      to.at = from.at;
      to.store = from.store;
    }
    for (int i = 0; i < 4; ++i) {
      const Allpass& from = other.allpasses_[side][i];
      Allpass& to = allpasses_[side][i];
      std::copy(from.buf.begin(), from.buf.end(), to.buf.begin());
      to.at = from.at;
    }
  }
  active_ = true;
  quietFrames_ = other.quietFrames_;
}

void RoomReverb::process(const float* in, float* out, uint32_t frames) noexcept {
  for (uint32_t i = 0; i < frames; ++i) {
    if (!active_) {
      // Cleared: silence in gives silence out, and the delay lines, all
      // zero, look the same wherever they stand.
      while (i < frames && in[i] == 0.0f) ++i;
      if (i == frames) return;
      active_ = true;
      quietFrames_ = 0;
    }
    const float input = in[i] * kInputGain;
    float side[2];
    for (int s = 0; s < 2; ++s) {
      float acc = 0.0f;
      for (Comb& c : combs_[s]) {
        const float y = c.buf[c.at];
        c.store = flush(y * damp2_ + c.store * damp1_);
        c.buf[c.at] = flush(input + c.store * feedback_);
        if (++c.at == c.buf.size()) c.at = 0;
        acc += y;
      }
      for (Allpass& a : allpasses_[s]) {
        const float b = a.buf[a.at];
        a.buf[a.at] = flush(acc + b * kAllpassFeedback);
        if (++a.at == a.buf.size()) a.at = 0;
        acc = b - acc;
      }
      side[s] = acc;
    }
    const float l = side[0] * wet1_ + side[1] * wet2_;
    const float r = side[1] * wet1_ + side[0] * wet2_;
    out[i * 2] += l;
    out[i * 2 + 1] += r;
    // Counted frame by frame, so the reverb rests at the same frame however
    // its feed is cut into calls.
    const bool quiet = in[i] == 0.0f && std::fabs(l) < kQuiet && std::fabs(r) < kQuiet;
    quietFrames_ = quiet ? quietFrames_ + 1 : 0;
    if (quietFrames_ >= ringFrames_) clear();
  }
}

}  // namespace platform
