// SPDX-License-Identifier: GPL-3.0-or-later
#include "doubles/simulated_output.h"

#include "platform/audio/audio_thread/audio_engine.h"

#include <algorithm>
#include <cstdio>

namespace platform {

SimulatedOutput::SimulatedOutput() : SimulatedOutput(Config{}) {}
SimulatedOutput::SimulatedOutput(Config config) : config_(config) {
  config_.pullFrames = std::max<uint32_t>(1, config_.pullFrames);
  config_.periodFrames = std::max<uint32_t>(1, config_.periodFrames);
  block_.resize(size_t(AudioEngine::kSpanFrames) * 2);
}

bool SimulatedOutput::start(AudioEngine& engine) {
  protocol_ = std::make_unique<OutputProtocol>(engine);
  protocol_->restart();
  running_ = true;
  service();
  return true;
}

double SimulatedOutput::latencyMs() {
  return protocol_ ? double(end_ - read_) * 1000.0 / protocol_->engine().sampleRate() : 0.0;
}

std::string SimulatedOutput::describe() const {
  char line[160];
  std::snprintf(line, sizeof line, "simulated server: queue %u frames, pulls of %u, changes %u frames past",
                config_.queueFrames, config_.pullFrames, config_.guardFrames);
  return line;
}

uint32_t SimulatedOutput::write(uint64_t at, uint32_t count, const OutputProtocol::Frames& mix) noexcept {
  mix.read(0, count, block_.data());
  const float* data = block_.data();
  uint64_t frames = count;
  // A write past the end leaves a hole of silence (the server had run dry).
  if (at < pulled_) {
    const uint64_t late = std::min(frames, pulled_ - at);
    refused_ += late;
    at += late;
    data += late * 2;
    frames -= late;
  }
  if (at < end_) rewritten_ += std::min(frames, end_ - at);
  if (queue_.size() < (at + frames) * 2) queue_.resize((at + frames) * 2, 0.0f);
  std::copy(data, data + frames * 2, queue_.begin() + long(at * 2));
  end_ = std::max(end_, at + frames);
  return count;
}

void SimulatedOutput::service() {
  if (!running_ || !protocol_) return;
  protocol_->serve({pulled_, config_.guardFrames, read_ + config_.queueFrames}, *this);
}

void SimulatedOutput::play(uint64_t frames, bool serve) {
  uint64_t sinceServe = 0;
  for (uint64_t i = 0; i < frames; ++i) {
    if (read_ == pulled_) {
      // The server takes its next pull: from here on those frames are fixed.
      const uint64_t n = config_.pullFrames;
      taken_.resize((pulled_ + n) * 2, 0.0f);
      for (uint64_t f = pulled_; f < pulled_ + n; ++f) {
        const bool have = f < end_;
        if (!have && !dry_) ++underruns_;
        dry_ = !have;
        taken_[f * 2] = have ? queue_[f * 2] : 0.0f;
        taken_[f * 2 + 1] = have ? queue_[f * 2 + 1] : 0.0f;
      }
      pulled_ += n;
    }
    played_.push_back(taken_[read_ * 2]);
    played_.push_back(taken_[read_ * 2 + 1]);
    ++read_;
    if (serve && ++sinceServe == config_.periodFrames) {
      service();
      sinceServe = 0;
    }
  }
}

}  // namespace platform
