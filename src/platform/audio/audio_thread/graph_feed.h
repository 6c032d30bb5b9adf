// SPDX-License-Identifier: GPL-3.0-or-later
// One graph cycle's worth of sound from the engine, for an output whose
// server pulls a block each cycle and can never have it replaced (PipeWire).
// Its clock for the output protocol: the frames handed to the graph so far
// are taken for good (guard 0), the block is exactly what the cycle asks
// for, and every command lands at its own frame, one period after its stamp
// (command_clock.h), never before the block being rendered.  Its write call
// copies into the cycle's buffer.
//
// Threads: the data thread (the graph's, or a test's) only; no lock, no
// allocation.
#pragma once

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/audio_thread/output_protocol.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace platform {

class GraphFeed : private OutputProtocol::Writer {
public:
  // A stream that starts at the engine's present end.
  explicit GraphFeed(AudioEngine& engine) : protocol_(engine) { protocol_.restart(); }

  // Renders the block of the cycle that began at `cycleNs` (monotonic) into
  // `out` (interleaved stereo, room for `frames` frames); commands land
  // `delayFrames` after their stamps.  Answers the frames written.
  uint32_t fill(int64_t cycleNs, uint32_t frames, uint32_t delayFrames, float* out) noexcept {
    AudioEngine& engine = protocol_.engine();
    CommandClock timing;
    timing.frame = engine.written();
    timing.ns = cycleNs;
    timing.delayFrames = delayFrames;
    timing.rate = engine.sampleRate();
    out_ = out;
    base_ = protocol_.written();
    // A block longer than the engine's span is rendered in pieces: each
    // piece is the graph's for good once it is in the buffer.
    uint32_t done = 0;
    while (done < frames) {
      const uint64_t given = protocol_.written();
      const uint32_t piece = std::min(frames - done, engine.spanFrames());
      const uint64_t got = protocol_.serve({given, 0, given + piece, &timing}, *this);
      done += uint32_t(got);
      if (got < piece) break;
    }
    return done;
  }
  // Makes everything handed to the graph final (and heard by the tap),
  // rendering nothing and taking no command: before the stream pauses.
  void settle() noexcept {
    CommandClock timing;
    timing.frame = protocol_.engine().written();
    timing.ns = INT64_MIN / 2;   // every stamp lands far ahead
    const uint64_t given = protocol_.written();
    protocol_.serve({given, 0, given, &timing}, *this);
  }
  // Frames handed to the graph since the stream began.
  uint64_t given() const noexcept { return protocol_.written(); }

private:
  uint32_t write(uint64_t at, uint32_t frames, const OutputProtocol::Frames& mix) noexcept override {
    mix.read(0, frames, out_ + (at - base_) * 2);
    return frames;
  }

  OutputProtocol protocol_;
  float* out_ = nullptr;
  uint64_t base_ = 0;
};

}  // namespace platform
