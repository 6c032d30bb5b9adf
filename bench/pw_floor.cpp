// SPDX-License-Identifier: GPL-3.0-or-later
// The floor: what this machine lets any PipeWire client hold, measured with
// a client that does next to nothing, so the program's own figures can be
// set beside it.  The pattern of PipeWire's audio-src example: a playback
// stream with PW_STREAM_FLAG_RT_PROCESS whose process callback fills exactly
// the frames each cycle asks for with a quiet sine (-40 dBFS), under the
// client-rt configuration (module-rt: RLIMIT_RTPRIO, the portal or
// RealtimeKit, whichever gives the data thread real-time priority).
//
// Each period is asked for with node.latency, as the program asks for its
// own: the graph then runs at that period unless the server's own limits
// (clock.min-quantum, raised inside virtual machines) or a client asking for
// less say otherwise, exactly as they would for the program.  The period the
// graph really ran at is read in every cycle (pw_buffer.requested) and
// printed; a run at another period does not count for the rule below.
// (node.force-quantum would hold the period whatever the server's limits,
// which no client of the program's kind can do.)
//
// A missed cycle: the graph clock (pw_time.ticks) moved on by more than one
// cycle between two process calls (floor_count.h).  The first --settle
// seconds of each period are not counted (the graph changing its period
// when the stream joins).
//
//   pw_floor [--periods 128,256,512] [--seconds 60] [--settle 1] [--rate 48000]
//            [--target NODE] [--per-minute 2] [--summary FILE] [--label TEXT]
//
// Prints one table row per period and the rule's row: the shortest period
// at which the client missed at most --per-minute cycles a minute.
// --summary writes one line per period ("period missed seconds ran_min
// ran_max longest_gap scheduling") and "held PERIOD" for scripts.
//
// Threads: main() and the stream's events on the main loop; process() on
// the stream's data thread, which only writes into FloorCount and atomics.
#include "floor_count.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kChannels = 2;
constexpr double kLevel = 0.01;   // -40 dBFS
constexpr double kHz = 440.0;

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Client {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  uint32_t rate = 48000;
  uint32_t period = 0;
  int64_t countFromNs = 0;   // cycles before this are not counted
  double phase = 0;
  floorbench::FloorCount count;
  std::atomic<int64_t> firstCountedNs{0}, lastCountedNs{0};
  std::atomic<int> policy{-1}, priority{0};
  std::atomic<bool> failed{false};
  bool closing = false;   // destroyed on purpose: its last state change is no failure
};

void onProcess(void* self) {
  auto* c = static_cast<Client*>(self);
  const int64_t entered = monotonicNs();
  if (c->policy.load(std::memory_order_relaxed) < 0) {
    sched_param p{};
    sched_getparam(0, &p);
    c->priority.store(p.sched_priority, std::memory_order_relaxed);
    c->policy.store(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, std::memory_order_relaxed);
  }
  pw_buffer* b = pw_stream_dequeue_buffer(c->stream);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  if (!d.data) {
    pw_stream_queue_buffer(c->stream, b);
    return;
  }
  pw_time t{};
  pw_stream_get_time_n(c->stream, &t, sizeof t);
  const uint32_t stride = sizeof(float) * kChannels;
  const uint32_t asked = b->requested ? uint32_t(b->requested) : c->period;
  const uint32_t frames = std::min<uint32_t>(asked, d.maxsize / stride);
  auto* out = static_cast<float*>(d.data);
  const double step = 2.0 * M_PI * kHz / c->rate;
  for (uint32_t i = 0; i < frames; ++i) {
    const float v = float(std::sin(c->phase) * kLevel);
    c->phase += step;
    if (c->phase >= 2.0 * M_PI) c->phase -= 2.0 * M_PI;
    for (uint32_t ch = 0; ch < kChannels; ++ch) *out++ = v;
  }
  d.chunk->offset = 0;
  d.chunk->stride = int32_t(stride);
  d.chunk->size = frames * stride;
  pw_stream_queue_buffer(c->stream, b);

  if (t.now >= c->countFromNs) {
    c->count.cycle(t.ticks, asked, entered - t.now);
    if (c->firstCountedNs.load(std::memory_order_relaxed) == 0)
      c->firstCountedNs.store(t.now, std::memory_order_relaxed);
    c->lastCountedNs.store(t.now, std::memory_order_relaxed);
  }
}

