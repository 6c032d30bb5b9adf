#include "platform/audio/audio_engine.h"

#include "platform/audio/fluid_synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace platform {

namespace {
// Below this peak (about -90 dB) a dying synth counts as silent.
constexpr float kSilentPeak = 3e-5f;
// Consecutive quiet blocks, with no voice left, before the synth rests.
constexpr uint32_t kQuietBlocksToRest = 8;
}  // namespace

AudioEngine::AudioEngine(uint32_t sampleRate) : rate_(sampleRate), wave_(sampleRate) {}

AudioEngine::~AudioEngine() = default;

// ---- UI thread ----

bool AudioEngine::installSynth(FluidSynth* synth) {
  if (installed_ || !synth) return false;
  if (!synthCommands_.push({SynthCommand::Install, 0, synth})) return false;
  installed_ = true;
  return true;
}

bool AudioEngine::attachSynth() {
  if (!installed_ || !synthCommands_.push({SynthCommand::Attach})) return false;
  attached_ = true;
  return true;
}

bool AudioEngine::detachSynth() {
  if (!installed_ || !synthCommands_.push({SynthCommand::Detach})) return false;
  attached_ = false;
  return true;
}

bool AudioEngine::sendMidi(uint32_t packed) {
  if (!attached_ || !isChannelVoiceMessage(packed)) return false;
  return synthCommands_.push({SynthCommand::Midi, packed});
}

void AudioEngine::attachTap(AudioTap* tap) { tap_.store(tap, std::memory_order_seq_cst); }

void AudioEngine::detachTap(AudioTap* tap) {
  AudioTap* expected = tap;
  tap_.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
  // The audio thread raises inTap_ before it reads tap_, so once tap_ is
  // cleared and inTap_ is seen low, no block can still be using the old tap.
  while (inTap_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

// ---- audio thread ----

void AudioEngine::takeSynthCommands() noexcept {
  SynthCommand c;
  while (synthCommands_.pop(c)) {
    switch (c.kind) {
      case SynthCommand::Install:
        synth_ = c.synth;
        mode_ = SynthMode::Idle;
        break;
      case SynthCommand::Attach:
        if (!synth_) break;
        synth_->resetChannels();
        mode_ = SynthMode::Attached;
        wake();
        break;
      case SynthCommand::Detach:
        if (!synth_ || mode_ != SynthMode::Attached) break;
        synth_->releaseAll();
        mode_ = SynthMode::Releasing;
        releasedFrames_ = 0;
        wake();
        break;
      case SynthCommand::Midi:
        if (synth_ && mode_ == SynthMode::Attached) {
          wake();
          synth_->dispatch(c.message);
          midiDispatched_.fetch_add(1, std::memory_order_relaxed);
        }
        break;
    }
  }
}

void AudioEngine::wake() noexcept {
  resting_ = false;
  quietBlocks_ = 0;
}

void AudioEngine::goIdle() noexcept {
  synth_->silence();
  mode_ = SynthMode::Idle;
}

// Counts the blocks in a row in which the synth was silent with no voice
// left; true once there have been enough to stop rendering it.
bool AudioEngine::restAfter(const float* out, uint32_t frames) noexcept {
  float peak = 0.0f;
  for (uint32_t i = 0; i < frames * 2; ++i) peak = std::max(peak, std::fabs(out[i]));
  quietBlocks_ = (peak < kSilentPeak && synth_->activeVoices() == 0) ? quietBlocks_ + 1 : 0;
  return quietBlocks_ >= kQuietBlocksToRest;
}

void AudioEngine::renderSynth(float* out, uint32_t frames) noexcept {
  // An open device with nothing sounding rests until its next message, so
  // an idle instrument costs next to nothing; the room's reverb is let ring
  // out first.
  if (!synth_ || mode_ == SynthMode::Idle || (mode_ == SynthMode::Attached && resting_)) {
    std::memset(out, 0, size_t(frames) * 2 * sizeof(float));
    return;
  }
  synth_->render(out, frames);
  if (mode_ == SynthMode::Attached) {
    if (restAfter(out, frames)) resting_ = true;
    return;
  }

  // Dying away after a detach: rest once silent; past the cap, fade out.
  const uint64_t cap = uint64_t(kReleaseCapSeconds * rate_);
  const uint64_t fade = std::max<uint64_t>(1, uint64_t(kCutFadeSeconds * rate_));
  for (uint32_t i = 0; i < frames; ++i) {
    const uint64_t t = releasedFrames_ + i;
    if (t >= cap) {
      const float g = t >= cap + fade ? 0.0f : 1.0f - float(t - cap) / float(fade);
      out[i * 2] *= g;
      out[i * 2 + 1] *= g;
    }
  }
  releasedFrames_ += frames;
  if (releasedFrames_ >= cap + fade || restAfter(out, frames)) goIdle();
}

void AudioEngine::render(float* out, uint32_t frames) noexcept {
  if (frames == 0) return;
  takeSynthCommands();
  renderSynth(out, frames);
  synthRendering_.store(synth_ && mode_ != SynthMode::Idle && !resting_, std::memory_order_release);
  wave_.mixInto(out, frames);

  for (uint32_t i = 0; i < frames * 2; ++i) out[i] = std::fmin(1.0f, std::fmax(-1.0f, out[i]));

  inTap_.store(true, std::memory_order_seq_cst);
  if (AudioTap* tap = tap_.load(std::memory_order_seq_cst)) tap->onMix(out, frames);
  inTap_.store(false, std::memory_order_seq_cst);

  framesRendered_.fetch_add(frames, std::memory_order_release);
  blocksRendered_.fetch_add(1, std::memory_order_release);
}

}  // namespace platform
