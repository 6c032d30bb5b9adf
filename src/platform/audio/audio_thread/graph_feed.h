// One graph cycle's worth of sound from the engine, for an output whose
// server pulls a block each cycle and can never have it replaced (PipeWire):
// the frames the graph has been handed so far are taken for good (no guard),
// the block is exactly what the cycle asks for, and every command lands at
// its own frame, one period after its stamp (command_clock.h).
//
// Threads: the data thread (the graph's, or a test's) only; no lock, no
// allocation.
#pragma once

#include "platform/audio/audio_thread/audio_engine.h"

#include <cstdint>

namespace platform {

class GraphFeed {
public:
  // Renders the block of the cycle that began at `cycleNs` (monotonic) into
  // `out` (interleaved stereo, room for `frames` frames); commands land
  // `delayFrames` after their stamps.  Answers the frames written.
  static uint32_t fill(AudioEngine& engine, int64_t cycleNs, uint32_t frames, uint32_t delayFrames,
                       float* out) noexcept {
    const uint64_t from = engine.written();
    CommandClock clock;
    clock.frame = from;
    clock.ns = cycleNs;
    clock.delayFrames = delayFrames;
    clock.rate = engine.sampleRate();
    engine.advance(from, 0, from + frames, clock);
    const uint32_t got = uint32_t(engine.written() - from);
    engine.read(from, got, out);
    return got;
  }
  // Makes everything handed to the graph final (and heard by the tap),
  // rendering nothing and taking no command: before the stream pauses.
  static void settle(AudioEngine& engine) noexcept {
    CommandClock clock;
    clock.frame = engine.written();
    clock.ns = INT64_MIN / 2;   // every stamp lands far ahead
    clock.rate = engine.sampleRate();
    engine.advance(engine.written(), 0, engine.written(), clock);
  }
};

}  // namespace platform