void onState(void* self, pw_stream_state old, pw_stream_state state, const char* error) {
  auto* c = static_cast<Client*>(self);
  if (c->closing) return;
  if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && old != state)) {
    std::fprintf(stderr, "pw_floor: stream %s%s%s\n", pw_stream_state_as_string(state), error ? ": " : "",
                 error ? error : "");
    c->failed.store(true);
    pw_main_loop_quit(c->loop);
  }
}

volatile std::sig_atomic_t g_stopped = 0;

void onTimer(void* self, uint64_t) { pw_main_loop_quit(static_cast<Client*>(self)->loop); }
void onQuit(void* self, int) {
  g_stopped = 1;
  pw_main_loop_quit(static_cast<Client*>(self)->loop);
}

std::string scheduling(int policy, int priority) {
  switch (policy) {
    case SCHED_FIFO: return "SCHED_FIFO " + std::to_string(priority);
    case SCHED_RR: return "SCHED_RR " + std::to_string(priority);
    case SCHED_OTHER: return "SCHED_OTHER";
    case SCHED_BATCH: return "SCHED_BATCH";
    case SCHED_IDLE: return "SCHED_IDLE";
    default: return "unknown";
  }
}

struct Result {
  floorbench::FloorRun run;
  uint64_t cycles = 0, longest = 1;
  double wake50 = 0, wake99 = 0, wake999 = 0, wakeMax = 0;
  std::string sched = "unknown";
  bool ok = false;
};

// One period: a stream for settle + seconds, then its figures.
Result measure(pw_main_loop* loop, uint32_t period, uint32_t rate, double seconds, double settle,
               const std::string& target) {
  Result r;
  r.run.period = period;
  auto c = std::make_unique<Client>();
  c->loop = loop;
  c->rate = rate;
  c->period = period;
  c->countFromNs = monotonicNs() + int64_t(settle * 1e9);

  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                           PW_KEY_MEDIA_ROLE, "Music", PW_KEY_NODE_NAME, "pw-floor", nullptr);
  pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", period, rate);
  if (!target.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.c_str());
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &onState;
    e.process = &onProcess;
    return e;
  }();
  c->stream = pw_stream_new_simple(pw_main_loop_get_loop(loop), "pw-floor", props, &events, c.get());
  if (!c->stream) return r;
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.channels = kChannels;
  info.rate = rate;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  pw_stream_connect(c->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                    PW_STREAM_FLAG_RT_PROCESS),
                    params, 1);
  spa_source* timer = pw_loop_add_timer(pw_main_loop_get_loop(loop), &onTimer, c.get());
  timespec value{};
  const double total = settle + seconds;
  value.tv_sec = time_t(total);
  value.tv_nsec = long((total - double(value.tv_sec)) * 1e9);
  pw_loop_update_timer(pw_main_loop_get_loop(loop), timer, &value, nullptr, false);
  if (!g_stopped) pw_main_loop_run(loop);
  pw_loop_destroy_source(pw_main_loop_get_loop(loop), timer);
  c->closing = true;
  pw_stream_destroy(c->stream);   // the data thread is done with c after this

  const floorbench::FloorCount& n = c->count;
  const int64_t first = c->firstCountedNs.load(), last = c->lastCountedNs.load();
  r.cycles = n.cycles();
  r.run.missed = n.missed();
  r.run.ranMin = n.minFrames();
  r.run.ranMax = n.maxFrames();
  r.run.seconds = first && last > first ? double(last - first) / 1e9 : 0.0;
  r.longest = n.longestGap();
  r.wake50 = n.wakeMs(0.5);
  r.wake99 = n.wakeMs(0.99);
  r.wake999 = n.wakeMs(0.999);
  r.wakeMax = n.wakeMs(1.0);
  r.sched = scheduling(c->policy.load(), c->priority.load());
  r.ok = !c->failed.load() && r.cycles > 0;
  return r;
}

