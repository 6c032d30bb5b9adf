// SPDX-License-Identifier: GPL-3.0-or-later
// Everything behind the MIDI and wave-sound calls: the synthesizer with its
// soundfont, the audio engine with the wave channel, and the audio output.
// One per run; every call comes from the UI thread.
//
// The soundfont is loaded at the first midiOutOpen (or by prepare(), which
// a backend may run on a helper thread before the first call) and kept,
// with a pool of synthesizer instances that share it (synth_pool.h): a few
// at first, more made on a helper thread as the playing needs them
// (pool_grower.h).  Open and close afterwards only attach and detach the
// pool, which costs microseconds and leaves the wave channel and a running
// recording undisturbed.  The output starts at the first open or wave sound
// (or in prepare()) and runs until the system is destroyed.
// If the output's server goes away, a new output is opened on a thread of
// its own (asking a server can take seconds): the calls meanwhile return at
// once, and what they send is kept in the engine, or dropped when its queue
// is full, until the new output plays.
#pragma once

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/system/fluid_synth.h"
#include "platform/audio/system/audio_output.h"
#include "platform/audio/system/soundfont.h"
#include "platform/audio/audio_thread/synth_pool.h"
#include "platform/audio/calls/pool_grower.h"
#include "platform/audio/calls/wave_cache.h"
#include "platform/winapi.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct SoundSystemOptions {
  uint32_t sampleRate = 44100;
  // Soundfonts tried in order at the first open.
  std::vector<std::string> soundfonts = defaultSoundfontSearch();
  FluidSynth::Options synth;
  // The instruments' sum goes through the engine's one shared room reverb.
  bool room = true;
  // False: the embedded synthesizer plays nothing (another synthesizer is
  // played from the MIDI port); its notes still run, so that the port knows
  // their lengths, and the wave channel still sounds.
  bool synthHeard = true;
  // Synthesizer instances in the pool at most: each struck note sounds on
  // one of its own until it has died away.  The first loads the soundfonts;
  // the others come from makeSibling and share them.
  int poolSize = 32;
  // Instances made with the first (at most poolSize), and made at once
  // after them on a helper thread; the rest are made there while the pool
  // has fewer than spareInstances silent ones.  By default the whole pool
  // is made at once; forThisMachine() starts small.
  int initialInstances = 32;
  int earlyInstances = 0;
  int spareInstances = 6;
  // The most frames the engine holds replaceable (AudioEngine::spanFor()
  // of the output's queue); each ring of the engine and the pool is this big.
  uint32_t spanFrames = AudioEngine::kSpanFrames;
  // Voices of one instance: a note of any of the instrument's tones uses
  // one or two.
  int voicesPerInstance = 8;
  // Makes another instance like `first` with these options.
  std::function<std::unique_ptr<FluidSynth>(const FluidSynth& first, const FluidSynth::Options&)>
      makeSibling = [](const FluidSynth& first, const FluidSynth::Options& options) {
        return first.sibling(options);
      };
  // Makes the output when sound is first needed.  Empty: offline, with no
  // output at all; the owner drives engine().render() itself.
  std::function<std::unique_ptr<AudioOutput>()> makeOutput = makeDefaultAudioOutput;
  // Longest a synchronous wave sound may run over its own length before the
  // call gives up on the output (and the sound).  Generous, because a sound
  // server's sink that has just woken up may sit on its first block for a
  // couple of seconds (PulseAudio's null sink takes two).
  double syncMarginSeconds = 3.0;

  static SoundSystemOptions offline() {
    SoundSystemOptions o;
    o.makeOutput = nullptr;
    return o;
  }
  // The system's output (output_choice.h), chosen once: the engine at its
  // rate (the graph's under PipeWire, so that nothing is resampled there)
  // and with a span for its queue; the first opening starts that output,
  // later ones (after a server went away) choose anew.
  static SoundSystemOptions forThisMachine();
};

// Threads: the UI thread only (prepare() on any one thread before the first call).
class SoundSystem {
public:
  SoundSystem();
  explicit SoundSystem(SoundSystemOptions options);
  ~SoundSystem();
  SoundSystem(const SoundSystem&) = delete;
  SoundSystem& operator=(const SoundSystem&) = delete;

