// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/synth_pool.h"

#include "platform/audio/audio_thread/midi_message.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {
// Below this peak (about -90 dB) an instance with no voice left is silent.
constexpr float kSilentPeak = 3e-5f;
// Silent frames in a row before an instance stops being rendered; the
// room's reverb rings out first.
constexpr uint64_t kQuietFramesToRest = 4096;
// A released instance stops once its fade is this far down (-80 dB).
constexpr float kReleaseFloor = 1e-4f;
// Frames rendered per FluidSynth call.
constexpr uint32_t kChunk = 512;
// FluidSynth renders in blocks of this many frames and starts a note at the
// first block it has not begun.
constexpr uint64_t kFluidBlock = 64;
constexpr int kChannels = 16;
}  // namespace

SynthPool::SynthPool(uint32_t sampleRate, uint32_t spanFrames, size_t capacity, size_t spare)
    : rate_(sampleRate),
      span_(FrameRing::sizeFor(spanFrames)),
      releaseStep_(float(std::exp(-1.0 / (kReleaseSeconds * double(sampleRate))))),
      capacity_(std::max<size_t>(capacity, 1)),
      spare_(spare),
      scratch_(new float[size_t(kChunk) * 2]()) {
  instances_.reserve(capacity_);
  for (ChannelState& c : channels_) c.clear();
}

SynthPool::~SynthPool() = default;

void SynthPool::ChannelState::clear() noexcept {
  std::fill(std::begin(cc), std::end(cc), int16_t(-1));
  program = -1;
  bend = -1;
  pressure = -1;
}

void SynthPool::add(SynthInstance* synth) {
  // Zeroed now so that no page is first touched on the audio thread.
  rings_.push_back(std::make_unique<FrameRing>(span_));
  Instance in;
  in.synth = synth;
  in.ring = rings_.back().get();
  capacity_ = std::max(capacity_, instances_.size() + 1);
  instances_.reserve(capacity_);
  instances_.push_back(in);
}

bool SynthPool::adopt(SynthInstance* synth, FrameRing* ring) noexcept {
  if (!synth || !ring || ring->frames() < span_ || instances_.size() >= capacity_) return false;
  Instance in;
  in.synth = synth;
  in.ring = ring;
  // A newcomer has heard nothing of the device's state yet.
  in.needsReset = true;
  instances_.push_back(in);   // within the reserved room: no allocation
  return true;
}

bool SynthPool::wantsMore() const noexcept {
  return instances_.size() < capacity_ && instances_.size() - size_t(sounding_) < spare_;
}

// ---- the device's channel state ----

void SynthPool::remember(uint32_t packed) noexcept {
  const MidiMessage m(packed);
  const int d1 = m.data1(), d2 = m.data2();
  ChannelState& c = channels_[m.channel()];
  switch (m.kind()) {
    case MidiMessage::Controller:
      if (d1 == 121) {   // reset all controllers
        std::fill(std::begin(c.cc), std::end(c.cc), int16_t(-1));
        c.bend = -1;
        c.pressure = -1;
      } else if (d1 < 120) {   // 120-127 are one-off channel mode messages
        c.cc[d1] = int16_t(d2);
      }
      break;
    case MidiMessage::Program: c.program = int16_t(d1); break;
    case MidiMessage::ChannelPressure: c.pressure = int16_t(d1); break;
    case MidiMessage::PitchBend: c.bend = m.bend(); break;
    default: break;
  }
}

void SynthPool::restore(Instance& in) noexcept {
  in.synth->resetChannels();
  for (int ch = 0; ch < kChannels; ++ch) {
    const ChannelState& c = channels_[ch];
    for (int n = 0; n < 120; ++n)
      if (c.cc[n] >= 0) in.synth->dispatch(MidiMessage::make(MidiMessage::Controller, ch, n, c.cc[n]).packed);
    if (c.program >= 0) in.synth->dispatch(MidiMessage::make(MidiMessage::Program, ch, c.program).packed);
    if (c.bend >= 0)
      in.synth->dispatch(MidiMessage::make(MidiMessage::PitchBend, ch, c.bend & 0x7F, c.bend >> 7).packed);
    if (c.pressure >= 0) in.synth->dispatch(MidiMessage::make(MidiMessage::ChannelPressure, ch, c.pressure).packed);
  }
  in.needsReset = false;
}

