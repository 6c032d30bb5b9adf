// The real-time mixer behind the MIDI and wave-sound calls.  One render call
// produces the next block of the output: queued commands are taken, the
// synthesizer (while attached, or while its notes die away after a detach)
// is rendered, the wave channel is added, the sum is clipped to [-1, 1] and
// the block is shown to the recorder's tap.
//
// Threads: the UI thread is the only one that queues commands; render() runs
// on the audio thread (the output module's, or a test's).  render() takes no
// lock, allocates nothing and touches no file.
#pragma once

#include "platform/audio/audio_tap.h"
#include "platform/audio/spsc_queue.h"
#include "platform/audio/wave_sound.h"

#include <atomic>
#include <cstdint>

namespace platform {

class FluidSynth;

class AudioEngine : public TapHost {
public:
  explicit AudioEngine(uint32_t sampleRate = 44100);
  ~AudioEngine() override;
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  // ---- audio thread ----
  void render(float* interleavedStereo, uint32_t frames) noexcept;

  // ---- UI thread ----
  // Hands the synthesizer to the audio thread, detached.  Once only; the
  // engine does not own it and it must outlive the last render().
  bool installSynth(FluidSynth* synth);
  // The device opened: the synth starts from a clean state and plays the
  // messages that follow.  Voices still dying away from before keep going.
  bool attachSynth();
  // The device closed: sounding notes are released and die away (cut with a
  // short fade if they are still audible after kReleaseCapSeconds); later
  // messages go nowhere.
  bool detachSynth();
  // Queues one packed short message for the attached synth.  False when no
  // synth is attached, the message is not a channel voice message, or the
  // queue is full (the audio thread is not running).
  bool sendMidi(uint32_t packed);
  bool synthAttached() const { return attached_; }

  WaveChannel& wave() { return wave_; }

  // ---- TapHost ----
  uint32_t sampleRate() const override { return rate_; }
  void attachTap(AudioTap* tap) override;
  void detachTap(AudioTap* tap) override;

  // ---- figures, any thread ----
  uint64_t framesRendered() const { return framesRendered_.load(std::memory_order_acquire); }
  uint64_t blocksRendered() const { return blocksRendered_.load(std::memory_order_acquire); }
  // Whether the audio thread renders the synth at all: attached with
  // something sounding (an open device that has fallen silent rests until
  // its next message), or notes dying away after a detach.
  bool synthRendering() const { return synthRendering_.load(std::memory_order_acquire); }
  uint64_t midiDispatched() const { return midiDispatched_.load(std::memory_order_acquire); }

  static constexpr double kReleaseCapSeconds = 3.0;
  static constexpr double kCutFadeSeconds = 0.03;

private:
  struct SynthCommand {
    enum Kind : uint8_t { Install, Attach, Detach, Midi } kind = Midi;
    uint32_t message = 0;
    FluidSynth* synth = nullptr;
  };
  enum class SynthMode : uint8_t { Idle, Attached, Releasing };

  void takeSynthCommands() noexcept;
  void renderSynth(float* out, uint32_t frames) noexcept;
  void goIdle() noexcept;
  void wake() noexcept;
  bool restAfter(const float* out, uint32_t frames) noexcept;

  const uint32_t rate_;
  SpscQueue<SynthCommand, 1024> synthCommands_;
  WaveChannel wave_;

  // UI side
  bool installed_ = false;
  bool attached_ = false;

  // audio side
  FluidSynth* synth_ = nullptr;
  SynthMode mode_ = SynthMode::Idle;
  uint64_t releasedFrames_ = 0;
  uint32_t quietBlocks_ = 0;
  bool resting_ = false;   // attached, silent, not rendered until the next message

  // the tap
  std::atomic<AudioTap*> tap_{nullptr};
  std::atomic<bool> inTap_{false};

  std::atomic<uint64_t> framesRendered_{0};
  std::atomic<uint64_t> blocksRendered_{0};
  std::atomic<uint64_t> midiDispatched_{0};
  std::atomic<bool> synthRendering_{false};
};

}  // namespace platform
