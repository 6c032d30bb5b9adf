// SPDX-License-Identifier: GPL-3.0-or-later
// Sound files read with libsndfile and converted to the engine's format.
// UI thread (it reads files).
#pragma once

#include "platform/audio/audio_thread/wave_data.h"

#include <memory>
#include <string>

namespace platform {

// Longest sound the channel keeps in memory; longer files play their start.
constexpr double kMaxWaveSeconds = 600.0;
// Lowest sample rate of a sound file that is played; a lower one is taken
// for a damaged header.
constexpr uint32_t kMinWaveRate = 1000;

// Decodes any sound file libsndfile reads (PCM or float WAV, mono, stereo or
// more channels, any rate): mono goes to both sides, more than two channels
// keep the first two, non-finite samples become silence.  `forLoop` makes
// the converted sound wrap around seamlessly at its ends.  Null when the file
// is missing, not a regular file, not a readable sound, recorded at less than
// kMinWaveRate, or too big for memory (*error says why).
std::shared_ptr<const WaveData> loadWave(const std::string& path, uint32_t targetRate,
                                         bool forLoop, std::string* error = nullptr);

}  // namespace platform
