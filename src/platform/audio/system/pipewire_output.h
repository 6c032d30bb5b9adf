// SPDX-License-Identifier: GPL-3.0-or-later
// The native PipeWire output: a playback stream whose process callback runs
// inside the graph's cycle (PW_STREAM_FLAG_RT_PROCESS) and renders exactly
// the block that cycle asks for, F32 stereo at the engine's rate (the
// graph's own, so nothing is resampled).  Nothing waits in a queue: each
// command lands one period after its key, the period the graph runs at in
// that cycle (read from its position, whatever was asked for), at its own
// frame (graph_feed.h).
//
// Beside the stream the output offers the instrument's MIDI port, a second
// node of the same client (pipewire_midi_port.h) in the stream's node
// group, so the graph runs the two in the same cycles on the same data
// thread.  Whichever of them runs first in a cycle renders the block once
// (shared_cycle.h); both key the cycle on the graph's clock.nsec.  The port
// is made with the stream at every start, so after a server restart the new
// output offers it again, and removed with it.  While a reader is linked
// to the port the stream never pauses: the port's notes are the sound's.
//
// The period asked for (node.latency) is the period policy's
// (period_policy.h): the shortest this machine holds, found while playing,
// shorter ones tried only while nothing can be heard.
// PLINKORA_PIPEWIRE_QUANTUM (16-8192) forces the graph's quantum instead
// (node.force-quantum).  The data thread gets real-time priority the
// PipeWire way (the client-rt configuration's module-rt: RLIMIT_RTPRIO, the
// portal or RealtimeKit); left in the fair class, it asks for a short slice
// (realtime_priority.h).
//
// A rest costs nothing: while the player is at the instrument (the window
// is active, setPlayerPresent) the stream never pauses, and a silent cycle
// costs next to nothing, so the next strike is as quick as one in
// mid-phrase.  With the player away and kIdleSeconds without a sound or a
// take being recorded, the stream pauses (and the graph may rest); the
// player's return or any command wakes it.
//
// stderr says once what plays, when the first cycle has told the period:
// "plinkora: sound through PipeWire 0.3.65, 256 frames at 48000 Hz (5.3 ms)",
// and each change of the period asked for.  With PLINKORA_PIPEWIRE_STATS
// set, stop() prints the data thread's figures (cycle_stats.h, with its page
// faults), the misses, and the time the stream's and the port's process
// took per cycle; describe() always has them.
//
// Threads: start(), stop(), setPlayerPresent() and the queries on the UI
// thread; the stream's events, the engine's wake-ups and the data thread's
// requests (pw_loop_invoke) on PipeWire's thread loop; process on the data
// thread, which takes no lock, allocates nothing and touches no file.
#pragma once

#include "platform/audio/audio_thread/cycle_stats.h"
#include "platform/audio/audio_thread/cycle_watch.h"
#include "platform/audio/audio_thread/period_policy.h"
#include "platform/audio/audio_thread/shared_cycle.h"
#include "platform/audio/system/audio_output.h"
#include "platform/audio/system/pipewire_midi_port.h"

#include <spa/utils/hook.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct pw_thread_loop;
struct pw_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_core_info;
struct spa_source;
struct spa_io_position;
struct spa_loop;

namespace platform {

struct PipeWireEvents;

class PipeWireOutput : public AudioOutput {
public:
  static constexpr uint32_t kShortest = 128;
  static constexpr uint32_t kLongest = 1024;
  static constexpr double kIdleSeconds = 10.0;

  struct Config {
    PeriodPolicy::Config policy = defaultPolicy();
    uint32_t forceQuantum = 0;   // node.force-quantum; 0: the policy chooses
    bool stats = false;          // count page faults, print the figures at stop()
    std::string appName = "Plinkora";
    bool midiPort = true;        // offer the MIDI port beside the stream
    std::string group;           // node.group of the stream and the port; empty: plinkora-<pid>
  };
  static PeriodPolicy::Config defaultPolicy() {
    PeriodPolicy::Config p;
    p.shortest = kShortest;
    p.longest = kLongest;
    p.start = 2 * kShortest;
    return p;
  }
  PipeWireOutput();
  explicit PipeWireOutput(Config config);
  // The defaults, with PLINKORA_PIPEWIRE_QUANTUM when it holds a number in
  // range, PLINKORA_PIPEWIRE_STATS, and no MIDI port with PLINKORA_MIDI_PORT=0.
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
  void setPlayerPresent(bool present) override;
  // The MIDI port's node was made beside the stream.
  bool offersMidiPort() const override { return portStarted_.load(std::memory_order_acquire); }

