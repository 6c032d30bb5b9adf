// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/tone_onsets.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

// FluidSynth's own block: a note sent between renders of whole blocks starts
// at the first frame of the next one.
constexpr int kBlock = 64;
// GEN_STARTADDROFS alone reaches this far; no lead-in is anywhere near it.
constexpr int kMaxOffset = 32767;
constexpr int kMaxSteps = 8;

struct Probe {
  fluid_synth_t* synth;
  int channel;
  float threshold;
  int limitFrames;
  float block[2 * kBlock];

  // The first output frame above the threshold of `key` struck with its
  // sample started `offset` frames in; -1 when it stays below for the
  // whole limit.
  int onset(int key, int offset) {
    fluid_synth_set_gen(synth, channel, GEN_STARTADDROFS, float(offset));
    fluid_synth_noteon(synth, channel, key, 127);
    int at = -1;
    for (int f = 0; f < limitFrames && at < 0; f += kBlock) {
      fluid_synth_write_float(synth, kBlock, block, 0, 2, block, 1, 2);
      for (int i = 0; i < 2 * kBlock; ++i) {
        if (std::fabs(block[i]) > threshold) {
          at = f + i / 2;
          break;
        }
      }
    }
    fluid_synth_all_sounds_off(synth, channel);
    fluid_synth_write_float(synth, kBlock, block, 0, 2, block, 1, 2);   // the stopped voices go
    return at;
  }
};

}  // namespace

LeadIns findLeadIns(fluid_synth_t* synth, int channel, uint32_t sampleRate, const LeadInSearch& search) {
  LeadIns out{};
  Probe probe{synth, channel, search.threshold, std::max(kBlock, int(search.limitSeconds * sampleRate)), {}};
  const int margin = std::max(1, int(std::lround(search.marginSeconds * sampleRate)));
  const int closeEnough = margin + std::max(2, margin / 4);
  // Sample frames per output frame, carried from key to key: neighbours
  // mostly play the same sample a semitone apart.
  double ratio = 1.0;
  int previous = 0;
  for (int key = std::max(0, search.firstKey); key <= std::min(127, search.lastKey); ++key) {
    // The neighbour's offset is the first guess, kept if the note still
    // opens quietly with it.
    int x = previous;
    int t = x > 0 ? probe.onset(key, x) : -1;
    if (t < margin) {
      x = 0;
      t = probe.onset(key, 0);
    }
    for (int step = 0; step < kMaxSteps && t > closeEnough; ++step) {
      // A little short of the whole stretch, so that an estimate a bit too
      // fast does not overshoot.
      const int skip = int(double(t - margin) * ratio * 0.9);
      if (skip < 1 || x + skip > kMaxOffset) break;
      const int next = probe.onset(key, x + skip);
      if (next >= margin) {
        if (next < t) ratio = std::clamp(double(skip) / double(t - next), ratio * 0.5, ratio * 2.0);
        x += skip;
        t = next;
      } else {
        ratio *= 0.5;   // went into the sound: the sample runs slower than thought
      }
    }
    out[size_t(key)] = t < 0 ? 0 : x;   // a key that never sounds keeps its start
    previous = out[size_t(key)];
  }
  fluid_synth_set_gen(synth, channel, GEN_STARTADDROFS, 0.0f);
  return out;
}

}  // namespace platform