  // ---- the calls, with their usual results ----
  // Device MIDI_MAPPER (-1) or 0.  MMSYSERR_NODRIVER when no soundfont loads
  // or no output opens, MMSYSERR_ALLOCATED while already open.
  MMRESULT midiOutOpen(HMIDIOUT* phmo, int32_t deviceId);
  // MMSYSERR_INVALHANDLE (and nothing played) unless `hmo` is the open handle.
  MMRESULT midiOutShortMsg(HMIDIOUT hmo, uint32_t msg);
  MMRESULT midiOutClose(HMIDIOUT hmo);
  // SND_SYNC waits for the end of the sound (bounded); SND_LOOP repeats
  // until stopped and never waits; a null name stops the channel.
  BOOL sndPlaySound(const char* name, uint32_t flags);

  // Whether the player is at the instrument (the window is the active
  // one); told to the output (audio_output.h).  At first: present.
  void setPlayerPresent(bool present);
  // ---- before the first call, on any one thread ----
  // Starts the output and loads the synthesizer (soundfonts, pinned samples,
  // the first instances), as the first midiOutOpen would; false when either
  // fails (lastError() says why; the calls try again).
  bool prepare();
  // Starts decoding a sound file that will be played first (the start
  // sound) on a thread of its own; its sndPlaySound takes it.
  void preloadWave(const std::string& path) { waveCache_.preload(path, false); }

  // ---- for the recorder, the tests and the benchmark ----
  // Starts the output if it does not run; always true when offline.  Only
  // the first output is started here and waited for; a lost one is
  // reopened in the background (and this answers true meanwhile).
  bool ensureOutput();
  // Called now and then (the backend's timer): an output that has played
  // and was lost (its server restarted) is reopened in the background
  // without waiting for the next note, so the MIDI port is back in the
  // graph as soon as a server answers.  Never waits.
  void keepOutput();
  // A lost output is being reopened in the background.
  bool reopening() const { return reopen_ != nullptr; }
  // Waits for a reopening to end and takes its output (tests, shutdown).
  void finishReopening();
  bool offline() const { return !options_.makeOutput; }
  AudioEngine& engine() { return engine_; }
  TapHost& tapHost() { return engine_; }
  AudioOutput* output() { return output_.get(); }
  HMIDIOUT openHandle() const { return handle_; }
  int soundfontLoads() const { return soundfontLoads_; }
  std::string soundfontPath() const { return synth_ ? synth_->soundfontPath() : std::string(); }
  // The pool's helper has made all it was asked for (a test waits for it
  // between rounds, as the player's pace leaves it time to).
  bool poolSettled() const { return !grower_ || grower_->idle(); }
  // Instances made so far (the first ones and those the grower handed over).
  size_t poolInstances() const { return pool_ ? startInstances_ + (grower_ ? grower_->made() : 0) : 0; }
  const std::string& lastError() const { return lastError_; }

private:
  // `loaded`: the soundfonts, read already (prepare()); null: read them now.
  bool ensureSynth(std::shared_ptr<FluidSynth::Fonts> loaded = nullptr, const std::string& loadError = {});
  std::unique_ptr<SynthPool> makePool(FluidSynth& first, const FluidSynth::Options& options);
  bool engineRuns() const;
  bool startFirstOutput();
  void reopenIfLost();
  void warnIfMute();
  void adoptReopened(bool wait);

  SoundSystemOptions options_;
  std::unique_ptr<FluidSynth> synth_;     // destroyed after the engine and the output
  std::vector<std::unique_ptr<FluidSynth>> siblings_;
  std::unique_ptr<PoolGrower> grower_;    // stopped before the output, freed after the engine
  std::unique_ptr<SynthPool> pool_;
  size_t startInstances_ = 0;
  AudioEngine engine_;
  WaveCache waveCache_;
  std::unique_ptr<AudioOutput> output_;
  struct Reopen;   // a new output being started off the UI thread
  std::unique_ptr<Reopen> reopen_;
  bool outputRan_ = false;   // an output has played: a lost one is reopened in the background
  bool playerPresent_ = true;
  HMIDIOUT handle_ = 0;
  HMIDIOUT lastHandle_ = 0;
  int soundfontLoads_ = 0;
  std::chrono::steady_clock::time_point lastReopen_{};
  std::string lastError_;
  bool mutedSaid_ = false;
};

}  // namespace platform
