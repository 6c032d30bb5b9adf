// SPDX-License-Identifier: GPL-3.0-or-later
// Where each key of a tone really starts to sound.  Some of the instrument's
// samples open with near-silence: the OPL3 FM pluck and the General MIDI
// nylon guitar spend 4-10 ms below -60 dBFS before their attack, which is
// heard as a slow key.  The synthesizer starts those samples that much later
// (a start offset in the sample's own frames), so that every note sounds
// from its note-on.
//
// The lead-ins are found by playing each key on a scratch FluidSynth, the
// way the instrument plays it: one note at full velocity, rendered until its
// first sample above the threshold.  A key's sample may run faster or slower
// than the output (its pitch and its own rate), so the offset is found by
// iterating: each step skips a part of what the last render showed to be
// below the threshold, in sample frames estimated from the steps before, and
// is kept only if the note then still opens with `margin` frames of
// near-silence.  So nothing at or above the threshold is ever skipped, and
// the attack keeps its whole shape.  A quieter velocity of the same sample
// crosses the threshold later, so the offsets found at full velocity hold
// for every velocity.
#pragma once

#include <array>
#include <cstdint>

struct _fluid_synth_t;

namespace platform {

struct LeadInSearch {
  float threshold = 1e-3f;        // -60 dBFS: anything quieter is the lead-in
  double marginSeconds = 0.0005;  // kept before the first sound
  int firstKey = 36;              // keys outside [firstKey, lastKey] keep offset 0
  int lastKey = 108;
  double limitSeconds = 0.05;     // no note is rendered longer than this
};

// Start offsets in sample frames, by key.
using LeadIns = std::array<int32_t, 128>;

// The lead-ins of the tone selected on `channel` of `synth`, a scratch
// instance rendering at `sampleRate` that nothing else uses (its voices are
// stopped, and the channel's start offset set, as it goes).
LeadIns findLeadIns(_fluid_synth_t* synth, int channel, uint32_t sampleRate,
                    const LeadInSearch& search = {});

}  // namespace platform
