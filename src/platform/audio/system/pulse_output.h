// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio output (also PipeWire through pipewire-pulse): a deep
// queue at the server, every change written into the audio already queued.
#pragma once

#include "platform/audio/audio_thread/output_protocol.h"
#include "platform/audio/system/audio_output.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_io_event;
struct pa_time_event;
struct pa_mainloop_api;

namespace platform {

// Streams with a deep queue at the server and writes every change into the
// audio already queued (pa_stream_write with a negative offset): see
// pulse_output.cpp.
// Threads: start/stop and the queries on the UI thread; the stream is
// served on libpulse's mainloop thread.
class PulseOutput : public AudioOutput, private OutputProtocol::Writer {
public:
  struct Config {
    uint32_t periodFrames = 1024;  // refill step, 23.2 ms at 44.1 kHz
    uint32_t bufferPeriods = 3;    // queue 3072 frames, 70 ms: never less than 46 ms left
    // Frames past the server's play position that a change is written at;
    // 0: chosen for the server (PulseAudio rewinds its sink; PipeWire cannot
    // replace what its graph has pulled, so there it is a quantum).
    uint32_t guardFrames = 0;
    std::string appName = "Plinkora";
    // The queue, bounded by what the engine can hold replaceable.
    uint32_t queueFrames() const;
  };
  PulseOutput();
  explicit PulseOutput(Config config);
  // The default buffering, or what PLINKORA_AUDIO_PERIOD/_PERIODS ask for
  // when they hold numbers in range.
  static Config configFromEnvironment();
  ~PulseOutput() override;

  bool start(AudioEngine& engine) override;
  void stop() override;
  bool running() const override { return running_.load(std::memory_order_acquire); }
  double latencyMs() override;
  uint32_t periodFrames() const override { return config_.periodFrames; }
  uint32_t queueFrames() const override { return config_.queueFrames(); }
  uint64_t underruns() const override { return underruns_.load(std::memory_order_relaxed); }
  std::string describe() const override;
  std::string announcement() const override;

  // What start() got from the server and the system.
  uint32_t bufferBytes() const { return tlengthBytes_; }
  uint32_t requestBytes() const { return minreqBytes_; }
  uint32_t guardFrames() const { return guard_; }
  bool pipewire() const { return pipewire_; }
  const std::string& serverName() const { return serverName_; }
  std::string threadPriority() const;
  // Frames written past the server's read position, and of those, frames
  // that rewrote audio already queued (mainloop thread's counts).
  uint64_t rewrittenFrames() const { return rewritten_.load(std::memory_order_relaxed); }
  // The server's play position now, in the engine's frames (interpolated
  // timing; takes the mainloop lock).  False when not known yet.
  bool playPosition(uint64_t* frames);

private:
  static void onContextState(pa_context* c, void* self);
  static void onStreamState(pa_stream* s, void* self);
  static void onWrite(pa_stream* s, size_t nbytes, void* self);
  static void onUnderflow(pa_stream* s, void* self);
  static void onWake(void* self);
  static void onTimer(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* self);
  void service() noexcept;
  OutputProtocol::Clock clock() noexcept;
  uint32_t write(uint64_t at, uint32_t frames, const OutputProtocol::Frames& mix) noexcept override;
  bool estimatePlayed(uint64_t* frames) noexcept;
  void teardown();

  Config config_;
  AudioEngine* engine_ = nullptr;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_io_event* wakeEvent_ = nullptr;
  pa_time_event* timer_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> underruns_{0};
  std::atomic<uint64_t> rewritten_{0};
  std::atomic<pid_t> loopThread_{0};   // libpulse's mainloop thread, which renders
  std::string priority_;               // what raising its priority gave
  uint32_t tlengthBytes_ = 0;
  uint32_t minreqBytes_ = 0;
  uint32_t guard_ = 0;
  bool pipewire_ = false;
  std::string serverName_;
  std::string serverVersion_;
  std::unique_ptr<OutputProtocol> protocol_;
};


}  // namespace platform
