#include "platform/audio/audio_engine.h"

#include "platform/audio/fluid_synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace platform {

namespace {
constexpr uint64_t kMask = AudioEngine::kSpanFrames - 1;

// Calls fn(ringIndex, frames) for the pieces of [from, to) in a ring.
template <typename Fn>
void forPieces(uint64_t from, uint64_t to, Fn fn) {
  while (from < to) {
    const uint64_t index = from & kMask;
    const uint64_t n = std::min<uint64_t>(to - from, AudioEngine::kSpanFrames - index);
    fn(size_t(index), uint32_t(n));
    from += n;
  }
}
}  // namespace

AudioEngine::AudioEngine(uint32_t sampleRate)
    : rate_(sampleRate),
      wave_(sampleRate, &wakeSignal_),
      waveRing_(new float[size_t(kSpanFrames) * 2]()),
      mixRing_(new float[size_t(kSpanFrames) * 2]()) {}

AudioEngine::~AudioEngine() = default;

// ---- UI thread ----

bool AudioEngine::push(const SynthCommand& c) {
  if (!synthCommands_.push(c)) return false;
  wakeSignal_.notify();
  return true;
}

bool AudioEngine::installSynth(SynthPool* pool) {
  if (installed_ || !pool || pool->size() == 0) return false;
  if (!push({SynthCommand::Install, 0, pool})) return false;
  installed_ = true;
  return true;
}

bool AudioEngine::attachSynth() {
  if (!installed_ || !push({SynthCommand::Attach})) return false;
  attached_ = true;
  return true;
}

bool AudioEngine::detachSynth() {
  if (!installed_ || !push({SynthCommand::Detach})) return false;
  attached_ = false;
  return true;
}

bool AudioEngine::sendMidi(uint32_t packed) {
  if (!attached_ || !isChannelVoiceMessage(packed)) return false;
  return push({SynthCommand::Midi, packed});
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

// Applies the queued synth commands at frame `at`; true when the audio of
// [at, written_) changed.
bool AudioEngine::takeSynthCommands(uint64_t at) noexcept {
  bool changed = false;
  SynthCommand c;
  while (synthCommands_.pop(c)) {
    switch (c.kind) {
      case SynthCommand::Install:
        pool_ = c.pool;
        synthAttached_ = false;
        break;
      case SynthCommand::Attach:
        if (!pool_) break;
        pool_->resetChannels();
        synthAttached_ = true;
        break;
      case SynthCommand::Detach:
        if (!pool_ || !synthAttached_) break;
        changed |= pool_->releaseAll(at, written_);
        synthAttached_ = false;
        break;
      case SynthCommand::Midi: {
        if (!pool_ || !synthAttached_) break;
        const bool noteOn = (c.message & 0xF0) == 0x90 && ((c.message >> 16) & 0x7F) != 0;
        if (noteOn) changed |= pool_->noteOn(c.message, at, written_);
        else pool_->message(c.message);
        midiDispatched_.fetch_add(1, std::memory_order_relaxed);
        break;
      }
    }
  }
  return changed;
}

void AudioEngine::renderWave(uint64_t from, uint64_t to) noexcept {
  forPieces(from, to, [&](size_t i, uint32_t n) { wave_.renderNext(&waveRing_[i * 2], n); });
}

void AudioEngine::mix(uint64_t from, uint64_t to) noexcept {
  forPieces(from, to, [&](size_t i, uint32_t n) {
    std::memcpy(&mixRing_[i * 2], &waveRing_[i * 2], size_t(n) * 2 * sizeof(float));
  });
  if (pool_) pool_->addInto(mixRing_.get(), from, to);
  forPieces(from, to, [&](size_t i, uint32_t n) {
    float* m = &mixRing_[i * 2];
    for (uint32_t k = 0; k < n * 2; ++k) m[k] = std::fmin(1.0f, std::fmax(-1.0f, m[k]));
  });
}

void AudioEngine::finalizeTo(uint64_t frame) noexcept {
  if (frame <= final_) return;
  inTap_.store(true, std::memory_order_seq_cst);
  if (AudioTap* tap = tap_.load(std::memory_order_seq_cst))
    forPieces(final_, frame, [&](size_t i, uint32_t n) { tap->onMix(&mixRing_[i * 2], n); });
  inTap_.store(false, std::memory_order_seq_cst);
  final_ = frame;
  if (pool_) pool_->forget(frame);
}

AudioEngine::Update AudioEngine::advance(uint64_t replaceableFrom, uint64_t wantTo) noexcept {
  // The change point: just past where the server reads, never before what
  // is final, never beyond what the server was given.
  const uint64_t at = std::min(std::max(replaceableFrom, final_), written_);
  finalizeTo(at);

  uint64_t changeFrom = written_;
  if (takeSynthCommands(at)) changeFrom = at;
  if (wave_.takeCommands()) {
    renderWave(at, written_);
    changeFrom = at;
  }
  if (changeFrom < written_) {
    mix(changeFrom, written_);
    framesRewritten_.fetch_add(written_ - changeFrom, std::memory_order_relaxed);
  }

  const uint64_t end = std::min(wantTo, final_ + kSpanFrames);
  if (end > written_) {
    const uint32_t n = uint32_t(end - written_);
    if (pool_) pool_->renderNext(written_, n);
    renderWave(written_, end);
    mix(written_, end);
    written_ = end;
    framesRendered_.fetch_add(n, std::memory_order_release);
    blocksRendered_.fetch_add(1, std::memory_order_release);
  }
  const int sounding = pool_ ? pool_->sounding() : 0;
  sounding_.store(sounding, std::memory_order_release);
  synthRendering_.store(sounding > 0, std::memory_order_release);
  return {std::min(changeFrom, written_), written_};
}

void AudioEngine::read(uint64_t from, uint32_t frames, float* out) const noexcept {
  forPieces(from, from + frames, [&](size_t i, uint32_t n) {
    std::memcpy(out, &mixRing_[i * 2], size_t(n) * 2 * sizeof(float));
    out += size_t(n) * 2;
  });
}

void AudioEngine::render(float* out, uint32_t frames) noexcept {
  while (frames > 0) {
    const uint32_t n = std::min(frames, kSpanFrames);
    const uint64_t from = written_;
    advance(written_, written_ + n);
    read(from, n, out);
    finalizeTo(written_);
    out += size_t(n) * 2;
    frames -= n;
  }
}

}  // namespace platform