// ---- instances ----

void SynthPool::stop(Instance& in) noexcept {
  if (in.state == State::Idle) return;
  in.synth->silence();
  in.state = State::Idle;
  in.quietFrames = 0;
  in.level = 0.0f;
  --sounding_;
}

// The port: the instance's open note ends at `frame`.
void SynthPool::close(Instance& in, uint64_t frame) noexcept {
  if (in.openKey < 0) return;
  if (events_)
    events_->add(frame, MidiMessage::make(MidiMessage::NoteOff, in.openKey >> 7, in.openKey & 0x7F, 64).packed);
  in.openKey = -1;
}

void SynthPool::closeKey(int key, uint64_t frame) noexcept {
  for (Instance& in : instances_)
    if (in.openKey == key) close(in, frame);
}

// Brings FluidSynth to the start of one of its blocks, so that a note sent
// now starts exactly at the first frame of the next render.
void SynthPool::align(Instance& in) noexcept {
  const uint32_t k = uint32_t((kFluidBlock - in.renderedFrames % kFluidBlock) % kFluidBlock);
  if (k == 0) return;
  in.synth->render(scratch_.get(), k);
  in.renderedFrames += k;
}

void SynthPool::render(Instance& in, uint64_t start, uint64_t end) noexcept {
  if (in.from >= in.to || (start > in.to && start - in.to >= in.ring->frames())) {
    in.from = in.to = start;
  } else if (in.to < start) {
    for (uint64_t f = in.to; f < start; ++f) {
      float* d = in.ring->at(f);
      d[0] = d[1] = 0.0f;
    }
    in.to = start;
  }
  float gain = 1.0f;
  const bool releasing = in.state == State::Releasing;
  if (releasing) gain = float(std::exp(-double(start - in.releaseAt) / (kReleaseSeconds * rate_)));
  float* s = scratch_.get();
  for (uint64_t f = start; f < end;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(kChunk, end - f));
    in.synth->render(s, n);
    in.renderedFrames += n;
    float peak = 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t frame = f + i;
      float l = s[i * 2], r = s[i * 2 + 1];
      if (releasing) {
        l *= gain;
        r *= gain;
        gain *= releaseStep_;
      }
      peak = std::max(peak, std::max(std::fabs(l), std::fabs(r)));
      float* d = in.ring->at(frame);
      if (frame < in.to) {
        d[0] += l;
        d[1] += r;
      } else {
        d[0] = l;
        d[1] = r;
      }
    }
    in.level = peak;
    const bool voiceless = in.synth->activeVoices() == 0;
    if (voiceless && in.openKey >= 0) {
      // Its voices ended in this chunk: the note lasted to its last audible frame.
      uint32_t last = n;
      while (last > 0 && std::max(std::fabs(s[(last - 1) * 2]), std::fabs(s[(last - 1) * 2 + 1])) < kSilentPeak)
        --last;
      close(in, f + last);
    }
    in.quietFrames = (peak < kSilentPeak && voiceless) ? in.quietFrames + n : 0;
    f += n;
  }
  in.to = std::max(in.to, end);
  if (in.quietFrames >= kQuietFramesToRest || (releasing && gain < kReleaseFloor)) stop(in);
}

SynthPool::Instance* SynthPool::pick() noexcept {
  Instance* best = nullptr;
  // A silent instance, preferably one with nothing left in the queue.
  for (Instance& in : instances_) {
    if (in.state != State::Idle) continue;
    if (in.from >= in.to) return &in;
    if (!best) best = &in;
  }
  if (best) return best;
  // Else the one whose notes are quietest now (the oldest of equals).
  for (Instance& in : instances_) {
    if (!best || in.level < best->level || (in.level == best->level && in.startedAt < best->startedAt))
      best = &in;
  }
  return best;
}

