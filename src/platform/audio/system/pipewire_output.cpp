// SPDX-License-Identifier: GPL-3.0-or-later
// Streaming to PipeWire with its own client library (libpipewire-0.3).
//
// Three threads meet here.  start() and stop() run on the UI thread.  The
// stream's events, the engine's wake-ups (its eventfd, watched by the
// thread loop) and the requests of the data thread (a longer period, a
// pause) run on the thread loop, which owns every call that may allocate or
// talk to the server.  process runs on the context's data loop, inside the
// graph's cycle: it renders the cycle's block, hands it over and says what
// it found through atomics and an event source.
#include "platform/audio/system/pipewire_output.h"

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/audio_thread/graph_feed.h"
#include "platform/audio/system/realtime_priority.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

namespace {
constexpr uint32_t kStride = 2 * sizeof(float);
constexpr int kLinkSeconds = 3;          // for the session manager to link the stream
constexpr int kFirstCyclesMs = 300;      // for the graph to settle on its period
}  // namespace

// The C callbacks, with PipeWire's exact signatures.
struct PipeWireEvents {
  static void process(void* self) { static_cast<PipeWireOutput*>(self)->process(); }
  static void state(void* self, pw_stream_state, pw_stream_state state, const char* error) {
    PipeWireOutput::onStreamState(self, 0, int(state), error);
  }
  static void info(void* self, const pw_core_info* info) { PipeWireOutput::onCoreInfo(self, info); }
  static void error(void* self, uint32_t id, int seq, int res, const char* message) {
    PipeWireOutput::onCoreError(self, id, seq, res, message);
  }
  static const pw_stream_events& stream() {
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PipeWireEvents::state;
      e.process = &PipeWireEvents::process;
      return e;
    }();
    return events;
  }
  static const pw_core_events& core() {
    static const pw_core_events events = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.info = &PipeWireEvents::info;
      e.error = &PipeWireEvents::error;
      return e;
    }();
    return events;
  }
};

PipeWireOutput::PipeWireOutput() : PipeWireOutput(Config{}) {}
PipeWireOutput::PipeWireOutput(Config config) : config_(std::move(config)) {
  config_.startLatency = std::clamp<uint32_t>(config_.startLatency, 16, kMaxLatency);
  latency_.store(config_.startLatency, std::memory_order_relaxed);
}

PipeWireOutput::~PipeWireOutput() { stop(); }

PipeWireOutput::Config PipeWireOutput::configFromEnvironment() {
  Config config;
  if (const char* text = std::getenv("PLINKORA_PIPEWIRE_QUANTUM"); text && *text) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end && *end == '\0' && v >= 16 && v <= 8192) config.forceQuantum = uint32_t(v);
  }
  return config;
}

// ---- thread loop ----

void PipeWireOutput::onStreamState(void* self, int, int state, const char* error) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (state == PW_STREAM_STATE_STREAMING) me->streaming_.store(true, std::memory_order_release);
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    if (error && me->error_.empty()) me->error_ = error;
    me->running_.store(false, std::memory_order_release);
  }
  pw_thread_loop_signal(me->loop_, false);
}

void PipeWireOutput::onCoreInfo(void* self, const pw_core_info* info) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (info && info->version) me->version_ = info->version;
}

// The server went away (restarted, or ended): the sound system opens a new
// output at the next note.
void PipeWireOutput::onCoreError(void* self, uint32_t id, int, int res, const char* message) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (id != PW_ID_CORE) return;
  if (me->error_.empty()) me->error_ = message ? message : std::strerror(-res);
  if (res == -EPIPE) me->running_.store(false, std::memory_order_release);
  pw_thread_loop_signal(me->loop_, false);
}

