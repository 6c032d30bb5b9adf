// SPDX-License-Identifier: GPL-3.0-or-later
// The room: one reverb shared by every synth instance, fed with their summed
// sound (room_path.h puts it behind a fixed pre-delay and rewrites it with
// the queue).  A Schroeder-Moorer reverb in the Freeverb layout (eight
// damped combs and four all-passes per side, the right side's delays spread
// a little); its own first echo comes one shortest comb (25 ms) after its
// input.
//
// Why one shared reverb and not FluidSynth's own in each instance:
// Debian's FluidSynth is built with OpenMP, and its effects stage opens a
// parallel region on every render call, for which libgomp allocates a team
// each time; with the effects off an instance allocates nothing.  One reverb
// also costs the same however many instances sound.
//
// Buffers are made by the constructor; process() and assign() allocate
// nothing.  What it gives depends only on what it was fed, never on how the
// feed was cut into calls.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// Threads: made on the UI thread; process, assign and clear on the audio thread.
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
  RoomReverb(const RoomReverb&) = delete;
  RoomReverb& operator=(const RoomReverb&) = delete;

  // Adds the reverb of `in` (mono, `frames` samples) to `out` (interleaved
  // stereo).  An idle reverb fed silence costs nothing.
  void process(const float* in, float* out, uint32_t frames) noexcept;
  // Still ringing (or fed sound lately).
  bool active() const noexcept { return active_; }
  // Everything silent at once.
  void clear() noexcept;
  // Takes over the whole state of `other`, a reverb made with the same rate
  // and settings: from here on both give the same for the same feed.  A
  // copy into this reverb's own buffers (about 110 kB when ringing; an idle
  // one is cleared instead).
  void assign(const RoomReverb& other) noexcept;

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
