// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/calls/sound_system.h"
#include "platform/audio/audio_thread/midi_message.h"
#include "platform/audio/system/output_choice.h"
#include "platform/end_request.h"
#include "platform/startup_stamps.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace platform {

SoundSystemOptions SoundSystemOptions::forThisMachine() {
  SoundSystemOptions o;
  const OutputChoice choice = chooseAudioOutput();
  o.sampleRate = choice.rate;
  o.spanFrames = AudioEngine::spanFor(queueFramesOf(choice));
  // A few instances to start with, a few more at once, the rest as needed.
  o.initialInstances = 2;
  o.earlyInstances = 4;
  // The server is asked once: the first output is the one chosen here.
  auto chosen = std::make_shared<std::optional<OutputChoice>>(choice);
  o.makeOutput = [chosen]() {
    if (!chosen->has_value()) return makeDefaultAudioOutput();
    const OutputChoice first = **chosen;
    chosen->reset();
    return makeAudioOutput(first);
  };
  return o;
}

SoundSystem::SoundSystem() : SoundSystem(SoundSystemOptions{}) {}

SoundSystem::SoundSystem(SoundSystemOptions options)
    : options_(std::move(options)),
      engine_(options_.sampleRate, options_.spanFrames),
      waveCache_(options_.sampleRate) {
  options_.synth.sampleRate = options_.sampleRate;
  engine_.setSynthHeard(options_.synthHeard);
}

// A lost output's successor, made and started on a thread of its own: the
// old output stopped, a new one asked of the server.  Made and taken back
// on the UI thread; its thread touches nothing else of the sound system
// (the engine only as an output's start does, while no output serves it).
struct SoundSystem::Reopen {
  std::unique_ptr<AudioOutput> old;
  std::unique_ptr<AudioOutput> fresh;
  bool started = false;
  std::atomic<bool> done{false};
  std::thread thread;
};

SoundSystem::~SoundSystem() {
  finishReopening();
  if (grower_) grower_->stop();
  if (output_) output_->stop();
}

// The soundfonts are read on a thread of their own while the output starts:
// neither needs the other until the onsets are found at the output's rate.
bool SoundSystem::prepare() {
  if (synth_) return ensureOutput();
  std::shared_ptr<FluidSynth::Fonts> loaded;
  std::string loadError;
  InstrumentFonts fonts;
  fonts.generalMidi = options_.soundfonts;
  std::thread reader([&] { loaded = FluidSynth::loadFonts(fonts, &loadError); });
  const bool output = ensureOutput();
  reader.join();
  return ensureSynth(std::move(loaded), loadError) && output;
}

bool SoundSystem::engineRuns() const { return offline() || (output_ && output_->running()); }

bool SoundSystem::ensureOutput() {
  if (offline()) return true;
  adoptReopened(false);
  if (output_ && output_->running()) return true;
  // The server went away after playing: a new output is asked for off this
  // thread, and the engine keeps the commands meanwhile.
  if (outputRan_) {
    reopenIfLost();
    return true;
  }
  return startFirstOutput();
}

bool SoundSystem::startFirstOutput() {
  if (output_) output_->stop();
  output_ = options_.makeOutput();
  if (output_) output_->setPlayerPresent(playerPresent_);
  if (output_ && output_->start(engine_)) {
    outputRan_ = true;
    startup::mark("output started");
    if (const std::string line = output_->announcement(); !line.empty())
      std::fprintf(stderr, "plinkora: %s\n", line.c_str());
    warnIfMute();
    return true;
  }
  lastError_ = "no audio output could be opened";
  if (output_ && !output_->error().empty()) lastError_ += ": " + output_->error();
  output_.reset();
  return false;
}

// With the embedded synthesizer silenced, only a MIDI port makes the notes
// heard; said once.
void SoundSystem::warnIfMute() {
  if (options_.synthHeard || mutedSaid_ || output_->offersMidiPort()) return;
  mutedSaid_ = true;
  std::fprintf(stderr,
               "plinkora: the embedded synthesizer is silenced and this output has no MIDI port "
               "(PipeWire only): only the wave sounds play\n");
}

