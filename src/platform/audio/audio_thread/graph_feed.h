// SPDX-License-Identifier: GPL-3.0-or-later
// One graph cycle's worth of sound from the engine, for an output whose
// server pulls a block each cycle and can never have it replaced (PipeWire).
// Its clock for the output protocol: the frames handed to the graph so far
// are taken for good (guard 0), the block is exactly what the cycle asks
// for, and every command lands at its own frame, one period after its stamp
// (command_clock.h), never before the block being rendered.  Its write call
// copies into the cycle's buffer.  A cycle's block is rendered once, keyed
// by the graph's position: asked again in the same cycle (by a second node
// of this client that must line up with the sound) it is the same block.
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

  struct Cycle {
    uint64_t position = 0;     // the graph's clock at the cycle's start: the cycle's key
    int64_t ns = 0;            // when the cycle began (monotonic)
    uint32_t frames = 0;       // the block it asks for
    uint32_t delayFrames = 0;  // from a command's stamp to its frame (one period)
  };
  // Renders the cycle's block into `out` (interleaved stereo, room for
  // `frames` frames), or copies it again when this cycle's block was
  // rendered already.  Answers the frames written.
  uint32_t fill(const Cycle& c, float* out) noexcept {
    AudioEngine& engine = protocol_.engine();
    if (have_ && c.position == position_ && c.frames <= blockFrames_) {
      engine.read(protocol_.engineFrame(blockFrom_), c.frames, out);
      return c.frames;
    }
    CommandClock timing;
    timing.frame = engine.written();
    timing.ns = c.ns;
    timing.delayFrames = c.delayFrames;
    timing.rate = engine.sampleRate();
    out_ = out;
    base_ = protocol_.written();
    // A block longer than the engine's span is rendered in pieces: each
    // piece is the graph's for good once it is in the buffer.
    uint32_t done = 0, pieces = 0;
    while (done < c.frames) {
      const uint64_t given = protocol_.written();
      const uint32_t piece = std::min(c.frames - done, engine.spanFrames());
      const uint64_t got = protocol_.serve({given, 0, given + piece, &timing}, *this);
      done += uint32_t(got);
      ++pieces;
      if (got < piece) break;
    }
    // Only a block rendered whole is still in the engine to be read again.
    have_ = pieces == 1;
    position_ = c.position;
    blockFrom_ = base_;
    blockFrames_ = done;
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
    have_ = false;   // final now: not to be read again
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
  // The last cycle's block, in stream frames.
  bool have_ = false;
  uint64_t position_ = 0;
  uint64_t blockFrom_ = 0;
  uint32_t blockFrames_ = 0;
};

}  // namespace platform
