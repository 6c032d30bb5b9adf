// SPDX-License-Identifier: GPL-3.0-or-later
// Streaming to the sound server with libpulse's asynchronous API.
//
// A deep queue and early changes at once.  The stream keeps a queue of
// periodFrames x bufferPeriods at the server (3 x 1024 frames, 70 ms, by
// default; topped up every period, so never less than 46 ms), deep enough
// that a stall of the machine does not drain it.  A
// change of what is heard (a struck note, the wave channel starting or
// stopping, a close releasing the notes) does not wait behind that queue:
// the engine renders it from just past the server's play position, and the
// output writes the new audio over what is queued with pa_stream_write at a
// negative offset (PA_SEEK_RELATIVE).  PulseAudio then rewinds its sink and
// plays the new audio from there.  PipeWire's PulseAudio service accepts the
// seek into its ring but cannot replace what its graph has already pulled,
// so there the change is written one graph period past the read position:
// the longest period the graph may run at for this stream, as the server
// says it (its clock settings, and the latency its PulseAudio service asked
// for the stream).
//
// Where the server stands comes from libpulse's timing reports
// (AUTO_TIMING_UPDATE), aged by the clock, with no round trip; the frames of the engine are the server's byte index over the frame
// size, since every write is relative and ends where the engine's output
// ends.  The queue is topped up on the server's requests and by a timer
// every period (libpulse's own request accounting cannot follow rewrites),
// and the UI thread's commands wake the mainloop through the engine's
// eventfd, so a strike is written at once.
//
// Everything runs on libpulse's mainloop thread with its lock held; the
// engine takes no lock, so that blocks nobody but the rare UI-thread query
// of latencyMs().
#include "platform/audio/system/pulse_output.h"

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/system/pipewire_settings.h"
#include "platform/audio/system/realtime_priority.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>