bool SynthPool::noteOn(uint32_t packed, uint64_t at, uint64_t end) noexcept {
  Instance* picked = pick();
  if (!picked) return false;
  Instance& in = *picked;
  const MidiMessage m(packed);
  const int key = m.channel() << 7 | m.data1();
  // The port: the key's note still open ends where it is struck again.
  closeKey(key, at);
  close(in, at);
  if (in.state != State::Idle) {
    // Taken over: its notes fade out quickly from `at`, where the queued
    // audio has them, and stop.
    for (uint64_t f = std::max(at, in.from); f < in.to; ++f) {
      const float g = f - at < kStealFadeFrames ? 1.0f - float(f - at) / float(kStealFadeFrames) : 0.0f;
      float* d = in.ring->at(f);
      d[0] *= g;
      d[1] *= g;
    }
    stop(in);
    ++steals_;
  }
  if (in.needsReset) restore(in);
  align(in);
  in.synth->dispatch(packed);
  if (events_) events_->add(at, packed);
  in.openKey = key;
  in.state = State::Playing;
  ++sounding_;
  in.startedAt = at;
  in.quietFrames = 0;
  in.level = 1.0f;
  render(in, at, end);
  return true;
}

void SynthPool::message(uint32_t packed, uint64_t at) noexcept {
  const MidiMessage m(packed);
  if (m.isNoteOff()) {
    for (Instance& in : instances_)
      if (in.state == State::Playing) in.synth->dispatch(packed);
    // Sent on only while its key's note is open, in place of the port's own.
    const int key = m.channel() << 7 | m.data1();
    for (Instance& in : instances_) {
      if (in.openKey != key) continue;
      if (events_) events_->add(at, packed);
      in.openKey = -1;
      break;
    }
    return;
  }
  if (events_) events_->add(at, packed);
  remember(packed);
  for (Instance& in : instances_)
    if (in.state != State::Releasing && !in.needsReset) in.synth->dispatch(packed);
}

bool SynthPool::releaseAll(uint64_t at, uint64_t end) noexcept {
  bool any = false;
  for (Instance& in : instances_) {
    if (in.state != State::Playing) continue;
    close(in, at);
    in.state = State::Releasing;
    in.releaseAt = at;
    float gain = 1.0f;
    for (uint64_t f = at; f < std::min(end, in.to); ++f) {
      if (f >= in.from) {
        float* d = in.ring->at(f);
        d[0] *= gain;
        d[1] *= gain;
      }
      gain *= releaseStep_;
    }
    in.synth->releaseAll();
    any = true;
  }
  return any;
}

void SynthPool::resetChannels() noexcept {
  for (ChannelState& c : channels_) c.clear();
  // Silent and releasing instances get the fresh state (and the messages
  // after it) when they next play: a tone change costs the audio thread
  // next to nothing, however big the pool.
  for (Instance& in : instances_) {
    if (in.state == State::Playing) in.synth->resetChannels();
    else in.needsReset = true;
  }
}

void SynthPool::renderNext(uint64_t from, uint32_t frames) noexcept {
  if (sounding_ == 0 || frames == 0) return;
  for (Instance& in : instances_)
    if (in.state != State::Idle) render(in, from, from + frames);
}

void SynthPool::addInto(FrameRing& mix, uint64_t from, uint64_t to) const noexcept {
  for (const Instance& in : instances_) {
    const uint64_t a = std::max(from, in.from), b = std::min(to, in.to);
    const FrameRing& ring = *in.ring;
    mix.forPieces(a, b, [&](float* m, uint32_t n, uint64_t first) {
      const float* r = ring.at(first);
      for (uint32_t k = 0; k < n * 2; ++k) m[k] += r[k];
    });
  }
}

void SynthPool::addLinear(float* out, uint64_t from, uint32_t frames) const noexcept {
  const uint64_t to = from + frames;
  for (const Instance& in : instances_) {
    const uint64_t a = std::max(from, in.from), b = std::min(to, in.to);
    in.ring->forPieces(a, b, [&](const float* r, uint32_t n, uint64_t first) {
      float* o = out + size_t(first - from) * 2;
      for (uint32_t k = 0; k < n * 2; ++k) o[k] += r[k];
    });
  }
}

void SynthPool::forget(uint64_t frame) noexcept {
  for (Instance& in : instances_) {
    in.from = std::max(in.from, frame);
    if (in.from > in.to) in.from = in.to;
  }
}

}  // namespace platform
