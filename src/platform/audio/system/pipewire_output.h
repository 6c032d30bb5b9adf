// SPDX-License-Identifier: GPL-3.0-or-later
// The native PipeWire output: a playback stream whose process callback runs
// inside the graph's cycle (PW_STREAM_FLAG_RT_PROCESS) and renders exactly
// the block that cycle asks for, F32 stereo at the engine's rate (the
// graph's own, so nothing is resampled).  Nothing waits in a queue: each
// strike lands one period after its key, at its own frame (graph_feed.h).
//
// The period is found, not fixed: the stream asks for a small node.latency
// (kStartLatency frames) and, when it misses cycles (cycle_watch.h), asks
// for twice as much, up to kMaxLatency; PLINKORA_PIPEWIRE_QUANTUM (16-8192)
// forces the graph's quantum instead (node.force-quantum).  The data thread
// gets real-time priority the PipeWire way (the client-rt configuration's
// module-rt: RLIMIT_RTPRIO, the portal or RealtimeKit); left in the fair
// class, it asks for a short slice (realtime_priority.h).
// After kIdleSeconds with nothing sounding and no take being recorded the
// stream pauses (pw_stream_set_active(false)) and the next command wakes it.
//
// Threads: start(), stop() and the queries on the UI thread; the stream's
// events and the wake-ups on PipeWire's thread loop; process on the data
// thread, which takes no lock, allocates nothing and touches no file.
#pragma once

#include "platform/audio/audio_thread/cycle_watch.h"
#include "platform/audio/audio_thread/graph_feed.h"
#include "platform/audio/system/audio_output.h"

#include <memory>

#include <spa/utils/hook.h>

#include <atomic>
#include <cstdint>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_core_info;
struct spa_source;

namespace platform {

struct PipeWireEvents;

class PipeWireOutput : public AudioOutput {
public:
  static constexpr uint32_t kStartLatency = 128;
  static constexpr uint32_t kMaxLatency = 1024;
  static constexpr double kIdleSeconds = 3.0;

  struct Config {
    uint32_t startLatency = kStartLatency;   // frames of node.latency at first
    uint32_t forceQuantum = 0;               // node.force-quantum; 0: the graph chooses
    std::string appName = "Plinkora";
  };
  PipeWireOutput();
  explicit PipeWireOutput(Config config);
  // The defaults, with PLINKORA_PIPEWIRE_QUANTUM when it holds a number in range.
  static Config configFromEnvironment();
  ~PipeWireOutput() override;

  bool start(AudioEngine& engine) override;
  void stop() override;
  bool running() const override { return running_.load(std::memory_order_acquire); }
  double latencyMs() override;
  uint32_t periodFrames() const override { return period_.load(std::memory_order_relaxed); }
  uint32_t queueFrames() const override { return periodFrames(); }
  uint64_t underruns() const override { return watch_.missed(); }
  std::string describe() const override;
  std::string announcement() const override;

  const std::string& serverVersion() const { return version_; }
  // The node.latency asked for now, in frames.
  uint32_t latencyFrames() const { return latency_.load(std::memory_order_relaxed); }
  std::string threadPriority() const;
  bool active() const { return active_.load(std::memory_order_acquire); }

private:
  friend struct PipeWireEvents;
  static void onStreamState(void* self, int old, int state, const char* error);
  static void onCoreInfo(void* self, const pw_core_info* info);
  static void onCoreError(void* self, uint32_t id, int seq, int res, const char* message);
  static void onWake(void* self, int fd, uint32_t mask);
  static void onSignal(void* self, uint64_t count);
  void process() noexcept;
  void askLatency(uint32_t frames);
  void teardown();

  Config config_;
  AudioEngine* engine_ = nullptr;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_source* wakeSource_ = nullptr;
  spa_source* signal_ = nullptr;
  spa_hook coreListener_{};
  spa_hook streamListener_{};

  std::atomic<bool> running_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<bool> active_{true};
  std::atomic<uint32_t> period_{0};       // the last cycle's length
  std::atomic<uint32_t> latency_{kStartLatency};
  std::atomic<uint64_t> cycles_{0};
  std::atomic<int64_t> delayFrames_{0};   // from the stream to the device
  std::atomic<int> dataThread_{0};
  // Data thread to thread loop.
  std::atomic<bool> stepWanted_{false};
  std::atomic<bool> idleWanted_{false};
  std::atomic<bool> sliceWanted_{false};  // the data thread is known: shorten its slice
  std::atomic<int> slice_{0};             // 0 not tried, 1 short slice in force, 2 not to be had
  std::atomic<uint64_t> wakes_{0};        // wake-ups the thread loop has taken
  std::atomic<uint64_t> idleWakes_{0};    // wakes_ when the data thread found it idle
  std::atomic<bool> resumed_{false};      // thread loop to data thread: woken again
  // Data thread's own.
  CycleWatch watch_;
  uint64_t quietFrames_ = 0;
  bool idleSaid_ = false;

  std::unique_ptr<GraphFeed> feed_;
  std::string version_;
  int steps_ = 0;
};

}  // namespace platform
