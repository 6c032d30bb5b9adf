// Streaming to the sound server with libpulse's asynchronous API.
//
// Why the asynchronous API and not pa_simple: with pa_simple a thread of ours
// renders a period and then blocks in pa_simple_write until the server has
// room, so every rendered block waits about one extra period in our hands
// before the server takes it, and the client never learns about underruns.
// Here the server asks for data (the write callback, on libpulse's own
// mainloop thread) exactly when its buffer has room, the engine renders right
// then, and the server's underflow notices are counted.  The thread count is
// the same: pa_simple runs the same threaded mainloop inside.  The engine
// takes no lock, so holding the mainloop lock while rendering blocks nobody
// but the rare UI-thread query of latencyMs().
//
// Buffering: 128-frame periods (2.9 ms at 44.1 kHz) with a target buffer of
// six periods (17.4 ms, which the server trims to about 11.6 ms of its own
// plus its sink's share).  FluidSynth's 64-frame default drops out under a
// sound server on a two-core machine.  On the two-core test machine, 60 s of
// continuous playing gave key-to-sound at the server of 11.5 ms (median)
// with 0-1 underruns here, against 14.6 ms and 1 underrun for 3 x 256
// frames and 16.5 ms with none for 4 x 256 (scripts/bench.sh, and
// PLINKORA_AUDIO_PERIOD/_PERIODS to try others); requests twice as often
// cost about half a percent of a core while idle.
#include "platform/audio/pulse_output.h"

#include "platform/audio/audio_engine.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
constexpr uint32_t kBytesPerFrame = 2 * sizeof(float);
}

PulseOutput::PulseOutput() : PulseOutput(Config{}) {}
PulseOutput::PulseOutput(Config config) : config_(std::move(config)) {
  if (config_.periodFrames == 0) config_.periodFrames = Config{}.periodFrames;
  if (config_.bufferPeriods == 0) config_.bufferPeriods = Config{}.bufferPeriods;
}

PulseOutput::~PulseOutput() { stop(); }

void PulseOutput::onContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseOutput*>(self)->loop_, 0);
}

void PulseOutput::onStreamState(pa_stream* s, void* self) {
  auto* me = static_cast<PulseOutput*>(self);
  const pa_stream_state_t st = pa_stream_get_state(s);
  if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED)
    me->running_.store(false, std::memory_order_release);
  pa_threaded_mainloop_signal(me->loop_, 0);
}

void PulseOutput::onUnderflow(pa_stream*, void* self) {
  static_cast<PulseOutput*>(self)->underruns_.fetch_add(1, std::memory_order_relaxed);
}

void PulseOutput::raiseThreadPriority() {
  priorityTried_ = true;
  // Below the sound server's own real-time threads, above everything else.
  sched_param param{};
  param.sched_priority = 4;
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
    priority_.store(1, std::memory_order_relaxed);
    return;
  }
  const pid_t tid = pid_t(::syscall(SYS_gettid));
  if (::setpriority(PRIO_PROCESS, id_t(tid), -10) == 0) {
    priority_.store(2, std::memory_order_relaxed);
    return;
  }
  priority_.store(3, std::memory_order_relaxed);
}

void PulseOutput::onWrite(pa_stream* s, size_t nbytes, void* self) {
  auto* me = static_cast<PulseOutput*>(self);
  if (!me->priorityTried_) me->raiseThreadPriority();
  const size_t periodBytes = size_t(me->config_.periodFrames) * kBytesPerFrame;
  while (nbytes >= kBytesPerFrame) {
    size_t len = std::min(nbytes, periodBytes);
    void* data = nullptr;
    if (pa_stream_begin_write(s, &data, &len) < 0 || !data) return;
    len = std::min(len, std::min(nbytes, periodBytes));
    const uint32_t frames = uint32_t(len / kBytesPerFrame);
    if (frames == 0) {
      pa_stream_cancel_write(s);
      return;
    }
    me->engine_->render(static_cast<float*>(data), frames);
    if (pa_stream_write(s, data, size_t(frames) * kBytesPerFrame, nullptr, 0, PA_SEEK_RELATIVE) < 0)
      return;
    nbytes -= size_t(frames) * kBytesPerFrame;
  }
}

