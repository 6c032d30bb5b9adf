// SPDX-License-Identifier: GPL-3.0-or-later
// One synthesizer the pool plays.  Made on the UI thread; once handed to the
// engine, every call on it comes from the audio thread, and none may block,
// allocate or touch a file.
#pragma once

#include <cstdint>

namespace platform {

// Threads: made on the UI thread; every call after the hand-over on the audio thread.
class SynthInstance {
public:
  virtual ~SynthInstance() = default;
  // Writes (not adds) the next `frames` frames as interleaved stereo.
  virtual void render(float* interleaved, uint32_t frames) noexcept = 0;
  // Plays one packed channel voice message.
  virtual void dispatch(uint32_t packed) noexcept = 0;
  // Every sounding note goes into its release.
  virtual void releaseAll() noexcept = 0;
  // Every voice stops at once.
  virtual void silence() noexcept = 0;
  // Every channel back to its state at start.
  virtual void resetChannels() noexcept = 0;
  virtual int activeVoices() const noexcept = 0;
};

}  // namespace platform
