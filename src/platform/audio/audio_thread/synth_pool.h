// SPDX-License-Identifier: GPL-3.0-or-later
// The synthesizer as a pool of FluidSynth instances (SynthInstance) that share one loaded
// soundfont set.  FluidSynth cannot roll its state back, but its output is
// the sum of its voices, so every struck note goes to an instance of its own
// that is silent: that instance renders the note from the strike point into
// audio the engine has already queued, then goes on rendering with the
// others until it falls silent.  A full pool takes the instance whose notes
// are quietest.
//
// Each instance keeps its own contribution for the span of the queue that
// may still change (a ring indexed by absolute frame), so a change edits or
// re-renders only its own instance from the change point, and the engine's
// mix is the sum of the instances (and the wave channel) over that span.
// Silent instances are not rendered at all.
//
// A close of the device releases every sounding note from the change
// point: the instance's output fades out exponentially (kReleaseSeconds)
// from there while FluidSynth itself is told to release at the end of what
// it has rendered.  Messages other than notes (program change, controllers,
// pitch bend) go to every instance that is not releasing; they are kept so
// that an instance that missed them (releasing, or silent when the device
// was opened again) gets the device's present state before its next note.
//
// Every note's length as heard is reported to the MIDI port's event list
// when there is one (reportTo): its note-on where the instance starts it,
// and one note-off, at the first of: its voices ended (the frame after its
// last audible sample), the same key struck again, the device closed, its
// instance taken over.
//
// The pool may start small and grow while it plays, up to capacity():
// instances made on another thread join it through adopt(), and
// wantsMore() says when fewer silent ones are left than it keeps spare.
//
// Threads: add() on the UI thread before the pool is handed to the engine;
// everything else on the audio thread only.  No call there allocates,
// locks or touches a file.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/audio_thread/frame_ring.h"
#include "platform/audio/audio_thread/midi_events.h"
#include "platform/audio/audio_thread/synth_instance.h"

namespace platform {

// Threads: add() on the UI thread before the engine has the pool; the rest (adopt() too) on the audio thread.
class SynthPool {
public:
  // Time constant of the fade that releases notes at a close.
  static constexpr double kReleaseSeconds = 0.1;
  // A stolen instance's old notes fade out over this many frames where the
  // queued audio allows.
  static constexpr uint32_t kStealFadeFrames = 128;

  // `spanFrames`: the engine's span, the size of each instance's ring;
  // `capacity`: the most instances it will hold; `spare`: silent instances
  // it wants at hand while it can still grow.
  explicit SynthPool(uint32_t sampleRate, uint32_t spanFrames = FrameRing::kMaxFrames, size_t capacity = 32,
                     size_t spare = 0);
  ~SynthPool();
  SynthPool(const SynthPool&) = delete;
  SynthPool& operator=(const SynthPool&) = delete;

  // ---- UI thread, before the engine has the pool ----
  // Adds one instance (not owned; it must outlive the pool's last use),
  // with a ring made here.
  void add(SynthInstance* synth);
  size_t size() const { return instances_.size(); }
  size_t capacity() const { return capacity_; }
  uint32_t spanFrames() const { return span_; }

  // ---- audio thread ----
  // One more instance, made on another thread, with its ring (of
  // spanFrames() at least); neither is owned.  False, and nothing taken,
  // when the pool is at its capacity.
  bool adopt(SynthInstance* synth, FrameRing* ring) noexcept;
  // Fewer silent instances are left than the pool keeps spare, and it may
  // still grow.
  bool wantsMore() const noexcept;

  // All frame numbers are absolute frames of the engine's output; `end` is
  // the end of what the engine has rendered so far, and the rings hold every
  // instance's contribution up to it.
  //
  // A note-on at `at`: a silent instance (or the quietest, taken over)
  // plays it and renders [at, end) at once.  False when there is no instance.
  bool noteOn(uint32_t packed, uint64_t at, uint64_t end) noexcept;
  // Any other channel message, applied where the instances stand (at `end`):
  // note-offs to the sounding instances, the rest to every instance that is
  // not releasing.  Reported at `at`; a note-off only when its key's note is
  // still open.
  void message(uint32_t packed, uint64_t at) noexcept;
  // Every sounding note released from `at`.  True when anything was sounding.
  bool releaseAll(uint64_t at, uint64_t end) noexcept;
  // The state of a freshly opened device: sounding instances get it now,
  // the others (silent or releasing) when they next play a note, together
  // with the messages sent since.
  void resetChannels() noexcept;
  // Renders the next `frames` frames, from `from` (== end), of every
  // sounding instance into its ring.
  void renderNext(uint64_t from, uint32_t frames) noexcept;
  // Adds every instance's contribution over [from, to) into `mix`.
  void addInto(FrameRing& mix, uint64_t from, uint64_t to) const noexcept;
  // Adds every instance's contribution over [from, from + frames) into
  // `out`, plain interleaved stereo.
  void addLinear(float* out, uint64_t from, uint32_t frames) const noexcept;
  // Frames before `frame` are final: they are never asked for again.
  void forget(uint64_t frame) noexcept;

  // Where the notes' messages go; null: nowhere.
  void reportTo(MidiEvents* events) noexcept { events_ = events; }
  // The program `channel` (0-15) plays since the device opened; -1: none sent.
  int program(int channel) const noexcept { return channels_[channel & 15].program; }

  // Instances rendered now (sounding or releasing).
  int sounding() const noexcept { return sounding_; }
  uint64_t steals() const noexcept { return steals_; }

private:
  enum class State : uint8_t { Idle, Playing, Releasing };
  struct Instance {
    SynthInstance* synth = nullptr;
    FrameRing* ring = nullptr;
    State state = State::Idle;
    uint64_t from = 0, to = 0;       // the ring holds the contribution over [from, to); zero elsewhere
    uint64_t releaseAt = 0;          // Releasing: the fade starts here
    uint64_t startedAt = 0;          // the frame its present note began
    uint64_t renderedFrames = 0;     // frames FluidSynth rendered, for its 64-frame blocks
    uint64_t quietFrames = 0;
    float level = 0.0f;              // peak of its last rendered frames
    bool needsReset = false;         // to get the device's present state before its next note
    int openKey = -1;                // channel * 128 + note of its note not yet closed on the port
  };
  // Controllers, program, bend and pressure of each channel since the
  // device opened; -1 where nothing was sent.
  struct ChannelState {
    int16_t cc[128];
    int16_t program;
    int32_t bend;
    int16_t pressure;
    void clear() noexcept;
  };

  void render(Instance& in, uint64_t start, uint64_t end) noexcept;
  void align(Instance& in) noexcept;
  void stop(Instance& in) noexcept;
  void restore(Instance& in) noexcept;
  void remember(uint32_t packed) noexcept;
  Instance* pick() noexcept;
  void close(Instance& in, uint64_t frame) noexcept;
  void closeKey(int key, uint64_t frame) noexcept;

  const uint32_t rate_;
  const uint32_t span_;
  const float releaseStep_;   // per-frame factor of the release fade
  size_t capacity_;
  const size_t spare_;
  std::vector<Instance> instances_;   // room for capacity_ reserved, so adopt() never allocates
  std::vector<std::unique_ptr<FrameRing>> rings_;   // those made by add()
  std::unique_ptr<float[]> scratch_;
  ChannelState channels_[16];
  int sounding_ = 0;
  uint64_t steals_ = 0;
  MidiEvents* events_ = nullptr;
};

}  // namespace platform
