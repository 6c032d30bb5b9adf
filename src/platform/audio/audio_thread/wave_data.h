// SPDX-License-Identifier: GPL-3.0-or-later
// A decoded sound, converted once to the engine's format: interleaved
// stereo float at its rate.  Made on the UI thread, read by the audio thread.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

// Threads: filled on the UI thread, read-only once handed to the audio thread.
struct WaveData {
  std::vector<float> samples;   // interleaved stereo at the engine's rate
  uint64_t frames = 0;
  uint32_t sourceRate = 0;
  int sourceChannels = 0;
  bool truncated = false;       // longer than the channel keeps; only the start is kept
  double seconds(uint32_t rate) const { return rate ? double(frames) / rate : 0.0; }
};

}  // namespace platform
