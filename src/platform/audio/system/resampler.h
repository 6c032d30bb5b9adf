// SPDX-License-Identifier: GPL-3.0-or-later
// Sample-rate conversion of decoded sounds.  Any thread; allocates.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

// Band-limited (Kaiser-windowed sinc, 16 zero crossings) sample-rate
// conversion of interleaved stereo.  Plain conversion gives
// ceil(frames * outRate / inRate) frames; `circular` treats the input as one
// period of an endless loop and gives round(frames * outRate / inRate)
// frames that repeat seamlessly.
std::vector<float> resampleStereo(const std::vector<float>& in, uint32_t inRate,
                                  uint32_t outRate, bool circular);

}  // namespace platform
