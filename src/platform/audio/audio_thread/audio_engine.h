// SPDX-License-Identifier: GPL-3.0-or-later
// The real-time mixer behind the MIDI and wave-sound calls.
//
// The engine renders ahead of what is heard: the output keeps a deep queue
// at the sound server, so that stalls of the machine do not drain it, and
// every change of what is heard (a struck note, the wave channel starting
// or stopping, the notes released by a close) is written into the audio
// already queued, from just past the point where the server reads.  The
// engine's frames are numbered from 0 since it was made:
//
//   [0, finalFrames())            final: the server has it for good; the
//                                 recorder's tap has heard it;
//   [finalFrames(), written())    given to the output but still replaceable;
//   written() and on              not rendered yet.
//
// The output drives it with advance(): it says from which frame the server
// can still take audio anew and how far its queue should reach; the engine
// takes the queued commands, applies them at that change point, renders,
// and answers which frames the output must (re)write.  The sources (each
// synth instance of the pool, the wave channel) keep their own contribution
// for the replaceable span, and the mix over it is their sum, clipped to
// [-1, 1].  Offline, render() plays a server with no queue: every block is
// final as soon as it is rendered.
//
// The replaceable span is held in rings of spanFrames() frames: as deep as
// the queue the output really keeps (twice a PulseAudio queue, twice the
// longest graph period under PipeWire), at most kSpanFrames.
//
// The synth pool may grow while it plays: instances made on another thread
// (pool_grower.h) are handed over through a queue of their own, and the
// audio thread says on growSignal() when the pool runs short of silent ones.
//
// Threads: the UI thread is the only one that queues commands, and it wakes
// the audio thread (wakeSignal()) after each; one other thread at a time may
// hand over instances (growPool()).  advance(), read() and render() run on
// the audio thread (the output module's, or a test's); they take no lock,
// allocate nothing and touch no file.
#pragma once

#include "platform/audio/audio_thread/audio_tap.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/audio_thread/frame_ring.h"
#include "platform/audio/audio_thread/midi_events.h"
#include "platform/audio/audio_thread/room_path.h"
#include "platform/audio/audio_thread/spsc_queue.h"
#include "platform/audio/audio_thread/synth_pool.h"
#include "platform/audio/audio_thread/wake_signal.h"
#include "platform/audio/audio_thread/wave_channel.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace platform {

// Threads: commands from the UI thread, growPool() from one other; advance/read/render on the audio thread.
class AudioEngine : public TapHost {
public:
  // The most frames any engine holds replaceable: the deepest span.
  static constexpr uint32_t kSpanFrames = FrameRing::kMaxFrames;
  // The span for an output that keeps `frames` frames replaceable (a queue,
  // or the longest block it asks for at once): a power of two at least
  // twice that, at most kSpanFrames.
  static constexpr uint32_t spanFor(uint32_t frames) { return FrameRing::sizeFor(2 * frames); }

  // `spanFrames`: the most frames held replaceable (rounded up to a power
  // of two, at most kSpanFrames).
  explicit AudioEngine(uint32_t sampleRate = 44100, uint32_t spanFrames = kSpanFrames);
  uint32_t spanFrames() const noexcept { return span_; }
  ~AudioEngine() override;
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  // ---- audio thread: an output with a queue ----
  struct Update {
    uint64_t from = 0;   // first frame to (re)write; below the old written() for a rewrite
    uint64_t to = 0;     // == written()
  };
  // `taken`: frames the server has taken for good (it cannot give them
  // back); `guard`: how far past them a change must be written to be sure
  // to arrive in time; every frame before taken + guard becomes final (and
  // reaches the tap).  `wantTo`: where the queue should end; the engine
  // renders up to there, but never more than spanFrames() past the final
  // point.  Queued commands take effect at the change point
  // max(taken + guard, finalFrames()), or at written() when the queue holds
  // less than that.  When `taken` lies past written() the server has run
  // dry and read on through silence: the engine (and the tap) skip to it.
  Update advance(uint64_t taken, uint32_t guard, uint64_t wantTo) noexcept;
  // The same for an output that keeps nothing replaceable (taken ==
  // written(), guard 0): every queued command lands at its own frame, as
  // `clock` places its stamp (command_clock.h), and the new frames are
  // rendered in pieces between those frames.  A command whose frame lies
  // past `wantTo` stays queued until a later block reaches it.
  Update advance(uint64_t taken, uint32_t guard, uint64_t wantTo, const CommandClock& clock) noexcept;
  // Copies the mix of [from, from + frames), which must lie within
  // [finalFrames(), written()), as interleaved stereo.
  void read(uint64_t from, uint32_t frames, float* out) const noexcept;
  uint64_t written() const noexcept { return written_; }
  uint64_t finalFrames() const noexcept { return final_; }

