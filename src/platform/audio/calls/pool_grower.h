// SPDX-License-Identifier: GPL-3.0-or-later
// The synth pool grows as the playing needs it.  The sound system starts it
// with a few instances; when a note leaves it with fewer silent ones than it
// keeps spare, the audio thread says so on the engine's grow signal, and
// this helper thread makes a few more (a FluidSynth sibling and its ring
// each, about a millisecond apiece, no file read) and hands them to the
// audio thread through the engine (AudioEngine::growPool()), until the pool
// holds as many as it may.  Nothing is made on the key path or on the audio
// thread, and an idle instrument keeps only what it started with.
// What it made lives until it is destroyed, which must be after the audio
// thread has stopped rendering the pool.
#pragma once

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/frame_ring.h"
#include "platform/audio/audio_thread/synth_instance.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// Threads: made, stopped and destroyed on the UI thread; its own thread makes the instances.
class PoolGrower {
public:
  // Makes one more instance; null when none can be made (the pool then
  // stays as it is).
  using Make = std::function<std::unique_ptr<SynthInstance>()>;
  // Instances made per request.
  static constexpr size_t kBatch = 4;

  // Makes at most `room` instances for `engine`'s pool, on request; the
  // first `atOnce` without waiting for one.
  PoolGrower(AudioEngine& engine, Make make, size_t room, size_t atOnce = 0);
  ~PoolGrower();
  PoolGrower(const PoolGrower&) = delete;
  PoolGrower& operator=(const PoolGrower&) = delete;

  // Ends the thread (a batch being made is finished first).  What was made
  // stays until destruction.
  void stop();
  // Instances made and handed over so far (any thread).
  size_t made() const { return made_.load(std::memory_order_acquire); }
  // Nothing asked is left to make: the thread waits for a request, or has
  // ended (any thread; a request sent after this may change it).
  bool idle() const;

private:
  void run();

  AudioEngine& engine_;
  Make make_;
  const size_t room_;
  const size_t atOnce_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> made_{0};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> ended_{false};
  std::vector<std::unique_ptr<SynthInstance>> instances_;
  std::vector<std::unique_ptr<FrameRing>> rings_;
  std::thread thread_;
};

}  // namespace platform
