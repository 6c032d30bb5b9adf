// SPDX-License-Identifier: GPL-3.0-or-later
// The room: one reverb shared by every synth instance, fed with their summed
// sound where it becomes final (the head of the queue) and heard from the
// end of the queue, so the queue's depth is its pre-delay.  A Schroeder-
// Moorer reverb in the Freeverb layout (eight damped combs and four
// all-passes per side, the right side's delays spread a little).
//
// Why one shared reverb and not FluidSynth's own in each instance:
// Debian's FluidSynth is built with OpenMP, and its effects stage opens a
// parallel region on every render call, for which libgomp allocates a team
// each time; with the effects off an instance allocates nothing.  One reverb
// also costs the same however many instances sound.
//
// Buffers are made by the constructor; process() allocates nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// Threads: made on the UI thread; process and clear on the audio thread.
class RoomReverb {
public:
  struct Settings {
    float roomSize = 0.35f;   // 0..1
    float damp = 0.4f;        // 0..1
    float width = 0.8f;       // 0..1
    float level = 0.5f;       // wet level 0..1
  };
  explicit RoomReverb(uint32_t sampleRate, Settings settings);
  RoomReverb(uint32_t sampleRate) : RoomReverb(sampleRate, Settings{}) {}
  ~RoomReverb();

  // Adds the reverb of `in` (mono, `frames` samples) to `out` (interleaved
  // stereo).  An idle reverb fed silence costs nothing.
  void process(const float* in, float* out, uint32_t frames) noexcept;
  // Still ringing (or fed sound lately).
  bool active() const noexcept { return active_; }
  // Everything silent at once.
  void clear() noexcept;

private:
  struct Comb {
    std::vector<float> buf;
    size_t at = 0;
    float store = 0.0f;
  };
  struct Allpass {
    std::vector<float> buf;
    size_t at = 0;
  };
  Comb combs_[2][8];
  Allpass allpasses_[2][4];
  float feedback_, damp1_, damp2_, wet1_, wet2_;
  bool active_ = false;
  uint64_t quietFrames_ = 0;
  uint64_t ringFrames_ = 0;
};

}  // namespace platform