  // ---- audio thread: offline ----
  // Renders the next `frames` frames into `out` and makes them final at once.
  void render(float* interleavedStereo, uint32_t frames) noexcept;

  // ---- UI thread ----
  // Hands the synth pool to the audio thread, detached.  Once only; the
  // engine does not own it and it must outlive the last render.  `room`:
  // the instances' summed sound goes through the shared room reverb behind
  // a fixed pre-delay (room_path.h), the same on every output, and is
  // rewritten with the rest of the queue.
  bool installSynth(SynthPool* pool, bool room = true);
  // The device opened: the instances start from a clean state and play the
  // messages that follow.  Notes still dying away from before keep going.
  bool attachSynth();
  // The device closed: sounding notes are released from the change point
  // and die away; later messages go nowhere.
  bool detachSynth();
  // Queues one packed short message for the attached synth.  False when no
  // synth is attached, the message is not a channel voice message, or the
  // queue is full (the audio thread is not running).
  bool sendMidi(uint32_t packed);
  bool synthAttached() const { return attached_; }
  // False: the synth's instances play on (their notes' lengths are still
  // known to the MIDI port) but neither they nor the room are mixed; the
  // wave channel still is.  Set before installSynth.
  void setSynthHeard(bool heard) { synthHeard_.store(heard, std::memory_order_relaxed); }
  bool synthHeard() const { return synthHeard_.load(std::memory_order_relaxed); }
  // Every channel message the synth plays goes into `events` (midi_events.h)
  // at its frame, with a note-off for each note as heard; null: nowhere.
  // From the UI thread while no output runs, or from the output's thread.
  void reportMidiTo(MidiEvents* events) { midiEvents_.store(events, std::memory_order_release); }
  MidiEvents* midiReportList() const { return midiEvents_.load(std::memory_order_acquire); }

  // ---- the pool's grower: one thread at a time ----
  // Hands the audio thread one more instance for the installed pool, with
  // its ring (of spanFrames()); the engine owns neither, and both must
  // outlive the last render.  The pool takes it at the next round.  False
  // when the hand-over queue is full.
  bool growPool(SynthInstance* synth, FrameRing* ring);
  // Told by the audio thread (once per hand-over) when a note leaves the
  // pool with fewer silent instances than it keeps spare and it may grow.
  WakeSignal& growSignal() { return growSignal_; }

  WaveChannel& wave() { return wave_; }
  // Told after every command; the output watches its descriptor.
  WakeSignal& wakeSignal() { return wakeSignal_; }

  // ---- TapHost ----
  // The tap hears the final frames, in order, as they become final.
  uint32_t sampleRate() const override { return rate_; }
  void attachTap(AudioTap* tap) override;
  void detachTap(AudioTap* tap) override;