int usage() {
  std::fprintf(stderr,
               "usage: pw_floor [--periods 128,256,512] [--seconds S] [--settle S] [--rate HZ] [--target NODE]\n"
               "                [--per-minute N] [--summary FILE] [--label TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> periods{128, 256, 512};
  double seconds = 60, settle = 1, perMinute = 2;
  uint32_t rate = 48000;
  std::string target, summary, label;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return usage();
    ++i;
    if (a == "--periods") {
      periods.clear();
      for (const char* p = v; *p;) {
        char* end = nullptr;
        const long n = std::strtol(p, &end, 10);
        if (end == p || n < 16 || n > 8192) return usage();
        periods.push_back(uint32_t(n));
        p = *end == ',' ? end + 1 : end;
        if (*end && *end != ',') return usage();
      }
    } else if (a == "--seconds") seconds = std::atof(v);
    else if (a == "--settle") settle = std::atof(v);
    else if (a == "--rate") rate = uint32_t(std::atoi(v));
    else if (a == "--target") target = v;
    else if (a == "--per-minute") perMinute = std::atof(v);
    else if (a == "--summary") summary = v;
    else if (a == "--label") label = v;
    else return usage();
  }
  if (periods.empty() || seconds <= 0 || settle < 0 || rate < 8000 || rate > 192000) return usage();

  setenv("PIPEWIRE_CONFIG_NAME", "client-rt.conf", 0);
  pw_init(&argc, &argv);
  pw_main_loop* loop = pw_main_loop_new(nullptr);
  Client quit;   // only its loop is used, by the signal handlers
  quit.loop = loop;
  pw_loop_add_signal(pw_main_loop_get_loop(loop), SIGINT, &onQuit, &quit);
  pw_loop_add_signal(pw_main_loop_get_loop(loop), SIGTERM, &onQuit, &quit);

  const std::string who = label.empty() ? "" : " (" + label + ")";
  std::vector<floorbench::FloorRun> runs;
  std::FILE* out = summary.empty() ? nullptr : std::fopen(summary.c_str(), "w");
  int status = 0;
  for (uint32_t period : periods) {
    if (g_stopped) break;
    const Result r = measure(loop, period, rate, seconds, settle, target);
    if (!r.ok) {
      std::printf("| Floor%s: minimal real-time client at %u frames | no cycle | the stream did not run |\n",
                  who.c_str(), period);
      status = 1;
      continue;
    }
    runs.push_back(r.run);
    char ran[64];
    if (r.run.ranAsAsked()) std::snprintf(ran, sizeof ran, "the graph ran at %u", period);
    else std::snprintf(ran, sizeof ran, "the graph ran at %u-%u, not %u", r.run.ranMin, r.run.ranMax, period);
    std::printf("| Floor%s: minimal real-time client at %u frames (%.1f ms), %.0f s | %llu missed cycles "
                "(%.1f a minute) | of %llu; longest gap %llu cycles; %s; data thread %s; woken after the "
                "cycle's start: median %.2f ms, p99 %.2f, p99.9 %.2f, max %.2f |\n",
                who.c_str(), period, period * 1000.0 / rate, r.run.seconds, (unsigned long long)r.run.missed,
                r.run.perMinute(), (unsigned long long)r.cycles, (unsigned long long)r.longest, ran,
                r.sched.c_str(), r.wake50, r.wake99, r.wake999, r.wakeMax);
    std::fflush(stdout);
    if (out)
      std::fprintf(out, "%u %llu %.1f %u %u %llu %s\n", period, (unsigned long long)r.run.missed, r.run.seconds,
                   r.run.ranMin, r.run.ranMax, (unsigned long long)r.longest, r.sched.c_str());
  }
  const uint32_t held = floorbench::shortestHeld(runs, perMinute);
  if (held)
    std::printf("| Floor%s: shortest period held (at most %g missed cycles a minute) | %u frames (%.1f ms) | "
                "the program's target period in this run |\n",
                who.c_str(), perMinute, held, held * 1000.0 / rate);
  else
    std::printf("| Floor%s: shortest period held (at most %g missed cycles a minute) | none of those tried | |\n",
                who.c_str(), perMinute);
  if (out) {
    std::fprintf(out, "held %u\n", held);
    std::fclose(out);
  }
  pw_main_loop_destroy(loop);
  pw_deinit();
  return status;
}
