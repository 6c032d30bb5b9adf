// SPDX-License-Identifier: GPL-3.0-or-later
// The room's path through the engine: the instruments' summed sound is sent
// to the room reverb (room_reverb.h) through a fixed pre-delay, so the room's
// sound of a frame f is heard from f + preDelayFrames() on every output,
// whatever its queue.
//
// Numbering: the send of dry frame f is kept at f + D (D the pre-delay), the
// frame where the room answers it; the room's output for frame g is the
// reverb run over the sends up to g.  So everything below is indexed by the
// frame where it is heard, and the room's contribution over the engine's
// replaceable span [final, written) is the reverb run over the sends up to
// written.
//
// Two reverbs:
//   live     has run over the sends up to written (its output is in wet());
//   settled  has run over the sends up to a point no change can reach any
//            more (at most final + D: a change rewrites dry frames from a
//            point at or past final).
// When a change rewrites the dry sound from c and the room has already
// answered sends past c + D, the live reverb takes the settled one's state
// and runs again from there to written, so the room's contribution is
// rewritten from c + D with the rest of the mix.  Nothing changed, nothing
// runs again.
//
// On an output that queues more than D (PulseAudio) the settled reverb
// follows the final point, running over each send once it is final.  On an
// output that queues less (a PipeWire cycle, offline rendering) the live
// reverb itself stands at such a point, and now and then the settled one
// takes a copy of it instead (when the sends it would need would no longer
// fit their ring).
//
// No call allocates, locks or touches a file; the buffers are made by the
// constructor.
#pragma once

#include "platform/audio/audio_thread/frame_ring.h"
#include "platform/audio/audio_thread/room_reverb.h"

#include <cstdint>
#include <memory>

namespace platform {

class SynthPool;

// Threads: made on the UI thread; every other call on the audio thread.
class RoomPath {
public:
  // From a sound to the room's answer: the room reverb's own first echo
  // (its shortest comb, 25 ms) comes on top, so a short pre-delay keeps the
  // room small.
  static constexpr double kPreDelaySeconds = 0.010;
  // The room's send: the reverb is fed this share of the instruments' sound
  // (the mean of the two sides).
  static constexpr float kSend = 0.06f;

  // `spanFrames`: the engine's span (its rings' size).
  explicit RoomPath(uint32_t sampleRate, uint32_t spanFrames = FrameRing::kMaxFrames);
  ~RoomPath();
  RoomPath(const RoomPath&) = delete;
  RoomPath& operator=(const RoomPath&) = delete;

  uint32_t preDelayFrames() const noexcept { return delay_; }
  // The room on or off (off: wet() stays silent).
  void enable(bool on) noexcept { on_ = on; }
  bool enabled() const noexcept { return on_; }

  // The pool has rendered the new dry frames [from, to), from == the end of
  // what was rendered before: their sends go in, and the room's output for
  // [from, to) is made.  `pool` may be null (no synth: silence).
  void renderNew(const SynthPool* pool, uint64_t from, uint64_t to) noexcept;
  // The pool's dry sound changed over [from, to), `to` the end of what was
  // rendered: the sends are taken again and the room's output rewritten from
  // from + D where it had been made already.
  void rewrite(const SynthPool* pool, uint64_t from, uint64_t to) noexcept;
  // Dry frames before `frame` are final: they never change again.
  void finalizeTo(uint64_t frame) noexcept;
  // The server read on through silence: the engine jumps from `from` (what
  // it had rendered, all final) to `to`.  The room stands still meanwhile,
  // as the instruments do, and goes on after the gap where it was.
  void skip(uint64_t from, uint64_t to) noexcept;

  // The room's contribution, by engine frame; valid over the engine's
  // replaceable span.
  const FrameRing& wet() const noexcept { return wet_; }
  // The room still has something to say: ringing, or sends waiting for it.
  bool active() const noexcept;

  // Figures: changes that made the room run again, and the frames it ran
  // again over.
  uint64_t reruns() const noexcept { return reruns_; }
  uint64_t framesRerun() const noexcept { return framesRerun_; }

private:
  static constexpr uint32_t kChunk = 1024;

  void takeSends(const SynthPool* pool, uint64_t from, uint64_t to) noexcept;
  // Runs `reverb` over the sends of [from, to); its output goes to wet()
  // when `keep`, else nowhere.
  void run(RoomReverb& reverb, uint64_t from, uint64_t to, bool keep) noexcept;
  // Brings the settled reverb as far as it can go: up to final + D by
  // running it, or, when the live one already stands within that, by a copy
  // of it (`copy`: allowed).
  void settle(bool copy) noexcept;

  const uint32_t delay_;
  // The sends are kept for twice the engine's span and the pre-delay: the
  // settled reverb lags written by at most a queue and the pre-delay.
  const uint32_t sendFrames_;
  const uint64_t sendMask_;
  bool on_ = false;
  RoomReverb live_, settled_;
  std::unique_ptr<float[]> sends_;     // sendFrames_ mono sends, by the frame that answers them
  std::unique_ptr<float[]> dry_;       // kChunk stereo frames
  std::unique_ptr<float[]> scratch_;   // kChunk stereo frames: the settled reverb's output
  std::unique_ptr<float[]> pending_;   // D sends, moved across a gap
  FrameRing wet_;
  uint64_t final_ = 0;       // dry frames before this are final
  uint64_t liveAt_ = 0;      // the live reverb has run over the sends before this (== written)
  uint64_t settledAt_ = 0;   // the same for the settled reverb
  uint64_t loudUntil_ = 0;   // no send at or past this is sound
  uint64_t reruns_ = 0, framesRerun_ = 0;
};

}  // namespace platform