// A command was queued: a paused stream plays again.  The command itself is
// taken by the data thread in the next cycle.
void PipeWireOutput::onWake(void* self, int, uint32_t) {
  auto* me = static_cast<PipeWireOutput*>(self);
  me->engine_->wakeSignal().drain();
  me->wakes_.fetch_add(1, std::memory_order_acq_rel);
  if (!me->active_.load(std::memory_order_acquire) && me->stream_) {
    me->resumed_.store(true, std::memory_order_release);
    me->active_.store(true, std::memory_order_release);
    pw_stream_set_active(me->stream_, true);
  }
}

// The data thread asked for a longer period, or found the stream idle.
void PipeWireOutput::onSignal(void* self, uint64_t) {
  auto* me = static_cast<PipeWireOutput*>(self);
  // A data thread that module-rt left in the fair class gets a short slice,
  // so that it preempts busy threads when the graph wakes it.
  // (A real-time one is left as it is, and reported as such.)
  if (me->sliceWanted_.exchange(false)) {
    const pid_t tid = me->dataThread_.load(std::memory_order_acquire);
    me->slice_.store(shortenThreadSlice(tid, audioThreadSliceNs(), nullptr) ? 1 : 2, std::memory_order_release);
  }
  if (me->stepWanted_.exchange(false) && !me->config_.forceQuantum) {
    const uint32_t now = me->latency_.load(std::memory_order_relaxed);
    if (now < kMaxLatency) {
      me->askLatency(std::min(now * 2, kMaxLatency));
      ++me->steps_;
      me->resumed_.store(true, std::memory_order_release);
      std::fprintf(stderr, "plinkora: PipeWire cycles were missed; asking for %u frames (%.1f ms)\n",
                   me->latency_.load(), me->latency_.load() * 1000.0 / me->engine_->sampleRate());
    }
  }
  // Paused only if no command came since the data thread found it idle.
  if (me->idleWanted_.exchange(false) && me->active_.load(std::memory_order_acquire) &&
      me->wakes_.load(std::memory_order_acquire) == me->idleWakes_.load(std::memory_order_acquire)) {
    me->active_.store(false, std::memory_order_release);
    pw_stream_set_active(me->stream_, false);
  }
}

void PipeWireOutput::askLatency(uint32_t frames) {
  char value[32];
  std::snprintf(value, sizeof value, "%u/%u", frames, engine_->sampleRate());
  const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, value)};
  const spa_dict dict = SPA_DICT_INIT(items, 1);
  pw_stream_update_properties(stream_, &dict);
  latency_.store(frames, std::memory_order_relaxed);
}

// ---- data thread ----

void PipeWireOutput::process() noexcept {
  if (dataThread_.load(std::memory_order_relaxed) == 0) {
    dataThread_.store(int(::syscall(SYS_gettid)), std::memory_order_release);
    sliceWanted_.store(true, std::memory_order_release);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), signal_);
  }
  pw_buffer* b = pw_stream_dequeue_buffer(stream_);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  if (!d.data) {
    pw_stream_queue_buffer(stream_, b);
    return;
  }
  AudioEngine& engine = *engine_;
  pw_time t{};
  pw_stream_get_time_n(stream_, &t, sizeof t);
  const uint32_t capacity = d.maxsize / kStride;
  const uint32_t asked = b->requested ? uint32_t(b->requested) : period_.load(std::memory_order_relaxed);
  const uint32_t frames = std::min(capacity, std::max<uint32_t>(asked ? asked : latency_.load(), 1));

  if (resumed_.exchange(false, std::memory_order_acq_rel)) {
    watch_.restart();
    quietFrames_ = 0;
    idleSaid_ = false;
  }
  // Commands land one period after their stamps: never before this block.
  const uint32_t got = feed_->fill(t.now, frames, frames, static_cast<float*>(d.data));
  d.chunk->offset = 0;
  d.chunk->stride = kStride;
  d.chunk->size = got * kStride;
  b->size = got;
  pw_stream_queue_buffer(stream_, b);

  CycleWatch::Cycle c;
  c.ticks = t.ticks;
  c.rate = t.rate.denom ? t.rate.denom : engine.sampleRate();
  c.frames = uint32_t(uint64_t(frames) * c.rate / engine.sampleRate());
  c.startNs = t.now;
  c.doneNs = monotonicNs();
  if (watch_.cycle(c)) {
    stepWanted_.store(true, std::memory_order_release);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), signal_);
  }
  period_.store(frames, std::memory_order_relaxed);
  delayFrames_.store(t.delay, std::memory_order_relaxed);
  cycles_.fetch_add(1, std::memory_order_release);

  // Idle: nothing sounds, no take is being recorded, no command waits.
  const bool quiet = !engine.synthRendering() && engine.wave().playingId() == 0 && !engine.tapAttached();
  quietFrames_ = quiet ? quietFrames_ + got : 0;
  if (!quiet) idleSaid_ = false;
  if (quiet && !idleSaid_ && double(quietFrames_) >= kIdleSeconds * engine.sampleRate()) {
    idleWakes_.store(wakes_.load(std::memory_order_acquire), std::memory_order_release);
    if (!engine.commandsWaiting()) {
      idleSaid_ = true;
      feed_->settle();   // the tap has heard all the graph was given
      idleWanted_.store(true, std::memory_order_release);
      pw_loop_signal_event(pw_thread_loop_get_loop(loop_), signal_);
    }
  }
}

