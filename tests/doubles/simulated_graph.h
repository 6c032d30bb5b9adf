// SPDX-License-Identifier: GPL-3.0-or-later
// A PipeWire graph in miniature, driven by hand: each cycle() asks the
// engine for one block, through the same GraphFeed the real PipeWire output
// uses, at a cycle time the test chooses and of the length it chooses, and
// keeps every frame the graph was given.  As in the real output, commands
// land one period of the cycle's own length after their stamps.  lose()
// plays the server going away; a gate makes start() wait until the test
// opens it (a server slow to answer).
//
// Threads: the test's (it stands for both the UI thread and the graph's
// data thread); start() and stop() also on the sound system's reopening
// thread, and the test touches that graph only once the reopening is over.
#pragma once

#include "platform/audio/audio_thread/graph_feed.h"
#include "platform/audio/system/audio_output.h"

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class SimulatedGraph : public AudioOutput {
public:
  explicit SimulatedGraph(uint32_t period = 128, bool answers = true) : period_(period), answers_(answers) {}
  // start() waits for `gate` to be ready (at most 10 s) before it answers.
  void holdStartUntil(std::shared_future<void> gate) { gate_ = std::move(gate); }

  bool start(AudioEngine& engine) override;
  void stop() override { running_ = false; }
  bool running() const override { return running_; }
  double latencyMs() override { return 0.0; }
  uint32_t periodFrames() const override { return period_; }
  uint32_t queueFrames() const override { return period_; }
  uint64_t underruns() const override { return 0; }
  std::string describe() const override { return "simulated graph"; }
  void setPlayerPresent(bool present) override { present_ = present; }
  bool playerPresent() const { return present_; }

  // One cycle that began at `cycleNs` (monotonic) and asks for `frames`
  // frames (the period when 0).  Commands land `frames` after their stamps.
  uint32_t cycle(int64_t cycleNs, uint32_t frames = 0);
  // Cycles of one period each, the first at `fromNs`, until `frames` frames
  // were given; answers the time of the cycle after them.
  int64_t run(int64_t fromNs, uint64_t frames);
  int64_t periodNs() const { return int64_t(double(period_) * 1e9 / rate_); }

  // The server went away: the stream ends, as a dead connection says.
  void lose();

  // Every frame the graph was given, interleaved stereo.
  const std::vector<float>& given() const { return given_; }
  uint64_t framesGiven() const { return given_.size() / 2; }

private:
  uint32_t period_;
  bool answers_;
  bool running_ = false;
  bool present_ = true;
  std::shared_future<void> gate_;
  double rate_ = 48000.0;
  std::unique_ptr<GraphFeed> feed_;
  uint64_t position_ = 0;   // the graph's clock
  std::vector<float> given_;
  std::vector<float> block_;
};

}  // namespace platform
