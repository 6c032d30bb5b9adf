// SPDX-License-Identifier: GPL-3.0-or-later
// Streaming to PipeWire with its own client library (libpipewire-0.3).
//
// Three threads meet here.  start(), stop() and setPlayerPresent() run on
// the UI thread, which never waits on the server after start().  The
// stream's events, the engine's wake-ups (its eventfd, watched by the
// thread loop) and the data thread's requests run on the thread loop, which
// owns every call that may allocate or talk to the server.  process runs on
// the context's data loop, inside the graph's cycle, as in PipeWire's own
// audio-src example: it renders the cycle's block, hands it over, judges
// the cycle, and passes what must be done (a new period, a pause, the
// first cycle's figures) to the thread loop with pw_loop_invoke, which
// copies the message into the loop's ring without blocking or allocating.
// The MIDI port's process runs on the same data loop, so the stream and the
// port never use their shared cycle at the same time.
#include "platform/audio/system/pipewire_output.h"

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/system/realtime_priority.h"

#include <pipewire/pipewire.h>
#include <spa/node/io.h>
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

namespace platform {

namespace {
constexpr uint32_t kStride = 2 * sizeof(float);
constexpr int kLinkSeconds = 3;   // for the session manager to link the stream

long threadFaults() noexcept {
  rusage u{};
  if (getrusage(RUSAGE_THREAD, &u) != 0) return 0;
  return u.ru_minflt + u.ru_majflt;
}

// CPU time of the calling thread: everything the data thread did, its
// wake-ups and both nodes' process included.
int64_t threadCpuNs() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
}  // namespace

// The C callbacks, with PipeWire's exact signatures.
struct PipeWireEvents {
  static void process(void* self) { static_cast<PipeWireOutput*>(self)->process(); }
  static void state(void* self, pw_stream_state, pw_stream_state state, const char* error) {
    PipeWireOutput::onStreamState(self, int(state), error);
  }
  static void io(void* self, uint32_t id, void* area, uint32_t size) {
    PipeWireOutput::onIoChanged(self, id, area, size);
  }
  static void info(void* self, const pw_core_info* info) { PipeWireOutput::onCoreInfo(self, info); }
  static void error(void* self, uint32_t id, int, int res, const char* message) {
    PipeWireOutput::onCoreError(self, id, res, message);
  }
  static const pw_stream_events& stream() {
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PipeWireEvents::state;
      e.io_changed = &PipeWireEvents::io;
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
PipeWireOutput::PipeWireOutput(Config config) : config_(std::move(config)), policy_(config_.policy) {
  asked_.store(policy_.asked(), std::memory_order_relaxed);
}

PipeWireOutput::~PipeWireOutput() { stop(); }

PipeWireOutput::Config PipeWireOutput::configFromEnvironment() {
  Config config;
  if (const char* text = std::getenv("PLINKORA_PIPEWIRE_QUANTUM"); text && *text) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end && *end == '\0' && v >= 16 && v <= 8192) config.forceQuantum = uint32_t(v);
  }
  if (const char* text = std::getenv("PLINKORA_PIPEWIRE_STATS"); text && *text && std::strcmp(text, "0") != 0)
    config.stats = true;
  if (const char* text = std::getenv("PLINKORA_MIDI_PORT"); text && std::strcmp(text, "0") == 0)
    config.midiPort = false;
  return config;
}

// ---- thread loop ----

void PipeWireOutput::onStreamState(void* self, int state, const char* error) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (state == PW_STREAM_STATE_STREAMING) me->streaming_.store(true, std::memory_order_release);
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    if (error && me->error_.empty()) me->error_ = error;
    me->running_.store(false, std::memory_order_release);
  }
  pw_thread_loop_signal(me->loop_, false);
}

// The graph's position for the data thread: handed over on the data loop
// itself, between two cycles, as the stream does with its own copy.
void PipeWireOutput::onIoChanged(void* self, uint32_t id, void* area, uint32_t size) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (id != SPA_IO_Position || !me->dataLoop_) return;
  spa_io_position* position = area && size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr;
  pw_loop_invoke(me->dataLoop_, &PipeWireOutput::onPosition, 0, &position, sizeof position, true, me);
}