  const std::string& serverVersion() const { return version_; }
  // The node.latency asked for now, in frames.
  uint32_t latencyFrames() const { return asked_.load(std::memory_order_relaxed); }
  std::string threadPriority() const;
  bool active() const { return active_.load(std::memory_order_acquire); }
  const CycleStats& stats() const { return stats_; }
  // The data thread's time in the stream's process, all cycles together.
  uint64_t streamBusyNs() const { return streamBusyNs_.load(std::memory_order_relaxed); }
  uint64_t streamCycles() const { return streamCycles_.load(std::memory_order_relaxed); }

private:
  friend struct PipeWireEvents;
  static void onStreamState(void* self, int state, const char* error);
  static void onIoChanged(void* self, uint32_t id, void* area, uint32_t size);
  static void onCoreInfo(void* self, const pw_core_info* info);
  static void onCoreError(void* self, uint32_t id, int res, const char* message);
  static void onWake(void* self, int fd, uint32_t mask);
  // Requests of the data thread, run on the thread loop.
  struct FirstCycle {
    int tid;
    uint32_t quantum;
    uint32_t rate;
  };
  struct Ask {
    uint32_t frames;
    PeriodPolicy::Change why;
    // The miss that decided it: cycles that went by without us, and when
    // our block was done against the cycle's length.
    uint32_t skipped = 0;
    int64_t doneNs = 0, periodNs = 0;
  };
  struct Idle {
    uint64_t wakes;
  };
  static int onFirstCycle(spa_loop*, bool, uint32_t, const void* data, size_t, void* self);
  static int onAsk(spa_loop*, bool, uint32_t, const void* data, size_t, void* self);
  static int onIdle(spa_loop*, bool, uint32_t, const void* data, size_t, void* self);
  static int onPosition(spa_loop*, bool, uint32_t, const void* data, size_t, void* self);
  template <typename T>
  void tellLoop(int (*handler)(spa_loop*, bool, uint32_t, const void*, size_t, void*), const T& what) noexcept;

  void process() noexcept;
  void askLatency(uint32_t frames);
  void startMidiPort();
  void teardown();
  std::string portFigures() const;

  Config config_;
  AudioEngine* engine_ = nullptr;
  pw_thread_loop* loop_ = nullptr;
  pw_loop* dataLoop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_source* wakeSource_ = nullptr;
  spa_hook coreListener_{};
  spa_hook streamListener_{};

  std::atomic<bool> running_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<bool> active_{true};
  std::atomic<bool> present_{true};      // UI thread: the player is at the instrument
  std::atomic<uint32_t> period_{0};      // the graph's period in the last cycle
  std::atomic<uint32_t> asked_{0};       // node.latency asked for
  std::atomic<int64_t> delayFrames_{0};  // from the stream to the device
  std::atomic<int> dataThread_{0};
  std::atomic<int> slice_{0};            // 0 not tried, 1 short slice in force, 2 not to be had
  std::atomic<uint64_t> wakes_{0};       // wake-ups the thread loop has taken
  std::atomic<int> steps_{0};            // changes of the period asked for
  std::atomic<bool> portStarted_{false};
  std::atomic<uint64_t> streamBusyNs_{0};
  std::atomic<uint64_t> streamCycles_{0};
  // With stats: the data thread's CPU time at its first and latest cycle.
  std::atomic<int64_t> cpuFirstNs_{-1};
  std::atomic<int64_t> cpuLastNs_{0};
  std::atomic<uint64_t> cpuCycles_{0};
  // Data thread's own.
  spa_io_position* position_ = nullptr;
  CycleWatch watch_;
  PeriodPolicy policy_;
  CycleStats stats_;
  uint64_t quietFrames_ = 0;
  bool told_ = false;         // the first cycle was told
  bool pauseAsked_ = false;   // the next cycle follows a pause (or a refused one)

  // The cycle's block for the stream and the port; made at start(), gone
  // after teardown().
  std::unique_ptr<SharedCycle> shared_;
  std::unique_ptr<PipeWireMidiPort> port_;
  std::string portSaid_;      // the port's figures, kept past teardown()
  std::string version_;
};

}  // namespace platform
