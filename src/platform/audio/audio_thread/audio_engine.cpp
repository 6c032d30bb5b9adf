// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/audio_engine.h"

#include "platform/audio/audio_thread/midi_message.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace platform {

AudioEngine::AudioEngine(uint32_t sampleRate, uint32_t spanFrames)
    : rate_(sampleRate),
      span_(FrameRing::sizeFor(spanFrames)),
      wave_(sampleRate, &wakeSignal_),
      waveRing_(span_),
      room_(sampleRate, span_),
      mixRing_(span_) {}

AudioEngine::~AudioEngine() = default;

// ---- UI thread ----

bool AudioEngine::push(const SynthCommand& command) {
  SynthCommand c = command;
  c.time = monotonicNs();
  if (!synthCommands_.push(c)) return false;
  wakeSignal_.notify();
  return true;
}

bool AudioEngine::installSynth(SynthPool* pool, bool room) {
  if (installed_ || !pool || pool->size() == 0) return false;
  // A synth not heard has no room either.
  if (!push({SynthCommand::Install, 0, pool, room && synthHeard()})) return false;
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
  if (!attached_ || !MidiMessage(packed).isChannelVoice()) return false;
  return push({SynthCommand::Midi, packed});
}

bool AudioEngine::growPool(SynthInstance* synth, FrameRing* ring) {
  if (!synth || !ring || ring->frames() < span_) return false;
  return grants_.push({synth, ring});
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

// The instances handed over since the last round join the pool.
void AudioEngine::takeGrants() noexcept {
  if (!pool_) return;   // they wait for the pool
  Grant g;
  while (grants_.pop(g)) {
    pool_->adopt(g.synth, g.ring);
    growAsked_ = false;
  }
}

// After a note: the grower is asked for more once the pool runs short.
void AudioEngine::askToGrow() noexcept {
  if (growAsked_ || !pool_ || !pool_->wantsMore()) return;
  growAsked_ = true;
  growSignal_.notify();
}

// Applies the queued synth commands at frame `at`; true when the audio of
// [at, written_) changed.
bool AudioEngine::takeSynthCommands(uint64_t at) noexcept {
  bool changed = false;
  SynthCommand c;
  while (synthCommands_.pop(c)) changed |= applySynthCommand(c, at);
  return changed;
}

bool AudioEngine::applySynthCommand(const SynthCommand& c, uint64_t at) noexcept {
  bool changed = false;
  switch (c.kind) {
    case SynthCommand::Install:
      c.pool->reportTo(midiEvents_.load(std::memory_order_acquire));
      pool_ = c.pool;
      room_.enable(c.room);
      synthAttached_ = false;
      break;
    case SynthCommand::Attach:
      if (!pool_) break;
      pool_->resetChannels();
      synthAttached_ = true;
      break;
    case SynthCommand::Detach:
      if (!pool_ || !synthAttached_) break;
      changed = pool_->releaseAll(at, written_);
      synthAttached_ = false;
      break;
    case SynthCommand::Midi: {
      if (!pool_ || !synthAttached_) break;
      if (MidiMessage(c.message).isNoteOn()) {
        changed = pool_->noteOn(c.message, at, written_);
        askToGrow();
      } else {
        pool_->message(c.message, at);
      }
      midiDispatched_.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  return changed;
}

// Timed: applies, at written_, every queued command whose frame has come,
// and answers the frame of the next one still waiting (`end` when none
// lies before it).
uint64_t AudioEngine::takeDueCommands(const CommandClock& clock, uint64_t end) noexcept {
  uint64_t next = end;
  SynthCommand c;
  while (synthCommands_.peek(c)) {
    const uint64_t f = clock.landing(c.time, written_);
    if (f > written_) {
      next = std::min(next, f);
      break;
    }
    synthCommands_.pop(c);
    applySynthCommand(c, written_);
  }
  int64_t t = 0;
  while (wave_.nextCommandTime(&t)) {
    const uint64_t f = clock.landing(t, written_);
    if (f > written_) {
      next = std::min(next, f);
      break;
    }
    wave_.takeCommands(t);
  }
  return next;
}

void AudioEngine::renderWave(uint64_t from, uint64_t to) noexcept {
  waveRing_.forPieces(from, to, [&](float* w, uint32_t n, uint64_t) { wave_.renderNext(w, n); });
}

void AudioEngine::mix(uint64_t from, uint64_t to) noexcept {
  mixRing_.forPieces(from, to, [&](float* m, uint32_t n, uint64_t first) {
    const float* w = waveRing_.at(first);
    const float* r = room_.wet().at(first);
    for (uint32_t k = 0; k < n * 2; ++k) m[k] = w[k] + r[k];
  });
  if (pool_ && synthHeard_.load(std::memory_order_relaxed)) pool_->addInto(mixRing_, from, to);
  // Clipped with plain comparisons, which the compiler turns into vector
  // min and max (std::fmin and std::fmax are library calls, per sample).
  mixRing_.forPieces(from, to, [](float* m, uint32_t n, uint64_t) {
    for (uint32_t k = 0; k < n * 2; ++k) m[k] = std::min(1.0f, std::max(-1.0f, m[k]));
  });
}

void AudioEngine::finalizeTo(uint64_t frame) noexcept {
  if (frame <= final_) return;
  room_.finalizeTo(frame);
  inTap_.store(true, std::memory_order_seq_cst);
  if (AudioTap* tap = tap_.load(std::memory_order_seq_cst))
    mixRing_.forPieces(final_, frame, [&](const float* m, uint32_t n, uint64_t) { tap->onMix(m, n); });
  inTap_.store(false, std::memory_order_seq_cst);
  final_ = frame;
  if (pool_) pool_->forget(frame);
}

// The server ran dry and read on past the end of what it was given: it
// played silence there, and so does the tap; the engine goes on from
// `frame`.
void AudioEngine::skipTo(uint64_t frame) noexcept {
  static const float kSilence[2 * 1024] = {};
  finalizeTo(written_);
  inTap_.store(true, std::memory_order_seq_cst);
  if (AudioTap* tap = tap_.load(std::memory_order_seq_cst)) {
    for (uint64_t f = written_; f < frame;) {
      const uint32_t n = uint32_t(std::min<uint64_t>(frame - f, 1024));
      tap->onMix(kSilence, n);
      f += n;
    }
  }
  inTap_.store(false, std::memory_order_seq_cst);
  framesSkipped_.fetch_add(frame - written_, std::memory_order_relaxed);
  room_.skip(written_, frame);
  final_ = written_ = frame;
  if (pool_) pool_->forget(frame);
}

// Renders the new frames [written_, end) of every source.
void AudioEngine::renderNew(uint64_t end) noexcept {
  if (end <= written_) return;
  const uint32_t n = uint32_t(end - written_);
  if (pool_) pool_->renderNext(written_, n);
  renderWave(written_, end);
  room_.renderNew(pool_, written_, end);
  mix(written_, end);
  written_ = end;
  framesRendered_.fetch_add(n, std::memory_order_release);
}

// The MIDI port's list, as the output set it, for this round.
void AudioEngine::takeReportList() noexcept {
  if (pool_) pool_->reportTo(midiEvents_.load(std::memory_order_acquire));
}

void AudioEngine::publishFigures() noexcept {
  if (pool_) steals_.store(pool_->steals(), std::memory_order_relaxed);
  const int sounding = pool_ ? pool_->sounding() : 0;
  sounding_.store(sounding, std::memory_order_release);
  synthRendering_.store(sounding > 0 || room_.active(), std::memory_order_release);
}

AudioEngine::Update AudioEngine::advance(uint64_t taken, uint32_t guard, uint64_t wantTo) noexcept {
  takeReportList();
  takeGrants();
  if (taken > written_) skipTo(taken + guard);
  const uint64_t replaceableFrom = taken + guard;
  // The change point: just past where the server reads, never before what
  // is final.
  const uint64_t at = std::min(std::max(replaceableFrom, final_), written_);
  finalizeTo(at);

  uint64_t changeFrom = written_;
  if (takeSynthCommands(at)) {
    changeFrom = at;
    room_.rewrite(pool_, at, written_);
  }
  if (wave_.takeCommands()) {
    renderWave(at, written_);
    changeFrom = at;
  }
  if (changeFrom < written_) {
    mix(changeFrom, written_);
    framesRewritten_.fetch_add(written_ - changeFrom, std::memory_order_relaxed);
  }

  const uint64_t end = std::min(wantTo, final_ + span_);
  if (end > written_) {
    renderNew(end);
    blocksRendered_.fetch_add(1, std::memory_order_release);
  }
  publishFigures();
  return {std::min(changeFrom, written_), written_};
}

AudioEngine::Update AudioEngine::advance(uint64_t taken, uint32_t guard, uint64_t wantTo,
                                         const CommandClock& clock) noexcept {
  takeReportList();
  takeGrants();
  if (taken > written_) skipTo(taken + guard);
  finalizeTo(std::min(std::max(taken + guard, final_), written_));
  const uint64_t from = written_;
  const uint64_t end = std::max(written_, std::min(wantTo, final_ + span_));
  for (;;) {
    const uint64_t next = takeDueCommands(clock, end);
    if (written_ >= end) break;
    renderNew(next);
  }
  if (end > from) blocksRendered_.fetch_add(1, std::memory_order_release);
  publishFigures();
  return {from, written_};
}

void AudioEngine::read(uint64_t from, uint32_t frames, float* out) const noexcept {
  mixRing_.forPieces(from, from + frames, [&](const float* m, uint32_t n, uint64_t) {
    std::memcpy(out, m, size_t(n) * 2 * sizeof(float));
    out += size_t(n) * 2;
  });
}

void AudioEngine::render(float* out, uint32_t frames) noexcept {
  while (frames > 0) {
    const uint32_t n = std::min(frames, span_);
    const uint64_t from = written_;
    advance(written_, 0, written_ + n);
    read(from, n, out);
    finalizeTo(written_);
    out += size_t(n) * 2;
    frames -= n;
  }
}

}  // namespace platform