int PipeWireOutput::onPosition(spa_loop*, bool, uint32_t, const void* data, size_t, void* self) {
  std::memcpy(&static_cast<PipeWireOutput*>(self)->position_, data, sizeof(spa_io_position*));
  return 0;
}

void PipeWireOutput::onCoreInfo(void* self, const pw_core_info* info) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (info && info->version) me->version_ = info->version;
}

// The server went away (restarted, or ended): the sound system opens a new
// output.
void PipeWireOutput::onCoreError(void* self, uint32_t id, int res, const char* message) {
  auto* me = static_cast<PipeWireOutput*>(self);
  if (id != PW_ID_CORE) return;
  if (me->error_.empty()) me->error_ = message ? message : std::strerror(-res);
  if (res == -EPIPE) me->running_.store(false, std::memory_order_release);
  pw_thread_loop_signal(me->loop_, false);
}

// A command was queued, or the player came back: a paused stream plays
// again.  The command itself is taken by the data thread in the next cycle.
void PipeWireOutput::onWake(void* self, int, uint32_t) {
  auto* me = static_cast<PipeWireOutput*>(self);
  me->engine_->wakeSignal().drain();
  me->wakes_.fetch_add(1, std::memory_order_acq_rel);
  if (!me->active_.load(std::memory_order_acquire) && me->stream_) {
    me->active_.store(true, std::memory_order_release);
    pw_stream_set_active(me->stream_, true);
  }
}

// The first cycle: the data thread is known, and the period the graph runs at.
int PipeWireOutput::onFirstCycle(spa_loop*, bool, uint32_t, const void* data, size_t, void* self) {
  auto* me = static_cast<PipeWireOutput*>(self);
  FirstCycle first;
  std::memcpy(&first, data, sizeof first);
  // A data thread that module-rt left in the fair class gets a short slice,
  // so that it preempts busy threads when the graph wakes it.
  me->slice_.store(shortenThreadSlice(first.tid, audioThreadSliceNs(), nullptr) ? 1 : 2, std::memory_order_release);
  const double rate = first.rate ? first.rate : 48000.0;
  std::fprintf(stderr, "plinkora: sound through PipeWire %s, %u frames at %.0f Hz (%.1f ms)%s\n",
               me->version_.c_str(), first.quantum, rate, first.quantum * 1000.0 / rate,
               me->config_.forceQuantum ? " (quantum forced)" : "");
  return 0;
}

int PipeWireOutput::onAsk(spa_loop*, bool, uint32_t, const void* data, size_t, void* self) {
  auto* me = static_cast<PipeWireOutput*>(self);
  Ask ask;
  std::memcpy(&ask, data, sizeof ask);
  if (!me->stream_) return 0;
  const uint32_t before = me->asked_.load(std::memory_order_relaxed);
  me->askLatency(ask.frames);
  me->steps_.fetch_add(1, std::memory_order_relaxed);
  const double ms = ask.frames * 1000.0 / me->engine_->sampleRate();
  // What the last miss was.
  char miss[96];
  if (ask.skipped)
    std::snprintf(miss, sizeof miss, "%u cycle(s) went by without it", ask.skipped);
  else
    std::snprintf(miss, sizeof miss, "its block was done %.2f ms into a %.2f ms cycle", ask.doneNs / 1e6,
                  ask.periodNs / 1e6);
  switch (ask.why) {
    case PeriodPolicy::Change::Longer:
      std::fprintf(stderr, "plinkora: PipeWire cycles were missed at %u frames (the last: %s); asking for %u frames (%.1f ms)\n",
                   before, miss, ask.frames, ms);
      break;
    case PeriodPolicy::Change::Trial:
      std::fprintf(stderr, "plinkora: trying a PipeWire period of %u frames (%.1f ms) while nothing sounds\n",
                   ask.frames, ms);
      break;
    case PeriodPolicy::Change::BackUp:
      std::fprintf(stderr, "plinkora: %u frames did not hold (%s); back to %u frames (%.1f ms)\n", before, miss,
                   ask.frames, ms);
      break;
    case PeriodPolicy::Change::None:
      break;
  }
  return 0;
}

