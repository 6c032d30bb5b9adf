// SPDX-License-Identifier: GPL-3.0-or-later
// How every output serves the engine, in one place.  A round: the output
// reads its server's clock (what the server has taken for good, how far
// past that a change must be written, where its queue should end); the
// protocol advances the engine to it and hands the output, in order, every
// frame that must be (re)written, from the earliest that changed.
//
// The cursors, in the stream's frames (0 where the stream began: a stream
// opened anew, after the server went away, starts at the engine's present
// end):
//   clock.taken     the server has these for good: nothing before can change
//   clock.guard     a change is written this far past `taken`
//   final           the engine's finalFrames(): heard by the recorder's tap
//   written()       the server's write index: what it has been given
//
// An output supplies only its clock and its write call (Writer).  A server
// with no queue to rewrite (a PipeWire cycle) gives taken == written() and
// guard 0; a rewinding one (PulseAudio) gives what its timing says.
//
// Audio thread (the output's), one round at a time; no lock, no allocation.
#pragma once

#include <cstdint>

namespace platform {

class AudioEngine;
struct CommandClock;

// Threads: the output's audio thread only.
class OutputProtocol {
public:
  struct Clock {
    uint64_t taken = 0;
    uint32_t guard = 0;
    uint64_t target = 0;   // where the server's queue should end
    // For a server with no queue to rewrite: each command lands at its own
    // frame, as this places its stamp (command_clock.h); null: every
    // command lands at the change point.
    const CommandClock* timing = nullptr;
  };
  // The frames a write hands over.
  struct Frames {
    const AudioEngine& engine;
    uint64_t from;   // the engine's frame of the first
    // Copies `n` frames from `offset` on, as interleaved stereo.
    void read(uint32_t offset, uint32_t n, float* out) const noexcept;
  };
  // The output's write call.
  class Writer {
  public:
    // Hands the server stream frames [at, at + frames).  `at` is the
    // protocol's written() or, for a rewrite, before it.  Gives how many
    // frames it wrote; fewer than asked ends the round.
    virtual uint32_t write(uint64_t at, uint32_t frames, const Frames& mix) noexcept = 0;

  protected:
    ~Writer() = default;
  };

  // `minTopUp`: a queue short of its target by less than this is left for
  // the next round (so that a server asking often is not answered in
  // slivers).
  explicit OutputProtocol(AudioEngine& engine, uint32_t minTopUp = 0)
      : engine_(engine), minTopUp_(minTopUp) {}

  // One round.  Gives the frames written.
  uint64_t serve(const Clock& clock, Writer& writer) noexcept;

  // The server's write index, in stream frames.
  uint64_t written() const noexcept { return written_; }
  // The engine's frame of stream frame `f`, and back.
  uint64_t engineFrame(uint64_t f) const noexcept { return origin_ + f; }
  uint64_t streamFrame(uint64_t e) const noexcept { return e > origin_ ? e - origin_ : 0; }
  // Frames written again over audio the server already had.
  uint64_t rewrittenFrames() const noexcept { return rewritten_; }
  // A new stream: it starts empty at the engine's present end.
  void restart() noexcept;

  AudioEngine& engine() noexcept { return engine_; }

private:
  AudioEngine& engine_;
  const uint32_t minTopUp_;
  uint64_t origin_ = 0;
  uint64_t written_ = 0;
  uint64_t rewritten_ = 0;
};

}  // namespace platform