// ---- UI thread ----

bool PipeWireOutput::start(AudioEngine& engine) {
  if (loop_) return running();
  engine_ = &engine;
  feed_ = std::make_unique<GraphFeed>(engine);
  auto fail = [&](const std::string& why) {
    if (error_.empty()) error_ = why;
    else error_ = why + ": " + error_;
    teardown();
    return false;
  };
  static std::once_flag init;
  std::call_once(init, [] { pw_init(nullptr, nullptr); });

  loop_ = pw_thread_loop_new("plinkora-pw", nullptr);
  if (!loop_) return fail("no PipeWire thread loop");
  pw_loop* loop = pw_thread_loop_get_loop(loop_);
  // client-rt.conf loads module-rt: the data thread asks for real-time
  // priority through RLIMIT_RTPRIO, the portal or RealtimeKit.
  context_ = pw_context_new(loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
  if (!context_) return fail("no PipeWire context");
  if (pw_thread_loop_start(loop_) < 0) return fail("PipeWire thread loop did not start");

  pw_thread_loop_lock(loop_);
  core_ = pw_context_connect(context_, nullptr, 0);
  if (!core_) {
    const std::string why = std::strerror(errno);
    pw_thread_loop_unlock(loop_);
    return fail("no PipeWire server: " + why);
  }
  pw_core_add_listener(core_, &coreListener_, &PipeWireEvents::core(), this);

  const uint32_t rate = engine.sampleRate();
  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
                        "Music", PW_KEY_APP_NAME, config_.appName.c_str(), PW_KEY_NODE_NAME, "plinkora", nullptr);
  pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", latency_.load(), rate);
  if (config_.forceQuantum) pw_properties_setf(props, PW_KEY_NODE_FORCE_QUANTUM, "%u", config_.forceQuantum);
  stream_ = pw_stream_new(core_, config_.appName.c_str(), props);
  if (!stream_) {
    pw_thread_loop_unlock(loop_);
    return fail("no PipeWire stream");
  }
  pw_stream_add_listener(stream_, &streamListener_, &PipeWireEvents::stream(), this);
  if (engine.wakeSignal().fd() >= 0)
    wakeSource_ = pw_loop_add_io(loop, engine.wakeSignal().fd(), SPA_IO_IN, false, &PipeWireOutput::onWake, this);
  signal_ = pw_loop_add_event(loop, &PipeWireOutput::onSignal, this);

  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.channels = 2;
  info.rate = rate;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  running_.store(true, std::memory_order_release);
  const auto flags =
      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
    pw_thread_loop_unlock(loop_);
    return fail("PipeWire stream not connected");
  }
  timespec until{};
  pw_thread_loop_get_time(loop_, &until, int64_t(kLinkSeconds) * SPA_NSEC_PER_SEC);
  while (running() && !streaming_.load(std::memory_order_acquire))
    if (pw_thread_loop_timed_wait_full(loop_, &until) != 0) break;
  const bool linked = running() && streaming_.load(std::memory_order_acquire);
  pw_thread_loop_unlock(loop_);
  if (!linked) return fail(running() ? "the PipeWire stream was not linked to a sink" : "PipeWire stream failed");

  // The period the graph settles on, for the line on stderr.
  for (int ms = 0; ms < kFirstCyclesMs && cycles_.load(std::memory_order_acquire) < 8; ms += 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return running();
}