// The data thread found the stream idle with the player away: paused, if
// no command came and the player did not come back since.
int PipeWireOutput::onIdle(spa_loop*, bool, uint32_t, const void* data, size_t, void* self) {
  auto* me = static_cast<PipeWireOutput*>(self);
  Idle idle;
  std::memcpy(&idle, data, sizeof idle);
  if (!me->stream_ || !me->active_.load(std::memory_order_acquire)) return 0;
  if (me->present_.load(std::memory_order_acquire)) return 0;
  if (me->port_ && me->port_->linked()) return 0;   // a reader listens to the port
  if (me->wakes_.load(std::memory_order_acquire) != idle.wakes) return 0;
  me->active_.store(false, std::memory_order_release);
  pw_stream_set_active(me->stream_, false);
  return 0;
}

void PipeWireOutput::askLatency(uint32_t frames) {
  char value[32];
  std::snprintf(value, sizeof value, "%u/%u", frames, engine_->sampleRate());
  const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, value)};
  const spa_dict dict = SPA_DICT_INIT(items, 1);
  pw_stream_update_properties(stream_, &dict);
  asked_.store(frames, std::memory_order_relaxed);
}

// ---- data thread ----

template <typename T>
void PipeWireOutput::tellLoop(int (*handler)(spa_loop*, bool, uint32_t, const void*, size_t, void*),
                              const T& what) noexcept {
  pw_loop_invoke(pw_thread_loop_get_loop(loop_), handler, 0, &what, sizeof what, false, this);
}