void SoundSystem::setPlayerPresent(bool present) {
  playerPresent_ = present;
  if (output_) output_->setPlayerPresent(present);
}

// The server went away (restarted): a fresh output is opened on a thread of
// its own, at most once a second while none answers.  The engine, its
// notes and an open take carry on; the take simply hears nothing while
// there is no server.  Nothing here waits.
void SoundSystem::reopenIfLost() {
  adoptReopened(false);
  if (offline() || !outputRan_ || reopen_ || (output_ && output_->running())) return;
  const auto now = std::chrono::steady_clock::now();
  if (lastReopen_.time_since_epoch().count() != 0 && now - lastReopen_ < std::chrono::seconds(1)) return;
  lastReopen_ = now;
  reopen_ = std::make_unique<Reopen>();
  Reopen* r = reopen_.get();
  r->old = std::move(output_);
  r->thread = std::thread([r, make = options_.makeOutput, present = playerPresent_, engine = &engine_] {
    if (r->old) r->old->stop();
    r->old.reset();
    r->fresh = make();
    if (r->fresh) {
      r->fresh->setPlayerPresent(present);
      r->started = r->fresh->start(*engine);
      if (!r->started) r->fresh->stop();
    }
    r->done.store(true, std::memory_order_release);
  });
}

// Takes the reopened output once its thread is done (or, with `wait`,
// after waiting for it).
void SoundSystem::adoptReopened(bool wait) {
  if (!reopen_ || (!wait && !reopen_->done.load(std::memory_order_acquire))) return;
  reopen_->thread.join();
  std::unique_ptr<Reopen> r = std::move(reopen_);
  if (r->started) {
    output_ = std::move(r->fresh);
    output_->setPlayerPresent(playerPresent_);
    if (const std::string line = output_->announcement(); !line.empty())
      std::fprintf(stderr, "plinkora: %s\n", line.c_str());
    return;
  }
  lastError_ = "no audio output could be opened";
  if (r->fresh && !r->fresh->error().empty()) lastError_ += ": " + r->fresh->error();
}

void SoundSystem::finishReopening() { adoptReopened(true); }

void SoundSystem::keepOutput() {
  if (offline() || !outputRan_) return;
  adoptReopened(false);
  reopenIfLost();
}

bool SoundSystem::ensureSynth(std::shared_ptr<FluidSynth::Fonts> loaded, const std::string& loadError) {
  if (synth_) return true;
  std::string why = loadError.empty() ? "no soundfont found" : loadError;
  FluidSynth::Options instanceOptions = options_.synth;
  instanceOptions.polyphony = std::max(1, options_.voicesPerInstance);
  // The room is the engine's one shared reverb; the instances play dry.
  instanceOptions.internalReverb = false;
  instanceOptions.internalChorus = false;
  // The first General MIDI soundfont of the list that has the tones (and
  // the OPL3 one when installed).
  if (!loaded) {
    InstrumentFonts fonts;
    fonts.generalMidi = options_.soundfonts;
    loaded = FluidSynth::loadFonts(fonts, &why);
  }
  std::unique_ptr<FluidSynth> synth =
      loaded ? FluidSynth::createInstrument(std::move(loaded), instanceOptions, &why) : nullptr;
  if (synth) {
    auto pool = makePool(*synth, instanceOptions);
    if (!engine_.installSynth(pool.get(), options_.room)) {
      lastError_ = "the audio engine did not take the synthesizer";
      siblings_.clear();
      return false;
    }
    startup::mark("synth pool");
    ++soundfontLoads_;
    synth_ = std::move(synth);
    pool_ = std::move(pool);
    startInstances_ = pool_->size();
    // The rest of the pool is made as the playing needs it.
    const FluidSynth* first = synth_.get();
    auto make = [this, first, instanceOptions]() -> std::unique_ptr<SynthInstance> {
      return options_.makeSibling ? options_.makeSibling(*first, instanceOptions) : nullptr;
    };
    grower_ = std::make_unique<PoolGrower>(engine_, make, pool_->capacity() - pool_->size(),
                                           size_t(std::max(0, options_.earlyInstances)));
    return true;
  }
  lastError_ = why;
  return false;
}

