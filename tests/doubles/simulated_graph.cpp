// SPDX-License-Identifier: GPL-3.0-or-later
#include "doubles/simulated_graph.h"

#include <chrono>

namespace platform {

bool SimulatedGraph::start(AudioEngine& engine) {
  if (gate_.valid()) gate_.wait_for(std::chrono::seconds(10));
  if (!answers_) {
    error_ = "no PipeWire server";
    return false;
  }
  rate_ = engine.sampleRate();
  feed_ = std::make_unique<GraphFeed>(engine);
  running_ = true;
  return true;
}

void SimulatedGraph::lose() {
  running_ = false;
  error_ = "the server went away";
}

uint32_t SimulatedGraph::cycle(int64_t cycleNs, uint32_t frames) {
  if (!running_ || !feed_) return 0;
  if (frames == 0) frames = period_;
  block_.assign(size_t(frames) * 2, -2.0f);   // no sample can be this: a gap would show
  GraphFeed::Cycle c;
  c.position = position_;
  c.ns = cycleNs;
  c.frames = frames;
  c.delayFrames = frames;
  const uint32_t got = feed_->fill(c, block_.data());
  position_ += frames;
  given_.insert(given_.end(), block_.begin(), block_.begin() + long(got) * 2);
  return got;
}

int64_t SimulatedGraph::run(int64_t fromNs, uint64_t frames) {
  const double step = double(period_) * 1e9 / rate_;
  uint64_t done = 0;
  int64_t k = 0;
  while (done < frames && running_) {
    done += cycle(fromNs + int64_t(double(k) * step));
    ++k;
  }
  return fromNs + int64_t(double(k) * step);
}

}  // namespace platform
