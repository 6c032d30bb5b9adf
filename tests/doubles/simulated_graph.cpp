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
  shared_ = std::make_unique<SharedCycle>(engine);
  running_ = true;
  return true;
}

void SimulatedGraph::lose() {
  running_ = false;
  error_ = "the server went away";
}

namespace {
// The port's buffer for one cycle.
struct PortBuffer : MidiCycleWriter {
  std::vector<SimulatedGraph::PortEvent>* out;
  uint64_t cycle, start;
  uint32_t room;
  bool put(uint32_t offset, uint32_t packed) noexcept override {
    if (room == 0) return false;
    --room;
    out->push_back({cycle, offset, start + offset, packed});
    return true;
  }
};
}  // namespace

uint32_t SimulatedGraph::cycle(int64_t cycleNs, uint32_t frames) {
  if (!running_ || !shared_) return 0;
  if (frames == 0) frames = period_;
  const uint64_t start = framesGiven();
  PortBuffer port;
  port.out = &portEvents_;
  port.cycle = cycles_++;
  port.start = start;
  port.room = portRoom_;
  const bool portRuns = portLinked_ && portMisses_ == 0;
  if (portLinked_ && portMisses_ > 0) --portMisses_;
  if (portRuns && joined_) {
    joined_ = false;
    shared_->readerJoined();
  }
  if (portRuns && portFirst_) shared_->cycleEvents(cycleNs, frames, port);
  block_.assign(size_t(frames) * 2, -2.0f);   // no sample can be this: a gap would show
  const uint32_t got = shared_->sound({cycleNs, frames, frames}, block_.data());
  given_.insert(given_.end(), block_.begin(), block_.begin() + long(got) * 2);
  if (portRuns && !portFirst_) shared_->cycleEvents(cycleNs, frames, port);
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