// The pool: `first` and its first siblings; fewer when a sibling cannot be made.
std::unique_ptr<SynthPool> SoundSystem::makePool(FluidSynth& first, const FluidSynth::Options& options) {
  const int most = std::max(1, options_.poolSize);
  auto pool = std::make_unique<SynthPool>(options_.sampleRate, options_.spanFrames, size_t(most),
                                          size_t(std::max(0, options_.spareInstances)));
  pool->add(&first);
  siblings_.clear();
  const int start = std::clamp(options_.initialInstances, 1, most);
  for (int i = 1; i < start; ++i) {
    auto sibling = options_.makeSibling ? options_.makeSibling(first, options) : nullptr;
    if (!sibling) break;
    pool->add(sibling.get());
    siblings_.push_back(std::move(sibling));
  }
  return pool;
}

MMRESULT SoundSystem::midiOutOpen(HMIDIOUT* phmo, int32_t deviceId) {
  if (!phmo) return MMSYSERR_ERROR;
  if (deviceId != MIDI_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
  if (handle_ != 0) return MMSYSERR_ALLOCATED;
  // The output first: it is quick to fail, the soundfont is not.
  if (!ensureOutput()) return MMSYSERR_NODRIVER;
  if (!ensureSynth()) return MMSYSERR_NODRIVER;
  if (!engine_.attachSynth()) {
    lastError_ = "the audio engine is not taking commands";
    return MMSYSERR_ERROR;
  }
  // A fresh value for every open, so a handle kept from before a close is
  // recognised as stale.
  lastHandle_ = (lastHandle_ < 0x10001 || lastHandle_ >= 0x7FFF0000) ? 0x10001 : lastHandle_ + 1;
  handle_ = lastHandle_;
  *phmo = handle_;
  return MMSYSERR_NOERROR;
}

MMRESULT SoundSystem::midiOutShortMsg(HMIDIOUT hmo, uint32_t msg) {
  if (handle_ == 0 || hmo != handle_) return MMSYSERR_INVALHANDLE;
  if (!MidiMessage(msg).isChannelVoice()) return MMSYSERR_NOERROR;   // a synthesizer ignores these
  reopenIfLost();
  return engine_.sendMidi(msg) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

MMRESULT SoundSystem::midiOutClose(HMIDIOUT hmo) {
  if (handle_ == 0 || hmo != handle_) return MMSYSERR_INVALHANDLE;
  engine_.detachSynth();
  handle_ = 0;
  return MMSYSERR_NOERROR;
}

BOOL SoundSystem::sndPlaySound(const char* name, uint32_t flags) {
  WaveChannel& wave = engine_.wave();
  if (!name) {
    // Nothing can be playing when no output has ever run.  A stop while a
    // lost output is being reopened is kept for the new one.
    if (!offline() && !outputRan_) return 1;
    return wave.stop() ? 1 : 0;
  }
  if (!ensureOutput()) return 0;
  const bool loop = (flags & SND_LOOP) != 0;
  // A looping sound never ends by itself, so it is always played in the background.
  const bool async = (flags & SND_ASYNC) != 0 || loop;
  WaveChannel::Started started;
  auto data = waveCache_.load(name, loop);
  startup::mark("wave decoded");
  if (!data) {
    wave.stop();   // the channel is taken over even when the new sound cannot play
    return 0;
  }
  if (!wave.play(std::move(data), loop, &started)) return 0;
  if (async) return 1;

  // Synchronous: wait for the audio thread to finish the sound, but never
  // longer than the sound plus a margin, whatever happens to the output.
  using clock = std::chrono::steady_clock;
  const double latency = output_ ? output_->latencyMs() / 1000.0 : 0.0;
  const auto deadline =
      clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(
                         started.seconds + options_.syncMarginSeconds + latency));
  // A request to end the program cuts the wait short.
  while (!wave.hasEnded(started.id)) {
    if (clock::now() >= deadline || EndRequested()) {
      wave.stopIf(started.id);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // The last samples are still in the output's buffer: let them be heard.
  if (latency > 0) std::this_thread::sleep_for(std::chrono::duration<double>(latency));
  return 1;
}

}  // namespace platform
