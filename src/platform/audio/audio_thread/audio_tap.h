// SPDX-License-Identifier: GPL-3.0-or-later
// A listener on the audio engine's output mix: the recorder's way of hearing
// exactly what the player hears.
#pragma once

#include <cstdint>

namespace platform {

// Threads: onMix on the audio thread.
class AudioTap {
public:
  virtual ~AudioTap() = default;
  // Called on the audio thread with every block of the output mix as it
  // becomes final (the server has it for good and nothing can replace it),
  // interleaved stereo float in [-1, 1], exactly as the server was finally
  // given it.  Must not block, lock, allocate or touch files.
  virtual void onMix(const float* interleaved, uint32_t frames) noexcept = 0;
};

// Threads: attach and detach on the UI thread.
class TapHost {
public:
  virtual ~TapHost() = default;
  virtual uint32_t sampleRate() const = 0;
  // From the next block to become final after attachTap returns, every
  // block reaches the tap, in order, without gaps (stretches the server
  // played as silence after running dry come as silence).  After detachTap returns, the audio thread no longer
  // touches the tap.  One tap at a time.
  virtual void attachTap(AudioTap* tap) = 0;
  virtual void detachTap(AudioTap* tap) = 0;
};

}  // namespace platform