void PipeWireOutput::teardown() {
  running_.store(false, std::memory_order_release);
  if (loop_) pw_thread_loop_stop(loop_);   // no event runs after this
  if (stream_) {
    spa_hook_remove(&streamListener_);
    pw_stream_destroy(stream_);   // waits out the data thread
    stream_ = nullptr;
  }
  if (loop_) {
    pw_loop* loop = pw_thread_loop_get_loop(loop_);
    if (wakeSource_) pw_loop_destroy_source(loop, wakeSource_);
    if (signal_) pw_loop_destroy_source(loop, signal_);
  }
  wakeSource_ = signal_ = nullptr;
  if (core_) {
    spa_hook_remove(&coreListener_);
    pw_core_disconnect(core_);
    core_ = nullptr;
  }
  if (context_) {
    pw_context_destroy(context_);
    context_ = nullptr;
  }
  if (loop_) {
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
  }
}

void PipeWireOutput::stop() { teardown(); }

double PipeWireOutput::latencyMs() {
  if (!engine_ || !running()) return 0.0;
  const double frames = double(periodFrames()) + double(std::max<int64_t>(0, delayFrames_.load()));
  return frames * 1000.0 / engine_->sampleRate();
}

std::string PipeWireOutput::threadPriority() const {
  const int tid = dataThread_.load(std::memory_order_relaxed);
  if (tid == 0) return "not known yet";
  const int policy = sched_getscheduler(tid) & ~0x40000000;   // less SCHED_RESET_ON_FORK
  sched_param p{};
  sched_getparam(tid, &p);
  if (policy == SCHED_FIFO || policy == SCHED_RR)
    return std::string(policy == SCHED_FIFO ? "SCHED_FIFO " : "SCHED_RR ") + std::to_string(p.sched_priority);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, id_t(tid));
  const int slice = slice_.load(std::memory_order_acquire);
  return "no real-time priority, nice " + std::to_string(errno ? 0 : nice) +
         (slice == 1 ? ", slice " + std::to_string(audioThreadSliceNs() / 1000) + " us"
                     : slice == 2 ? ", the kernel's own slice" : "");
}

std::string PipeWireOutput::announcement() const {
  char line[160];
  const double rate = engine_ ? engine_->sampleRate() : 48000.0;
  const uint32_t period = periodFrames() ? periodFrames() : latencyFrames();
  std::snprintf(line, sizeof line, "sound through PipeWire %s, %u frames at %.0f Hz (%.1f ms)%s",
                version_.empty() ? "" : version_.c_str(), period, rate, period * 1000.0 / rate,
                config_.forceQuantum ? " (quantum forced)" : "");
  return line;
}

std::string PipeWireOutput::describe() const {
  char line[384];
  const double rate = engine_ ? engine_->sampleRate() : 48000.0;
  std::snprintf(line, sizeof line,
                "PipeWire %s stream: period %u frames (%.1f ms), node.latency %u/%.0f after %d step(s), "
                "%llu missed cycle(s), device delay %lld frames, %s, data thread %s",
                version_.c_str(), periodFrames(), periodFrames() * 1000.0 / rate, latencyFrames(), rate, steps_,
                (unsigned long long)watch_.missed(), (long long)delayFrames_.load(),
                active() ? "active" : "paused while idle", threadPriority().c_str());
  return line;
}

}  // namespace platform
