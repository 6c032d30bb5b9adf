// SPDX-License-Identifier: GPL-3.0-or-later
// A PipeWire graph in miniature, driven by hand: each cycle() asks the
// engine for one block, through the same SharedCycle (and GraphFeed) the
// real PipeWire output uses, at a cycle time the test chooses and of the
// length it chooses, and keeps every frame the graph was given.  As in the
// real output, commands land one period of the cycle's own length after
// their stamps.  With the MIDI port linked (linkPort) the port's node runs
// in every cycle too, before or after the audio node, and every event it
// writes is kept with the cycle and offset it came in.  lose() plays the
// server going away; a gate makes start() wait until the test opens it (a
// server slow to answer).
//
// Threads: the test's (it stands for both the UI thread and the graph's
// data thread); start() and stop() also on the sound system's reopening
// thread, and the test touches that graph only once the reopening is over.
#pragma once

#include "platform/audio/audio_thread/shared_cycle.h"
#include "platform/audio/system/audio_output.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class SimulatedGraph : public AudioOutput {
public:
  explicit SimulatedGraph(uint32_t period = 128, bool answers = true) : period_(period), answers_(answers) {}
  ~SimulatedGraph() override {
    if (onGone) onGone(*this);
  }
  // Told as the stream is destroyed (on whichever thread drops it).
  std::function<void(const SimulatedGraph&)> onGone;
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

  // The MIDI port linked to a reader (or not), its node run before the
  // audio node in each cycle (or after); `room`: events its buffer holds
  // per cycle.
  void linkPort(bool linked, bool portFirst = false, uint32_t room = UINT32_MAX) {
    joined_ = joined_ || (linked && !portLinked_);
    portLinked_ = linked;
    portFirst_ = portFirst;
    portRoom_ = room;
  }
  // The port's node, still linked, is not run in the next `cycles` cycles
  // (its data thread was late for them).
  void missPortCycles(int cycles) { portMisses_ = cycles; }
  struct PortEvent {
    uint64_t cycle = 0;    // the cycle it came in, from 0
    uint32_t offset = 0;   // its offset in that cycle
    uint64_t frame = 0;    // the frame of given() it stands at
    uint32_t packed = 0;
  };
  const std::vector<PortEvent>& portEvents() const { return portEvents_; }
  SharedCycle* shared() { return shared_.get(); }

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
  std::unique_ptr<SharedCycle> shared_;
  std::vector<float> given_;
  std::vector<float> block_;
  bool portLinked_ = false;
  bool portFirst_ = false;
  uint32_t portRoom_ = UINT32_MAX;
  bool joined_ = false;
  int portMisses_ = 0;
  uint64_t cycles_ = 0;
  std::vector<PortEvent> portEvents_;
};

}  // namespace platform
