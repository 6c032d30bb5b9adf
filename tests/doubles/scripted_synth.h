// SPDX-License-Identifier: GPL-3.0-or-later
// A synthesizer in miniature for the pool: every note sounds a steady level
// for a length its key decides, from the first frame rendered after its
// note-on, and its one voice ends exactly there.  A note-off or a release
// cuts it to kReleaseFrames more.  Nothing allocates, as on the audio thread.
//
// One thread: the test's (it stands for the audio thread).
#pragma once

#include "platform/audio/audio_thread/synth_instance.h"

#include <cstdint>

namespace platform {

class ScriptedSynth : public SynthInstance {
public:
  static constexpr uint32_t kReleaseFrames = 100;
  static constexpr float kLevel = 0.1f;
  // A note of key k lasts base + k * perKey frames.
  explicit ScriptedSynth(uint32_t base = 2000, uint32_t perKey = 100) : base_(base), perKey_(perKey) {}
  static uint32_t lengthOf(int key, uint32_t base = 2000, uint32_t perKey = 100) {
    return base + uint32_t(key) * perKey;
  }

  void render(float* out, uint32_t frames) noexcept override;
  void dispatch(uint32_t packed) noexcept override;
  void releaseAll() noexcept override { cut(); }
  void silence() noexcept override { left_ = 0; }
  void resetChannels() noexcept override { program_ = 0; }
  int activeVoices() const noexcept override { return left_ > 0 ? 1 : 0; }

  int program() const { return program_; }

private:
  void cut() noexcept {
    if (left_ > kReleaseFrames) left_ = kReleaseFrames;
  }
  uint32_t base_, perKey_;
  uint32_t left_ = 0;   // frames its voice still sounds
  int key_ = -1;
  int program_ = 0;
};

}  // namespace platform