void PipeWireOutput::process() noexcept {
  const int64_t entryNs = monotonicNs();
  const long faults0 = config_.stats ? threadFaults() : 0;
  pw_buffer* b = pw_stream_dequeue_buffer(stream_);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  if (!d.data) {
    pw_stream_queue_buffer(stream_, b);
    return;
  }
  AudioEngine& engine = *engine_;
  const uint32_t rate = engine.sampleRate();

  // This cycle, as the graph tells it: when it began, where its clock
  // stands and how long it is.
  // (The stream copies the position's clock into its time just before
  // this call; its ticks stay continuous when the graph changes driver.)
  // When the cycle began is also its key for the MIDI port, whose node
  // reads the same driver's position: clock.nsec, which t.now copies.
  pw_time t{};
  pw_stream_get_time_n(stream_, &t, sizeof t);
  int64_t startNs = t.now;
  const uint64_t ticks = t.ticks;
  uint32_t quantum = uint32_t(b->requested), clockRate = t.rate.denom;
  if (const spa_io_position* p = position_) {
    startNs = int64_t(p->clock.nsec);
    quantum = uint32_t(p->clock.duration);
    clockRate = p->clock.rate.denom;
  }
  if (clockRate == 0) clockRate = rate;
  if (quantum == 0) quantum = b->requested ? uint32_t(b->requested) : asked_.load(std::memory_order_relaxed);
  if (startNs == 0) startNs = entryNs;
  // The period in the engine's frames, and the block the stream wants: the
  // period itself, unless the stream resamples (then what it asks for).
  const uint32_t period = clockRate == rate ? quantum : uint32_t(uint64_t(quantum) * rate / clockRate);
  const uint32_t capacity = d.maxsize / kStride;
  const uint32_t want = clockRate == rate || b->requested == 0 ? period : uint32_t(b->requested);
  const uint32_t frames = std::clamp<uint32_t>(want, 1, std::max<uint32_t>(capacity, 1));

  if (pauseAsked_) {
    // Woken again (or the pause was refused): nothing to compare with.
    pauseAsked_ = false;
    watch_.restart();
    policy_.restart();
  }
  // Commands land one period after their stamps, never before this block;
  // the block is the one the port took its events from when it ran first.
  SharedCycle::Cycle cycle;
  cycle.ns = startNs;
  cycle.frames = frames;
  cycle.delayFrames = period;
  const uint32_t got = shared_->sound(cycle, static_cast<float*>(d.data));
  d.chunk->offset = 0;
  d.chunk->stride = kStride;
  d.chunk->size = got * kStride;
  b->size = got;
  pw_stream_queue_buffer(stream_, b);
  const int64_t doneNs = monotonicNs();
  streamBusyNs_.store(streamBusyNs_.load(std::memory_order_relaxed) + uint64_t(doneNs - entryNs),
                      std::memory_order_relaxed);
  streamCycles_.store(streamCycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);

  // The judgement of the cycle.
  CycleWatch::Cycle c;
  c.ticks = ticks;
  c.frames = quantum;
  c.rate = clockRate;
  c.startNs = startNs;
  c.doneNs = doneNs;
  const uint32_t missed = watch_.cycle(c);
  const bool audible = engine.synthRendering() || engine.wave().playingId() != 0 || engine.tapAttached();
  CycleStats::Sample s;
  s.startNs = startNs;
  s.entryNs = entryNs;
  s.doneNs = doneNs;
  s.periodNs = int64_t(double(quantum) * 1e9 / clockRate);
  s.audible = audible;
  s.faults = config_.stats ? threadFaults() - faults0 : -1;
  stats_.record(s);
  if (config_.stats) {
    const int64_t cpu = threadCpuNs();
    if (cpuFirstNs_.load(std::memory_order_relaxed) < 0) {
      cpuFirstNs_.store(cpu, std::memory_order_relaxed);
    } else {
      cpuLastNs_.store(cpu, std::memory_order_relaxed);
      cpuCycles_.store(cpuCycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }
  period_.store(period, std::memory_order_relaxed);
  delayFrames_.store(t.delay, std::memory_order_relaxed);

  if (!told_) {
    told_ = true;
    const int tid = int(::syscall(SYS_gettid));
    dataThread_.store(tid, std::memory_order_release);
    tellLoop(&PipeWireOutput::onFirstCycle, FirstCycle{tid, quantum, clockRate});
  }
  if (!config_.forceQuantum) {
    PeriodPolicy::Cycle pc;
    pc.ns = startNs;
    pc.quantum = period;
    pc.missed = missed;
    pc.audible = audible;
    const PeriodPolicy::Change change = policy_.cycle(pc);
    if (change != PeriodPolicy::Change::None) {
      const bool late = doneNs - startNs > s.periodNs;
      tellLoop(&PipeWireOutput::onAsk,
               Ask{policy_.asked(), change, missed - (late ? 1u : 0u), doneNs - startNs, s.periodNs});
    }
  }

  // Idle with the player away: nothing sounds, no take is being recorded,
  // no command waits, and no reader listens to the port.
  quietFrames_ = audible ? 0 : quietFrames_ + got;
  if (!audible && !present_.load(std::memory_order_acquire) && !shared_->portListening() &&
      double(quietFrames_) >= kIdleSeconds * rate) {
    const uint64_t wakes = wakes_.load(std::memory_order_acquire);
    if (!engine.commandsWaiting()) {
      quietFrames_ = 0;
      shared_->settle();   // the tap has heard all the graph was given
      pauseAsked_ = true;
      tellLoop(&PipeWireOutput::onIdle, Idle{wakes});
    }
  }
}

// ---- UI thread ----

bool PipeWireOutput::start(AudioEngine& engine) {
  if (loop_) return running();
  engine_ = &engine;
  shared_ = std::make_unique<SharedCycle>(engine);
  if (config_.group.empty()) config_.group = "plinkora-" + std::to_string(::getpid());
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
  if (pw_data_loop* data = pw_context_get_data_loop(context_)) dataLoop_ = pw_data_loop_get_loop(data);
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
  pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", asked_.load(), rate);
  if (config_.forceQuantum) pw_properties_setf(props, PW_KEY_NODE_FORCE_QUANTUM, "%u", config_.forceQuantum);
  // The port's node shares the stream's driver, and so its cycles.
  pw_properties_set(props, PW_KEY_NODE_GROUP, config_.group.c_str());
  stream_ = pw_stream_new(core_, config_.appName.c_str(), props);
  if (!stream_) {
    pw_thread_loop_unlock(loop_);
    return fail("no PipeWire stream");
  }
  pw_stream_add_listener(stream_, &streamListener_, &PipeWireEvents::stream(), this);
  if (engine.wakeSignal().fd() >= 0)
    wakeSource_ = pw_loop_add_io(loop, engine.wakeSignal().fd(), SPA_IO_IN, false, &PipeWireOutput::onWake, this);

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
  if (config_.midiPort) startMidiPort();
  // Linked to a sink: the session manager's part, a few milliseconds.  The
  // period is said on stderr by the first cycle, from the thread loop.
  timespec until{};
  pw_thread_loop_get_time(loop_, &until, int64_t(kLinkSeconds) * SPA_NSEC_PER_SEC);
  while (running() && !streaming_.load(std::memory_order_acquire))
    if (pw_thread_loop_timed_wait_full(loop_, &until) != 0) break;
  const bool linked = running() && streaming_.load(std::memory_order_acquire);
  pw_thread_loop_unlock(loop_);
  if (!linked) return fail(running() ? "the PipeWire stream was not linked to a sink" : "PipeWire stream failed");
  return running();
}

// The port's node on the stream's core, the thread loop locked.  Without
// it the stream plays on, and stderr says why once.
void PipeWireOutput::startMidiPort() {
  PipeWireMidiPort::Config pc;
  pc.appName = config_.appName;
  pc.group = config_.group;
  // A reader linked while the stream rests: the stream plays again, so that
  // the port's cycles are the sound's.
  pc.onLinked = [this](bool linked) {
    if (linked && engine_) engine_->wakeSignal().notify();
  };
  port_ = std::make_unique<PipeWireMidiPort>(pc);
  if (port_->start(core_, *shared_)) {
    portStarted_.store(true, std::memory_order_release);
    std::fprintf(stderr, "plinkora: MIDI port \"%s\" (%s:%s) in PipeWire's graph\n", pc.description.c_str(),
                 pc.nodeName.c_str(), pc.portName.c_str());
    return;
  }
  static std::once_flag said;
  std::call_once(said, [&] { std::fprintf(stderr, "plinkora: no MIDI port: %s\n", port_->error().c_str()); });
  port_.reset();
}

void PipeWireOutput::teardown() {
  running_.store(false, std::memory_order_release);
  if (loop_) {
    // With the loop still turning, as PipeWire wants: the port and the
    // stream first (each waits out the data thread), then the sources and
    // the core.
    pw_thread_loop_lock(loop_);
    if (port_) port_->stop();
    portStarted_.store(false, std::memory_order_release);
    if (stream_) {
      spa_hook_remove(&streamListener_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    if (shared_) portSaid_ = portFigures();   // the data thread is done with them
    if (wakeSource_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), wakeSource_);
    wakeSource_ = nullptr;
    if (core_) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
      core_ = nullptr;
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
  }
  if (context_) {
    pw_context_destroy(context_);
    context_ = nullptr;
  }
  dataLoop_ = nullptr;
  if (loop_) {
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
  }
  // No data thread runs for them any more.
  port_.reset();
  shared_.reset();
}

void PipeWireOutput::stop() {
  const bool say = loop_ && config_.stats && stats_.cycles(true) + stats_.cycles(false) > 0;
  if (say) {
    std::string text = stats_.summary() + "\n";
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      std::fprintf(stderr, "plinkora: PipeWire cycles %s\n", text.substr(at, end - at).c_str());
    std::fprintf(stderr, "plinkora: PipeWire: %llu missed cycle(s) in %llu miss(es), period asked %u after %d change(s), data thread %s\n",
                 (unsigned long long)watch_.missed(), (unsigned long long)watch_.events(), latencyFrames(),
                 steps_.load(std::memory_order_relaxed), threadPriority().c_str());
  }
  teardown();
  if (say) std::fprintf(stderr, "plinkora: PipeWire data thread %s\n", portSaid_.c_str());
}

// The data thread's time in the stream's and the port's process, and what
// the port carried.  Read with the thread loop locked or the port stopped.
std::string PipeWireOutput::portFigures() const {
  const uint64_t cycles = streamCycles();
  const double streamUs = cycles ? double(streamBusyNs()) / 1e3 / double(cycles) : 0.0;
  const uint64_t cpuCycles = cpuCycles_.load(std::memory_order_relaxed);
  const double cpuUs =
      cpuCycles ? double(cpuLastNs_.load(std::memory_order_relaxed) - cpuFirstNs_.load(std::memory_order_relaxed)) /
                      1e3 / double(cpuCycles)
                : 0.0;
  char line[768];
  if (!port_) {
    std::snprintf(line, sizeof line, "per cycle: CPU %.2f us in all; stream %.2f us over %llu cycles; no MIDI port",
                  cpuUs, streamUs, (unsigned long long)cycles);
    return line;
  }
  const uint64_t portCycles = port_->cycles();
  const double portUs = portCycles ? double(port_->busyNs()) / 1e3 / double(portCycles) : 0.0;
  std::snprintf(line, sizeof line,
                "per cycle: CPU %.2f us in all; stream %.2f us over %llu cycles; MIDI port %.2f us over %llu "
                "cycles it ran in, %llu of them linked (median under %.2f us, p99 under %.2f us; %llu first; "
                "%llu without a buffer, %llu waiting for the reader), "
                "%llu events written, %llu unheard (not linked), %llu late, %llu refused, %llu lost",
                cpuUs, streamUs, (unsigned long long)cycles, portUs, (unsigned long long)portCycles,
                (unsigned long long)port_->cyclesLinked(), double(port_->busyPercentileNs(0.5)) / 1e3,
                double(port_->busyPercentileNs(0.99)) / 1e3,
                (unsigned long long)(shared_ ? shared_->portFirst() : 0), (unsigned long long)port_->cyclesNoBuffer(),
                (unsigned long long)port_->cyclesWaiting(), (unsigned long long)port_->eventsWritten(),
                (unsigned long long)(shared_ ? shared_->eventsUnheard() : 0),
                (unsigned long long)(shared_ ? shared_->eventsLate() : 0), (unsigned long long)port_->eventsRefused(),
                (unsigned long long)(shared_ ? shared_->eventsLost() : 0));
  return line;
}

void PipeWireOutput::setPlayerPresent(bool present) {
  const bool was = present_.exchange(present, std::memory_order_acq_rel);
  // Back at the instrument: a paused stream plays again before the first key.
  if (present && !was && engine_) engine_->wakeSignal().notify();
}

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

std::string PipeWireOutput::describe() const {
  char line[512];
  const double rate = engine_ ? engine_->sampleRate() : 48000.0;
  std::snprintf(line, sizeof line,
                "PipeWire %s stream: period %u frames (%.1f ms), node.latency %u/%.0f after %d change(s), "
                "%llu missed cycle(s) in %llu miss(es), data thread busy p99.9 %.2f of a period while sounding, "
                "%s, data thread %s, MIDI port %s",
                version_.c_str(), periodFrames(), periodFrames() * 1000.0 / rate, latencyFrames(), rate,
                steps_.load(std::memory_order_relaxed), (unsigned long long)watch_.missed(),
                (unsigned long long)watch_.events(), stats_.percentile(true, 1, 0.999),
                active() ? "active" : "paused while idle", threadPriority().c_str(),
                !offersMidiPort() ? "none" : port_ && port_->linked() ? "linked" : "not linked");
  return line;
}

}  // namespace platform