  // ---- figures, any thread ----
  // Commands queued that the audio thread has not taken yet (audio thread).
  bool commandsWaiting() noexcept { return synthCommands_.size() > 0 || wave_.commandsWaiting(); }
  // A tap is listening (a take is being recorded).
  bool tapAttached() const { return tap_.load(std::memory_order_acquire) != nullptr; }
  // Frames rendered for the first time (rewrites not counted).
  uint64_t framesRendered() const { return framesRendered_.load(std::memory_order_acquire); }
  // Calls that rendered new frames.
  uint64_t blocksRendered() const { return blocksRendered_.load(std::memory_order_acquire); }
  // Whether the audio thread renders any synth instance at all.
  bool synthRendering() const { return synthRendering_.load(std::memory_order_acquire); }
  int instancesSounding() const { return sounding_.load(std::memory_order_acquire); }
  // The program the synth's `channel` plays after the frames rendered so
  // far; -1 when none was sent since the device opened (audio thread).
  int synthProgram(int channel) const noexcept { return pool_ ? pool_->program(channel) : -1; }
  uint64_t midiDispatched() const { return midiDispatched_.load(std::memory_order_acquire); }
  // Frames written a second time because a change came after them.
  uint64_t framesRewritten() const { return framesRewritten_.load(std::memory_order_acquire); }
  // Frames the server read past the end of its queue (played as silence).
  uint64_t framesSkipped() const { return framesSkipped_.load(std::memory_order_acquire); }
  // Notes that took over a sounding instance because the pool was full.
  uint64_t synthSteals() const { return steals_.load(std::memory_order_acquire); }

private:
  struct Grant {
    SynthInstance* synth = nullptr;
    FrameRing* ring = nullptr;
  };
  struct SynthCommand {
    enum Kind : uint8_t { Install, Attach, Detach, Midi } kind = Midi;
    uint32_t message = 0;
    SynthPool* pool = nullptr;
    bool room = false;
    int64_t time = 0;   // monotonicNs() when queued
  };
  bool push(const SynthCommand& c);
  void takeGrants() noexcept;
  void askToGrow() noexcept;
  bool takeSynthCommands(uint64_t at) noexcept;
  bool applySynthCommand(const SynthCommand& c, uint64_t at) noexcept;
  uint64_t takeDueCommands(const CommandClock& clock, uint64_t end) noexcept;
  void renderNew(uint64_t end) noexcept;
  void takeReportList() noexcept;
  void publishFigures() noexcept;
  void finalizeTo(uint64_t frame) noexcept;
  void skipTo(uint64_t frame) noexcept;
  void renderWave(uint64_t from, uint64_t to) noexcept;
  void mix(uint64_t from, uint64_t to) noexcept;

  const uint32_t rate_;
  const uint32_t span_;
  WakeSignal wakeSignal_;
  SpscQueue<SynthCommand, 1024> synthCommands_;
  WakeSignal growSignal_;
  SpscQueue<Grant, 64> grants_;
  bool growAsked_ = false;   // audio side: asked, and nothing handed over since
  WaveChannel wave_;

  // UI side
  bool installed_ = false;
  bool attached_ = false;

  // audio side
  SynthPool* pool_ = nullptr;
  bool synthAttached_ = false;
  uint64_t final_ = 0;
  uint64_t written_ = 0;
  FrameRing waveRing_;                  // the wave channel's contribution
  RoomPath room_;                       // the room, and its contribution
  FrameRing mixRing_;                   // the clipped sum of every source

  // the tap
  std::atomic<AudioTap*> tap_{nullptr};
  std::atomic<bool> inTap_{false};

  std::atomic<uint64_t> framesRendered_{0};
  std::atomic<uint64_t> blocksRendered_{0};
  std::atomic<uint64_t> midiDispatched_{0};
  std::atomic<uint64_t> framesRewritten_{0};
  std::atomic<uint64_t> framesSkipped_{0};
  std::atomic<uint64_t> steals_{0};
  std::atomic<bool> synthRendering_{false};
  std::atomic<bool> synthHeard_{true};
  std::atomic<MidiEvents*> midiEvents_{nullptr};
  std::atomic<int> sounding_{0};
};

}  // namespace platform