bool PulseOutput::start(AudioEngine& engine) {
  if (loop_) return running();
  engine_ = &engine;
  auto fail = [&](const std::string& why) {
    error_ = why;
    teardown();
    return false;
  };

  loop_ = pa_threaded_mainloop_new();
  if (!loop_) return fail("no PulseAudio mainloop");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), config_.appName.c_str());
  if (!context_) return fail("no PulseAudio context");
  pa_context_set_state_callback(context_, &PulseOutput::onContextState, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0)
    return fail(std::string("no sound server: ") + pa_strerror(pa_context_errno(context_)));
  if (pa_threaded_mainloop_start(loop_) < 0) return fail("PulseAudio mainloop did not start");

  pa_threaded_mainloop_lock(loop_);
  for (;;) {
    const pa_context_state_t st = pa_context_get_state(context_);
    if (st == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(st)) {
      const std::string why = pa_strerror(pa_context_errno(context_));
      pa_threaded_mainloop_unlock(loop_);
      return fail("no sound server: " + why);
    }
    pa_threaded_mainloop_wait(loop_);
  }

  pa_sample_spec sampleFormat{};
  sampleFormat.format = PA_SAMPLE_FLOAT32NE;
  sampleFormat.rate = engine.sampleRate();
  sampleFormat.channels = 2;
  stream_ = pa_stream_new(context_, config_.appName.c_str(), &sampleFormat, nullptr);
  if (!stream_) {
    const std::string why = pa_strerror(pa_context_errno(context_));
    pa_threaded_mainloop_unlock(loop_);
    return fail("no stream: " + why);
  }
  pa_stream_set_state_callback(stream_, &PulseOutput::onStreamState, this);
  pa_stream_set_write_callback(stream_, &PulseOutput::onWrite, this);
  pa_stream_set_underflow_callback(stream_, &PulseOutput::onUnderflow, this);

  const uint32_t period = config_.periodFrames * kBytesPerFrame;
  pa_buffer_attr attr{};
  attr.maxlength = uint32_t(-1);
  attr.tlength = period * config_.bufferPeriods;
  attr.prebuf = uint32_t(-1);
  attr.minreq = period;
  attr.fragsize = uint32_t(-1);
  running_.store(true, std::memory_order_release);
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                       PA_STREAM_INTERPOLATE_TIMING);
  if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0) {
    const std::string why = pa_strerror(pa_context_errno(context_));
    pa_threaded_mainloop_unlock(loop_);
    return fail("stream not connected: " + why);
  }
  for (;;) {
    const pa_stream_state_t st = pa_stream_get_state(stream_);
    if (st == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(st)) {
      const std::string why = pa_strerror(pa_context_errno(context_));
      pa_threaded_mainloop_unlock(loop_);
      return fail("stream failed: " + why);
    }
    pa_threaded_mainloop_wait(loop_);
  }
  if (const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream_)) {
    tlengthBytes_ = got->tlength;
    minreqBytes_ = got->minreq;
  }
  pa_threaded_mainloop_unlock(loop_);
  return true;
}

void PulseOutput::teardown() {
  running_.store(false, std::memory_order_release);
  if (loop_) pa_threaded_mainloop_stop(loop_);   // the engine is no longer called after this
  if (stream_) {
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  if (context_) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  if (loop_) {
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }
}

void PulseOutput::stop() { teardown(); }

double PulseOutput::latencyMs() {
  if (!loop_ || !stream_ || !running()) return 0.0;
  pa_usec_t usec = 0;
  int negative = 0;
  pa_threaded_mainloop_lock(loop_);
  const int rc = pa_stream_get_latency(stream_, &usec, &negative);
  pa_threaded_mainloop_unlock(loop_);
  if (rc < 0 || negative) return 0.0;
  return double(usec) / 1000.0;
}

std::string PulseOutput::threadPriority() const {
  switch (priority_.load(std::memory_order_relaxed)) {
    case 1: return "SCHED_FIFO 4";
    case 2: return "nice -10";
    case 3: return "normal (no permission to raise)";
    default: return "not known yet";
  }
}

std::string PulseOutput::describe() const {
  char line[256];
  const double rate = engine_ ? engine_->sampleRate() : 44100.0;
  std::snprintf(line, sizeof line,
                "PulseAudio stream: period %u frames (%.1f ms), buffer %u frames (%.1f ms), "
                "request %u frames, thread priority %s",
                config_.periodFrames, config_.periodFrames * 1000.0 / rate,
                tlengthBytes_ / kBytesPerFrame, tlengthBytes_ / kBytesPerFrame * 1000.0 / rate,
                minreqBytes_ / kBytesPerFrame, threadPriority().c_str());
  return line;
}

// The program's output.  A machine that drops out can trade latency for
// safety: PLINKORA_AUDIO_PERIOD (frames, 64-4096) and PLINKORA_AUDIO_PERIODS
// (2-16) override the buffering.
PulseOutput::Config PulseOutput::configFromEnvironment() {
  Config config;
  auto number = [](const char* name, long lo, long hi, uint32_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return (end && *end == '\0' && v >= lo && v <= hi) ? uint32_t(v) : fallback;
  };
  config.periodFrames = number("PLINKORA_AUDIO_PERIOD", 64, 4096, config.periodFrames);
  config.bufferPeriods = number("PLINKORA_AUDIO_PERIODS", 2, 16, config.bufferPeriods);
  return config;
}

std::unique_ptr<AudioOutput> makeDefaultAudioOutput() {
  return std::make_unique<PulseOutput>(PulseOutput::configFromEnvironment());
}

}  // namespace platform