namespace platform {

namespace {
constexpr uint32_t kBytesPerFrame = 2 * sizeof(float);
// PulseAudio: a change is written this long past the play position, for the
// error of the interpolated timing and the trip to the server.
constexpr double kRewindGuardSeconds = 0.002;

// With the mainloop locked: the node.latency PipeWire's PulseAudio service
// gave `stream` ("1024/48000"), from its sink input's properties; empty
// when it does not say.
std::string pipewireNodeLatency(pa_threaded_mainloop* loop, pa_context* context, pa_stream* stream) {
  struct Query {
    pa_threaded_mainloop* loop;
    std::string latency;
    bool done = false;
  } query{loop};
  auto onInfo = [](pa_context*, const pa_sink_input_info* info, int eol, void* q) {
    auto* query = static_cast<Query*>(q);
    if (info && info->proplist)
      if (const char* v = pa_proplist_gets(info->proplist, "node.latency")) query->latency = v;
    if (eol) {
      query->done = true;
      pa_threaded_mainloop_signal(query->loop, 0);
    }
  };
  if (pa_operation* op = pa_context_get_sink_input_info(context, pa_stream_get_index(stream), onInfo, &query)) {
    while (!query.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    pa_operation_unref(op);
  }
  return query.latency;
}

// With the mainloop locked: waits until state() is `ready`; false once it
// is no longer good.
template <typename State, typename Good>
bool waitForState(pa_threaded_mainloop* loop, State state, decltype(state()) ready, Good good) {
  for (;;) {
    const auto st = state();
    if (st == ready) return true;
    if (!good(st)) return false;
    pa_threaded_mainloop_wait(loop);
  }
}
}

uint32_t PulseOutput::Config::queueFrames() const {
  return std::min<uint32_t>(periodFrames * bufferPeriods, AudioEngine::kSpanFrames / 2);
}

PulseOutput::PulseOutput() : PulseOutput(Config{}) {}
PulseOutput::PulseOutput(Config config) : config_(std::move(config)) {
  if (config_.periodFrames == 0) config_.periodFrames = Config{}.periodFrames;
  if (config_.bufferPeriods == 0) config_.bufferPeriods = Config{}.bufferPeriods;
}

PulseOutput::~PulseOutput() { stop(); }

void PulseOutput::onContextState(pa_context*, void* self) {
  auto* me = static_cast<PulseOutput*>(self);
  me->loopThread_.store(pid_t(::syscall(SYS_gettid)), std::memory_order_release);
  pa_threaded_mainloop_signal(me->loop_, 0);
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

void PulseOutput::onWrite(pa_stream*, size_t, void* self) { static_cast<PulseOutput*>(self)->service(); }

void PulseOutput::onWake(void* self) {
  auto* me = static_cast<PulseOutput*>(self);
  me->engine_->wakeSignal().drain();
  me->service();
}

void PulseOutput::onTimer(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* self) {
  auto* me = static_cast<PulseOutput*>(self);
  me->service();
  const double rate = me->engine_->sampleRate();
  pa_context_rttime_restart(me->context_, e,
                            pa_rtclock_now() + pa_usec_t(me->config_.periodFrames * 1e6 / rate));
}

// Where the server plays now, in the engine's frames: the last timing
// report's read index less what its sink holds, aged by the time since the
// report while the stream plays.  (pa_stream_get_time() is no good here: its
// smoothing holds the time still for a while after the sink rewinds, and a
// queue topped up from it then runs dry.)  Mainloop thread.
bool PulseOutput::estimatePlayed(uint64_t* frames) noexcept {
  const pa_timing_info* ti = pa_stream_get_timing_info(stream_);
  if (!ti || ti->read_index < 0) return false;
  const double rate = engine_->sampleRate();
  double pos = double(ti->read_index / kBytesPerFrame) - double(ti->sink_usec) * rate / 1e6;
  if (ti->playing) pos += double(pa_timeval_age(&ti->timestamp)) * rate / 1e6;
  *frames = pos > 0 ? uint64_t(pos) : 0;
  return true;
}

// Where the server stands, in stream frames.  Mainloop thread.
OutputProtocol::Clock PulseOutput::clock() noexcept {
  const double rate = engine_->sampleRate();
  const uint64_t queue = config_.queueFrames();
  const uint64_t written = protocol_->streamFrame(engine_->written());
  // No timing yet: nothing is replaced, the queue is filled.
  OutputProtocol::Clock c{protocol_->streamFrame(engine_->finalFrames()), engine_->spanFrames(),
                          std::max<uint64_t>(written, queue)};
  uint64_t played = 0;
  if (!estimatePlayed(&played)) return c;
  c.guard = guard_;
  c.taken = played;
  if (pipewire_) {
    // Nothing the graph has pulled can change: the read index as it
    // stands now (the last report, aged).
    if (const pa_timing_info* ti = pa_stream_get_timing_info(stream_)) {
      const uint64_t age = uint64_t(double(pa_timeval_age(&ti->timestamp)) * rate / 1e6);
      const uint64_t read = ti->read_index > 0 ? uint64_t(ti->read_index) / kBytesPerFrame : 0;
      c.taken = std::max(c.taken, read + (ti->playing ? age : 0));
    }
  }
  c.target = played + queue;
  return c;
}

// Frames at the server's write index, or over what it has queued (a
// negative relative seek).  Mainloop thread.
uint32_t PulseOutput::write(uint64_t at, uint32_t frames, const OutputProtocol::Frames& mix) noexcept {
  int64_t seek = (int64_t(at) - int64_t(protocol_->written())) * int64_t(kBytesPerFrame);
  uint32_t done = 0;
  while (done < frames) {
    size_t len = size_t(frames - done) * kBytesPerFrame;
    void* data = nullptr;
    if (pa_stream_begin_write(stream_, &data, &len) < 0 || !data) break;
    const uint32_t n = uint32_t(std::min<uint64_t>(len / kBytesPerFrame, frames - done));
    if (n == 0) {
      pa_stream_cancel_write(stream_);
      break;
    }
    mix.read(done, n, static_cast<float*>(data));
    if (pa_stream_write(stream_, data, size_t(n) * kBytesPerFrame, nullptr, seek, PA_SEEK_RELATIVE) < 0)
      break;
    seek = 0;
    done += n;
  }
  return done;
}

// Tops the queue up and writes whatever changed.  Mainloop thread.
void PulseOutput::service() noexcept {
  if (!stream_ || !engine_ || !protocol_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  protocol_->serve(clock(), *this);
  rewritten_.store(protocol_->rewrittenFrames(), std::memory_order_relaxed);
}

bool PulseOutput::start(AudioEngine& engine) {
  if (loop_) return running();
  engine_ = &engine;
  protocol_ = std::make_unique<OutputProtocol>(engine, config_.periodFrames / 2);
  protocol_->restart();
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

  // Gives up with the mainloop locked.
  auto failLocked = [&](const std::string& what) {
    const std::string why = pa_strerror(pa_context_errno(context_));
    pa_threaded_mainloop_unlock(loop_);
    return fail(what + why);
  };
  pa_threaded_mainloop_lock(loop_);
  if (!waitForState(loop_, [&] { return pa_context_get_state(context_); }, PA_CONTEXT_READY,
                    [](pa_context_state_t st) { return PA_CONTEXT_IS_GOOD(st); }))
    return failLocked("no sound server: ");

  // The mainloop thread renders: real-time priority for it, asked for here
  // on this thread, where the round trip to RealtimeKit can delay no audio.
  if (const pid_t tid = loopThread_.load(std::memory_order_acquire)) {
    pa_threaded_mainloop_unlock(loop_);
    raiseThreadToRealtime(tid, 4, &priority_);
    pa_threaded_mainloop_lock(loop_);
  }

  // Which server: PipeWire's cannot replace what its graph has pulled.
  struct Query {
    PulseOutput* self;
    bool done = false;
  } query{this};
  auto onInfo = [](pa_context*, const pa_server_info* info, void* q) {
    auto* query = static_cast<Query*>(q);
    if (info && info->server_name) query->self->serverName_ = info->server_name;
    if (info && info->server_version) query->self->serverVersion_ = info->server_version;
    query->done = true;
    pa_threaded_mainloop_signal(query->self->loop_, 0);
  };
  if (pa_operation* op = pa_context_get_server_info(context_, onInfo, &query)) {
    while (!query.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
      pa_threaded_mainloop_wait(loop_);
    pa_operation_unref(op);
  }
  pipewire_ = serverName_.find("PipeWire") != std::string::npos;
  const double rate = engine.sampleRate();
  // Under PipeWire: its clock settings now, the stream's own latency once
  // it is there.
  PipeWireClock graph;
  if (pipewire_ && !config_.guardFrames) {
    pa_threaded_mainloop_unlock(loop_);
    graph = readPipeWireClock();
    pa_threaded_mainloop_lock(loop_);
  }
  auto pipewireGuard = [&](uint32_t latency) {
    const double period = double(graph.longestPeriodFor(latency)) / graph.rate;
    return std::min(uint32_t((period + kRewindGuardSeconds) * rate), config_.queueFrames() / 2);
  };
  guard_ = config_.guardFrames ? config_.guardFrames
           : pipewire_         ? pipewireGuard(0)
                               : uint32_t(kRewindGuardSeconds * rate);
  guard_ = std::min(guard_, config_.queueFrames() / 2);

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
  attr.tlength = config_.queueFrames() * kBytesPerFrame;
  // Playing starts (and resumes after running dry) as soon as a period is
  // there: the queue is filled whole at once anyway.
  attr.prebuf = period;
  attr.minreq = period;
  attr.fragsize = uint32_t(-1);
  running_.store(true, std::memory_order_release);
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                       PA_STREAM_INTERPOLATE_TIMING);
  if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0)
    return failLocked("stream not connected: ");
  if (!waitForState(loop_, [&] { return pa_stream_get_state(stream_); }, PA_STREAM_READY,
                    [](pa_stream_state_t st) { return PA_STREAM_IS_GOOD(st); }))
    return failLocked("stream failed: ");
  if (const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream_)) {
    tlengthBytes_ = got->tlength;
    minreqBytes_ = got->minreq;
  }
  if (pipewire_ && !config_.guardFrames && graph.answered)
    if (const uint32_t latency = parseLatencyFrames(pipewireNodeLatency(loop_, context_, stream_), graph.rate))
      guard_ = pipewireGuard(latency);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  if (engine.wakeSignal().fd() >= 0)
    wakeEvent_ = api->io_new(
        api, engine.wakeSignal().fd(), PA_IO_EVENT_INPUT,
        [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* self) { onWake(self); }, this);
  timer_ = pa_context_rttime_new(context_, pa_rtclock_now() + pa_usec_t(config_.periodFrames * 1e6 / rate),
                                 &PulseOutput::onTimer, this);
  service();
  pa_threaded_mainloop_unlock(loop_);
  return true;
}

void PulseOutput::teardown() {
  running_.store(false, std::memory_order_release);
  if (loop_) pa_threaded_mainloop_stop(loop_);   // the engine is no longer called after this
  if (loop_) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    if (wakeEvent_) api->io_free(wakeEvent_);
    if (timer_) api->time_free(timer_);
  }
  wakeEvent_ = nullptr;
  timer_ = nullptr;
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

bool PulseOutput::playPosition(uint64_t* frames) {
  if (!loop_ || !stream_ || !running() || !engine_) return false;
  pa_threaded_mainloop_lock(loop_);
  const bool known = estimatePlayed(frames);
  pa_threaded_mainloop_unlock(loop_);
  return known;
}

std::string PulseOutput::threadPriority() const {
  return priority_.empty() ? std::string("not known yet") : priority_;
}

std::string PulseOutput::describe() const {
  char line[384];
  const double rate = engine_ ? engine_->sampleRate() : 44100.0;
  const uint32_t queue = config_.queueFrames();
  std::snprintf(line, sizeof line,
                "%s stream: queue %u frames (%.1f ms), refilled every %u frames (%.1f ms), changes "
                "written %u frames (%.1f ms) past the %s position, server buffer %u frames, "
                "thread priority %s",
                serverName_.empty() ? "PulseAudio" : serverName_.c_str(), queue, queue * 1000.0 / rate,
                config_.periodFrames, config_.periodFrames * 1000.0 / rate, guard_, guard_ * 1000.0 / rate,
                pipewire_ ? "read" : "play", tlengthBytes_ / kBytesPerFrame, threadPriority().c_str());
  return line;
}

std::string PulseOutput::announcement() const {
  char line[192];
  const double rate = engine_ ? engine_->sampleRate() : 44100.0;
  const uint32_t queue = config_.queueFrames();
  std::snprintf(line, sizeof line, "sound through %s %s, %u frames at %.0f Hz (%.1f ms) queued",
                pipewire_ ? "PipeWire's PulseAudio service" : "PulseAudio", serverVersion_.c_str(), queue, rate,
                queue * 1000.0 / rate);
  return line;
}

// PLINKORA_AUDIO_PERIOD (frames, 64-4096) and
// PLINKORA_AUDIO_PERIODS (2-16) override the refill step and the queue's
// depth in steps (the queue is at most 8192 frames); a deeper queue costs no
// key-to-sound, only memory and the reach of a stall it survives.
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

}  // namespace platform
