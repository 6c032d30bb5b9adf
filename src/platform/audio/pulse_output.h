// The audio output: something that keeps asking the engine for blocks and
// sends them to the machine's sound server.  AudioOutput is the small
// interface the rest of the sound system sees, so the streaming strategy can
// change without touching the synthesizer or the mixer; PulseOutput is the
// one we ship (PulseAudio, or PipeWire through pipewire-pulse).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace platform {

class AudioEngine;

class AudioOutput {
public:
  virtual ~AudioOutput() = default;
  // Starts pulling blocks from `engine` (which must outlive the output or the
  // next stop()).  False when no output could be opened.
  virtual bool start(AudioEngine& engine) = 0;
  // Stops; when it returns the engine is no longer called.
  virtual void stop() = 0;
  // Still playing (the server may have gone away since start).
  virtual bool running() const = 0;
  // Time from a sample leaving the engine to the speaker, as the server reports it.
  virtual double latencyMs() = 0;
  // Frames the engine renders per call.
  virtual uint32_t periodFrames() const = 0;
  // Times the server ran out of data since start.
  virtual uint64_t underruns() const = 0;
  // A line about the stream for diagnostics and the benchmark.
  virtual std::string describe() const = 0;
};

class PulseOutput : public AudioOutput {
public:
  struct Config {
    uint32_t periodFrames = 128;   // 2.9 ms at 44.1 kHz
    uint32_t bufferPeriods = 6;    // target buffer 768 frames, 17.4 ms
    std::string appName = "Plinkora";
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
  uint64_t underruns() const override { return underruns_.load(std::memory_order_relaxed); }
  std::string describe() const override;

  // What start() got from the server and the system.
  uint32_t bufferBytes() const { return tlengthBytes_; }
  uint32_t requestBytes() const { return minreqBytes_; }
  std::string threadPriority() const;
  const std::string& error() const { return error_; }

private:
  static void onContextState(pa_context* c, void* self);
  static void onStreamState(pa_stream* s, void* self);
  static void onWrite(pa_stream* s, size_t nbytes, void* self);
  static void onUnderflow(pa_stream* s, void* self);
  void raiseThreadPriority();
  void teardown();

  Config config_;
  AudioEngine* engine_ = nullptr;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> underruns_{0};
  bool priorityTried_ = false;
  std::atomic<int> priority_{0};   // 0 not yet, 1 SCHED_FIFO, 2 nice, 3 unchanged
  uint32_t tlengthBytes_ = 0;
  uint32_t minreqBytes_ = 0;
  std::string error_;
};

// The output the program uses.
std::unique_ptr<AudioOutput> makeDefaultAudioOutput();

}  // namespace platform
